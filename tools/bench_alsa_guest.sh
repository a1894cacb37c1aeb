#!/bin/sh
# The ALSA thru benchmarks on a real kernel sequencer, which these machines lack: vxbench's
# BM_AlsaMidiInputToOutput and BM_AlsaSequencerDirect in the throw-away QEMU guest of ../shared/alsavm (or ALSAVM_RUN),
# on this machine's root, as tests/test_alsa_guest.sh runs the ALSA input test.
#
# Usage: [ALSAVM_CPUS=N] tools/bench_alsa_guest.sh [BUILD_DIR]   (default: build; N emulated processors, the guest's default 2)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
binary_dir=$(cd "${1:-$source_dir/build}" && pwd)
run=${ALSAVM_RUN:-$source_dir/../shared/alsavm/run-in-guest.sh}
[ -f "$run" ] || { echo "no guest to boot: $run is missing (set ALSAVM_RUN)" >&2; exit 1; }
out=$(mktemp -d "${TMPDIR:-/tmp}/vxpiano-alsa-bench.XXXXXX")
trap 'rm -rf "$out"' EXIT
cat >"$out/in-guest.sh" <<EOS
modprobe snd-seq-dummy && [ -e /dev/snd/seq ] || { echo "the guest has no sequencer"; exit 1; }
cd "$binary_dir" && ./bench/vxbench --benchmark_filter="BM_AlsaMidiInputToOutput|BM_AlsaSequencerDirect" 2>&1 | tee "\$ALSAVM_OUT/log"
EOS
bash "$run" ${ALSAVM_CPUS:+-c $ALSAVM_CPUS} -o "$out" -t 600 "$out/in-guest.sh"
cat "$out/log" 2>/dev/null | grep -v "^\*\*\*\|^---\|^Run on\|^CPU\|^  L\|^Load" || true

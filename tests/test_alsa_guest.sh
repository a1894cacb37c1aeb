#!/bin/sh
# The ALSA sequencer input against a real kernel sequencer: these machines have none, so the
# test program's AlsaSequencerInput test runs inside a throw-away QEMU guest with Debian's
# kernel on this machine's root (../shared/alsavm, or ALSAVM_RUN naming its run-in-guest.sh),
# where a virtual card is the keyboard. Skips (77) only where the guest cannot boot at all:
# no guest scripts, or no kernel to boot (the first run downloads one, about a minute).
#
# Usage: test_alsa_guest.sh SOURCE_DIR BINARY_DIR
set -u
source_dir=$1
binary_dir=$2
run=${ALSAVM_RUN:-$source_dir/../shared/alsavm/run-in-guest.sh}
if [ ! -f "$run" ]; then
    echo "SKIP: no guest to boot: $run is missing (set ALSAVM_RUN)"
    exit 77
fi
out=$(mktemp -d "${TMPDIR:-/tmp}/vxpiano-alsa-guest.XXXXXX") || exit 1
trap 'rm -rf "$out"' EXIT
# The guest gets only the caller's PATH: the sanitizers' options and suppressions go in here.
env | grep -E '^(ASAN|LSAN|UBSAN|TSAN)_OPTIONS=' | sed "s/^/export '/; s/\$/'/" >"$out/environment"
cat >"$out/in-guest.sh" <<EOS
set -o pipefail
. "$out/environment"
echo booted >"\$ALSAVM_OUT/booted"
modprobe snd-seq-dummy && [ -e /dev/snd/seq ] || { echo "FAIL: the guest has no sequencer"; exit 1; }
"$binary_dir/tests/test_program" --gtest_filter='AlsaSequencerInput.*' 2>&1 | tee "\$ALSAVM_OUT/log"
EOS
bash "$run" -o "$out" -t 400 "$out/in-guest.sh"
status=$?
if [ ! -f "$out/booted" ]; then
    echo "SKIP: the guest could not boot here (run-in-guest.sh exited with $status)"
    exit 77
fi
# A test skipped inside the guest has not been run.
if [ "$status" -eq 0 ] && ! grep -q '^\[  PASSED  \] 2 tests' "$out/log"; then
    echo "FAIL: the test did not run in the guest"
    exit 1
fi
exit $status

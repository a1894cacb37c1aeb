#!/bin/sh
# The front door on a new user's machine: makes a minimal Debian root with mmdebstrap from this
# machine's Debian mirror, copies in a clone of the committed HEAD, and runs there what the
# README tells a user to run, as root: `make run` (no display: the program must say so), then
# `make test`. Reports the packages `make run` installed (and fails on a sound server, a JACK
# server, an X server or a test or fuzzing tool among them), the time of each phase and the
# tests passed. For a person trying a release, not for CI; it takes tens of minutes.
#
#   sudo tools/check-fresh-root.sh RELEASE [FOLDER]
#
# RELEASE: bookworm (Debian 12) or trixie (Debian 13). FOLDER (default
# /var/tmp/vxpiano-RELEASE) receives the root, the logs and report.txt; an old root there is
# replaced.
set -eu
release=${1:?usage: check-fresh-root.sh RELEASE [FOLDER]}
folder=${2:-/var/tmp/vxpiano-$release}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
root=$folder/root
report=$folder/report.txt

[ "$(id -u)" -eq 0 ] || { echo "check-fresh-root: run as root (mmdebstrap, chroot, mount)" >&2; exit 1; }
command -v mmdebstrap >/dev/null || { echo "check-fresh-root: mmdebstrap is not installed" >&2; exit 1; }

# The mirror and the security mirror this machine uses (deb822 sources), else Debian's own.
sources=/etc/apt/sources.list.d/debian.sources
mirror=$(sed -n 's/^URIs: *//p' "$sources" 2>/dev/null | grep -v security | head -n 1)
security=$(sed -n 's/^URIs: *//p' "$sources" 2>/dev/null | grep security | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}
security=${security:-http://deb.debian.org/debian-security}

mkdir -p "$folder"
head=$(git -C "$source_dir" rev-parse HEAD)
mounted=""
unmount_all() {
    for m in $mounted; do umount "$m" 2>/dev/null || umount -l "$m" || true; done
    mounted=""
}
trap unmount_all EXIT
trap 'exit 130' INT TERM

: >"$report"
say() { echo "$*" | tee -a "$report"; }
now() { date +%s; }
# Runs a command line as a user's login shell in the root would; output to LOG.
in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb \
        bash -c "cd /root/vxpiano && $1" >"$folder/$2" 2>&1
}
packages() { chroot "$root" dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | sed -n 's/^ii *//p' | sort; }

say "vxpiano $head on $release ($mirror)"
rm -rf "$root"
start=$(now)
mmdebstrap --variant=minbase --include=ca-certificates,git,sudo,make --components=main \
    "$release" "$root" "deb $mirror $release main" "deb $mirror $release-updates main" \
    "deb $security $release-security main" >"$folder/mmdebstrap.log" 2>&1 ||
    { say "mmdebstrap failed: see $folder/mmdebstrap.log"; exit 1; }
say "root: $(( $(now) - start )) s, $(packages | wc -l) packages"

git clone -q --no-checkout "$source_dir" "$root/root/vxpiano"
git -C "$root/root/vxpiano" checkout -q --detach "$head"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
for m in proc sys dev dev/pts; do
    mount --bind "/$m" "$root/$m"
    mounted="$root/$m $mounted"
done
# A /dev/shm of its own: what the root's JACK leaves there (its metadata database, made by the
# root's libdb) would otherwise be met by this machine's JACK clients, which refuse it loudly.
# Private first, so that where mounts propagate the tmpfs doesn't reach this machine's /dev/shm.
mount --make-private "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mounted="$root/dev/shm $mounted"

failed=0
fail() { say "FAIL: $*"; failed=1; }
packages >"$folder/packages-0-root"

# What make run does first, timed on its own: the packages of the build list.
start=$(now)
in_root "make deps" make-deps.log || fail "make deps: $(tail -n 3 "$folder/make-deps.log")"
say "make run's packages: $(( $(now) - start )) s"
packages >"$folder/packages-1-run"
new=$(comm -13 "$folder/packages-0-root" "$folder/packages-1-run")
say "installed for make run: $(echo "$new" | grep -c .) packages"
echo "$new" | sed 's/^/  /' >>"$report"
# Sound servers, JACK servers, X servers, test and fuzzing tools.
excluded=$(echo "$new" | grep -E '^(pulseaudio|pulseaudio-utils|pipewire|pipewire-bin|pipewire-pulse|wireplumber|jackd|jackd1|jackd2|xvfb|xserver-.*|xwayland|sway|weston|grim|xdotool|sox|clang|clang-[0-9]+|libclang-rt-.*|libfuzzer-.*|libgtest-dev|libgmock-dev|googletest|libbenchmark-dev)$' || true)
[ -z "$excluded" ] || fail "make run installed what it must not: $(echo $excluded)"

# make run: configure, build, start. Headless the program ends at once: without a sound output
# it cannot open MIDI (status 0); with one it says there is no display (status 1).
start=$(now)
in_root "make run" make-run.log && status=0 || status=$?
say "make run (build and start): $(( $(now) - start )) s, status $status: $(tail -n 2 "$folder/make-run.log" | tr '\n' ' ')"
grep -q -F 'Cannot open MIDI device.' "$folder/make-run.log" || grep -q -i 'display' "$folder/make-run.log" ||
    fail "make run did not start the program: see $folder/make-run.log"
# Again, now with everything there and a MIDI output: nothing to install, and the program must
# say that it has no display.
start=$(now)
in_root "VXMIDI=smf:/tmp/notes.mid make run" make-run-again.log && status=0 || status=$?
say "make run again (VXMIDI=smf:...): $(( $(now) - start )) s, status $status: $(tail -n 2 "$folder/make-run-again.log" | tr '\n' ' ')"
grep -q '^installing:' "$folder/make-run-again.log" && fail "make run installed packages the second time"
grep -q -i 'display' "$folder/make-run-again.log" || fail "without a display the program did not say so"

# What make test adds, then the suite.
start=$(now)
in_root "make deps DEPS='build test'" test-deps.log || fail "make test's packages: $(tail -n 3 "$folder/test-deps.log")"
say "make test's packages: $(( $(now) - start )) s, $(packages | comm -13 "$folder/packages-1-run" - | grep -c .) more packages"
start=$(now)
in_root "make test" make-test.log && status=0 || status=$?
say "make test (build tests and run them): $(( $(now) - start )) s, status $status"
summary=$(grep -E 'tests passed|tests failed out of' "$folder/make-test.log" | tail -n 1)
say "  ${summary:-no summary: see $folder/make-test.log}"
sed -n '/^The following tests/,$p' "$folder/make-test.log" | grep -E '^\s+[0-9]+ - ' >>"$report" || true
[ "$status" = 0 ] || fail "make test: see $folder/make-test.log"

unmount_all
[ $failed = 0 ] && say "PASSED on $release" || say "FAILED on $release"
say "report: $report"
exit $failed

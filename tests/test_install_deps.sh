#!/bin/sh
# The project's set-up beside a musician's JACK: apt simulates (apt-get -s) installing every
# package list (tools/packages/) on a machine that has jackd2 but none of the lists, and must
# remove nothing; and tools/install-deps.sh, asked for JACK1's library there, must refuse and
# name what it would remove, and must stop on a line apt has no package of. Nothing is
# installed: the simulation reads a private copy of the package status.
#
# Usage: test_install_deps.sh SOURCE_DIR. Exit 77 (skipped) without apt's package lists.
set -u
source_dir=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/vxpiano-deps.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT INT TERM
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

apt-cache show --no-all-versions jackd2 >/dev/null 2>&1 || { echo "no apt package lists (apt-get update)"; exit 77; }
list=$(sh "$source_dir/tools/install-deps.sh" --names build test bench fuzz) || { fail "the lists: $list"; exit 1; }

# The machine's status without the lists' packages, jackd2 kept, and without what depended on
# them: apt installs no dependency at all while the status it starts from is broken.
# shellcheck disable=SC2086
drop=$(echo $list | tr ' ' '\n' | grep -v -x jackd2)
cp /var/lib/dpkg/status "$work/status"
echo "Dir::State::status \"$work/status\";" >"$work/apt.conf"
rounds=0
while [ -n "$drop" ] && [ $rounds -lt 20 ]; do
    rounds=$((rounds + 1))
    awk -v names="$(echo $drop)" '
        BEGIN { n = split(names, a, " "); for (i = 1; i <= n; i++) drop[a[i]] = 1 }
        /^Package: / { skip = ($2 in drop) }
        { if (!skip) print }
        /^$/ { skip = 0 }' "$work/status" >"$work/status.new"
    mv "$work/status.new" "$work/status"
    drop=$(APT_CONFIG="$work/apt.conf" LC_ALL=C apt-get -s check 2>&1 | sed -n 's/^ \([^ ]*\) : .*/\1/p')
done

# shellcheck disable=SC2086
APT_CONFIG="$work/apt.conf" LC_ALL=C apt-get -s install --no-install-recommends $list jackd2 >"$work/plan" 2>&1 || fail "apt cannot install the list: $(tail -n 5 "$work/plan")"
grep '^Remv ' "$work/plan" >&2 && fail "installing the list removes the packages above"
grep '^Inst libjack-dev ' "$work/plan" >&2 && fail "the list brings JACK1's headers"
grep -q '^Inst libfluidsynth-dev ' "$work/plan" || fail "the simulation did not install libfluidsynth-dev: $(tail -n 5 "$work/plan")"

# On this machine as it is: the list installed, libjack-jackd2-0 with it (and jackd2 here).
# JACK1's library comes as the second alternative of a line, the first being no package at all.
echo "vxpiano-no-such-package | libjack-dev  # JACK1" >"$work/jack1.txt"
if VX_DEPS_CHECK_ONLY=1 sh "$source_dir/tools/install-deps.sh" "$work/jack1.txt" >"$work/out" 2>&1; then
    fail "install-deps.sh went on although apt would remove jackd2"
fi
grep -q 'libjack-jackd2-0: conflicts with libjack0' "$work/out" || fail "no reason given: $(cat "$work/out")"
if dpkg-query -W -f='${Status}' jackd2 2>/dev/null | grep -q "install ok installed"; then
    grep -q '^  jackd2: depends on libjack-jackd2-0' "$work/out" || fail "jackd2 not named: $(cat "$work/out")"
fi
dpkg-query -W -f='${Status}' libjack-dev 2>/dev/null | grep -q "install ok installed" && fail "libjack-dev was installed"

# A line apt has no package of stops the set-up, naming the line.
echo "vxpiano-no-such-package | vxpiano-nor-this" >"$work/unknown.txt"
if VX_DEPS_CHECK_ONLY=1 sh "$source_dir/tools/install-deps.sh" "$work/unknown.txt" >"$work/out" 2>&1; then
    fail "install-deps.sh went on without a package to install"
fi
grep -q 'apt knows no package of: vxpiano-no-such-package|vxpiano-nor-this$' "$work/out" ||
    fail "no package, no reason given: $(cat "$work/out")"

[ $failed -eq 0 ] && echo "install-deps: 1 passed, 0 failed"
exit $failed

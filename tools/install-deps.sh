#!/bin/sh
# Installs whatever packages of tools/packages.txt are missing; does nothing when all are there.
# It never removes a package: when apt would remove one to install the list (a conflicting
# library, say), it stops, names the package and what conflicts with it, and changes nothing.
#
# VX_PACKAGES names another list; VX_DEPS_CHECK_ONLY=1 only plans (apt-get -s) and reports,
# installing nothing (APT_CONFIG can then point apt at another package status).
set -eu
here=$(dirname "$0")
list=${VX_PACKAGES:-$here/packages.txt}
check_only=${VX_DEPS_CHECK_ONLY:-0}
missing=""
for pkg in $(grep -v '^#' "$list" | grep -v '^\s*$'); do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $pkg" ;;
    esac
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
[ "$check_only" = 1 ] || $sudo apt-get update -qq

# Names a package's Conflicts and Breaks point at (versions and alternatives stripped).
conflicts_of() {
    apt-cache show --no-all-versions "$1" 2>/dev/null |
        sed -n 's/^\(Conflicts\|Breaks\): //p' | tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/ //g' | grep -v '^$' || true
}
# The package's own name and the virtual names it provides.
names_of() {
    echo "$1"
    dpkg-query -W -f='${Provides}\n' "$1" 2>/dev/null | tr ',' '\n' | sed 's/(.*)//; s/ //g' | grep -v '^$' || true
}

# Without recommends: jackd would come in and FluidSynth would try to start a server.
# shellcheck disable=SC2086 # one word per package
plan=$(LC_ALL=C apt-get -s install --no-install-recommends $missing 2>&1) || {
    echo "$plan" >&2
    echo "install-deps: apt cannot install:$missing" >&2
    exit 1
}
removed=$(echo "$plan" | sed -n 's/^Remv \([^ ]*\).*/\1/p')
if [ -n "$removed" ]; then
    installed_now=$(echo "$plan" | sed -n 's/^Inst \([^ ]*\).*/\1/p')
    echo "install-deps: installing the packages would REMOVE installed software; nothing was changed." >&2
    for gone in $removed; do
        why=""
        names=$(names_of "$gone")
        for new in $installed_now; do
            for name in $(conflicts_of "$new"); do
                if echo "$names" | grep -qx "$name"; then why="$why $new"; break; fi
            done
        done
        if [ -n "$why" ]; then
            echo "  $gone: conflicts with$why" >&2
            continue
        fi
        needs=""
        for name in $(dpkg-query -W -f='${Depends}\n' "$gone" 2>/dev/null | tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/ //g'); do
            if echo "$removed" | grep -qx "$name"; then needs="$needs $name"; fi
        done
        echo "  $gone: depends on${needs:- a package} that would be removed" >&2
    done
    echo "Install the missing packages by hand, choosing what to keep:$missing" >&2
    exit 1
fi
[ "$check_only" = 1 ] && exit 0
# --no-remove as well: should the plan change between the check and the install, apt stops.
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends --no-remove $missing

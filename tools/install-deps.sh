#!/bin/sh
# Installs whatever packages of the named lists are missing; does nothing (no apt, no sudo) when
# all are there. It never removes a package: when apt would remove one to install the lists (a
# conflicting library, say), it stops, names the package and what conflicts with it, and
# changes nothing.
#
#   tools/install-deps.sh [LIST...]   LIST: build, test, bench or fuzz (tools/packages/LIST.txt),
#                                     or a file in that format; build when none is named.
#   tools/install-deps.sh --names [LIST...]   prints the packages the lists stand for on this
#                                     machine, one a line, and installs nothing.
#
# VX_DEPS_CHECK_ONLY=1 only plans (apt-get -s) and reports, installing nothing (APT_CONFIG can
# then point apt at another package status).
set -eu
here=$(dirname "$0")
check_only=${VX_DEPS_CHECK_ONLY:-0}
names_only=0
if [ "${1:-}" = --names ]; then
    names_only=1
    shift
fi
[ $# -gt 0 ] || set -- build

# The installed packages, read once: one dpkg-query per package takes seconds on a busy machine.
installed_list=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 2>/dev/null |
    sed -n 's/^.i  *//p')
installed() {
    echo "$installed_list" | grep -q -x -F "$1"
}
available() {
    [ -n "$(apt-cache show --no-all-versions "$1" 2>/dev/null)" ]
}
# The major version of clang: the one installed, else the one apt would install.
clang_version() {
    if installed clang; then
        dpkg-query -W -f='${Depends}' clang
    else
        apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: //p'
    fi | tr ',' '\n' | sed -n 's/^ *clang-\([0-9][0-9]*\).*/\1/p' | head -n 1
}
# One entry's alternatives, one a line, with {clang} filled in (none when no clang is known).
alternatives() {
    case "$1" in
        *"{clang}"*)
            version=$(clang_version)
            [ -n "$version" ] && echo "$1" | tr '|' '\n' | sed "s/{clang}/$version/g" ;;
        *) echo "$1" | tr '|' '\n' ;;
    esac
}

# The entries of the lists, one a line (comments and blank lines dropped, spaces removed).
entries=$(for list in "$@"; do
    case "$list" in
        */*) file=$list ;;
        *) file=$here/packages/$list.txt ;;
    esac
    [ -r "$file" ] || { echo "install-deps: no package list $file" >&2; exit 1; }
    sed 's/#.*//; s/[[:space:]]//g; /^$/d' "$file"
done) || exit 1

# The package an entry stands for: the first alternative installed, else the first apt has.
choose() {
    for pkg in $(alternatives "$1"); do
        if installed "$pkg"; then echo "$pkg"; return; fi
    done
    for pkg in $(alternatives "$1"); do
        if available "$pkg"; then echo "$pkg"; return; fi
    done
}

if [ $names_only = 1 ]; then
    for entry in $entries; do
        chosen=$(choose "$entry")
        echo "${chosen:-$entry}"
    done
    exit 0
fi

# An entry is there when one of its alternatives is installed.
missing_entries=""
for entry in $entries; do
    there=0
    for pkg in $(alternatives "$entry"); do
        if installed "$pkg"; then there=1; break; fi
    done
    if [ $there = 0 ]; then missing_entries="$missing_entries $entry"; fi
done
[ -z "$missing_entries" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
[ "$check_only" = 1 ] || $sudo apt-get update -qq
missing=""
unknown=""
for entry in $missing_entries; do
    chosen=$(choose "$entry")
    if [ -n "$chosen" ]; then missing="$missing $chosen"; else unknown="$unknown $entry"; fi
done
if [ -n "$unknown" ]; then
    echo "install-deps: apt knows no package of:$unknown" >&2
    exit 1
fi
echo "installing:$missing"

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

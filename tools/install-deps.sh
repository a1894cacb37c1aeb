#!/bin/sh
# Installs whatever packages of tools/packages.txt are missing; does nothing when all are there.
set -eu
here=$(dirname "$0")
missing=""
for pkg in $(grep -v '^#' "$here/packages.txt" | grep -v '^\s*$'); do
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
$sudo apt-get update -qq
# Without recommends: jackd would come in and FluidSynth would try to start a server.
$sudo apt-get install -y -qq --no-install-recommends $missing

#!/bin/sh
# The program configured and built with the JACK, PipeWire and PulseAudio back ends all off, as
# on a machine without their development files: it must build, link none of their libraries
# itself (FluidSynth's own drivers play), and offer no JACK output in "VXMIDI". Only the program
# is built, in a build folder of its own under the test's build tree, kept between runs so a
# second run recompiles only what changed.
#
# Usage: test_build_without_sound_servers.sh SOURCE_DIR WORK_DIR
set -u
source_dir=$1
build=$2
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake -S "$source_dir" -B "$build" -DVX_JACK=OFF -DVX_PIPEWIRE=OFF -DVX_PULSEAUDIO=OFF \
    -DVX_WAYLAND=OFF >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; fail "configure"; }
grep -q 'Sound back ends built: none .*; left out: JACK, PIPEWIRE, PULSEAUDIO' "$build.configure.log" ||
    fail "the configure step does not say which sound back ends were built"
cmake --build "$build" --target vxpiano -j2 >"$build.build.log" 2>&1 || { tail -40 "$build.build.log"; fail "build"; }
program=$build/app/vxpiano
needed=$(readelf -d "$program" | grep NEEDED) || fail "readelf"
echo "$needed" | grep -E 'libjack|libpipewire|libpulse' && fail "the program links a sound server's library"
grep -q 'jack\[:PORT\]' "$program" && fail "the program still offers JACK MIDI"
echo "built without JACK, PipeWire and PulseAudio"
exit 0

#!/bin/sh
# The program configured and built with the JACK, PipeWire and PulseAudio back ends all off, as
# on a machine without their development files: it must build, link none of their libraries
# itself, offer no JACK output in "VXMIDI", and still play: with "VXMIDI" unset, a clicked key
# sounds through FluidSynth's own pulseaudio driver on a private PulseAudio server, whose null
# sink's monitor is recorded. Only the program is built, in a build folder of its own under the
# test's build tree, kept between runs so a second run recompiles only what changed.
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

# Everything the run starts is ended and removed on the way out, a failure's too.
work=$(mktemp -d "${TMPDIR:-/tmp}/vxpiano-plays.XXXXXX") || fail "no temporary folder"
pids=""
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    wait
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
started() { pids="$pids $1"; }
# Polls `$1` every 0.1 s for at most `$2` seconds (a loaded machine starts servers slowly).
wait_for() {
    tries=$(($2 * 10))
    until eval "$1"; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || return 1
        sleep 0.1
    done
}
show_logs() {
    for log in "$work"/*.log; do
        echo "--- $(basename "$log")"
        tail -20 "$log"
    done >&2
}

mkdir -m 700 "$work/run" "$work/run/pulse" "$work/home" "$work/folder"
socket=$work/run/pulse/native
export XDG_RUNTIME_DIR="$work/run" PULSE_RUNTIME_PATH="$work/run/pulse" PULSE_SERVER="unix:$socket" \
    HOME="$work/home" JACK_NO_START_SERVER=1
unset VXMIDI VXGFX WAYLAND_DISPLAY DISPLAY
pulseaudio -n --daemonize=no --exit-idle-time=-1 --system=false --disallow-exit --use-pid-file=no \
    -L "module-null-sink sink_name=nullsink rate=48000" \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$socket" -L module-always-sink \
    >"$work/pulseaudio.log" 2>&1 &
started $!
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
started $!
wait_for '[ -S "$socket" ]' 20 || { show_logs; fail "no PulseAudio server"; }
wait_for '[ -s "$work/display" ]' 20 || { show_logs; fail "no X server"; }
export DISPLAY=":$(cat "$work/display")"

# The monitor in small pieces, so that what was played is in the file a moment later.
parec -d nullsink.monitor --raw --format=s16le --channels=1 --rate=48000 --latency-msec=20 \
    >"$work/monitor.raw" 2>"$work/parec.log" &
started $!
cp "$source_dir/assets/piano_k.bmp" "$work/folder/" || fail "no picture"
(cd "$work/folder" && exec "$program") >"$work/program.log" 2>&1 &
program_pid=$!
started $program_pid
window=$(timeout 30 xdotool search --sync --pid "$program_pid" | head -1)
[ -n "$window" ] || { show_logs; fail "the program shows no window"; }

# The loudest sample recorded so far; the null sink's monitor holds exact zeros in silence.
loudest() {
    od -An -v -td2 -w2 "$work/monitor.raw" | awk 'BEGIN { m = 0 } { v = $1 < 0 ? -$1 : $1; if (v > m) m = v } END { print m }'
}
# Middle C, held half a second. The first clicks may come before the SoundFont's piano is
# loaded, or be lost on a loaded machine: clicked again until heard, for up to about 40 s.
heard=0
for attempt in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    kill -0 "$program_pid" 2>/dev/null || { show_logs; fail "the program ended"; }
    xdotool mousemove --window "$window" 300 150 mousedown 1 sleep 0.5 mouseup 1
    sleep 1.5
    level=$(loudest)
    # About -40 dBFS: a note, not noise (there is none) nor a click's edge.
    if [ "$level" -gt 300 ]; then
        heard=1
        break
    fi
done
[ $heard = 1 ] || { show_logs; fail "no sound recorded after $attempt clicks (loudest sample $level)"; }
echo "plays through FluidSynth's own driver: loudest sample $level of 32767 after $attempt clicks"
exit 0

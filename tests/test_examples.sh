#!/bin/sh
# The example programs as someone trying them would: under a private Xvfb, shapes shows where a
# click lands and ends on Escape; sprites runs its frames in a window and on the null driver;
# hello opens and ends.
#
# Usage: test_examples.sh BUILD_DIR
set -u

build_dir=$1
examples="$build_dir/examples"

work=$(mktemp -d "${TMPDIR:-/tmp}/vxgfx-examples.XXXXXX") || exit 1
pids=""
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $log"; cat "$log"; } >&2
    done
    exit 1
}

# Waits up to $2 seconds for the condition $1 (a shell command) to hold.
wait_for() {
    tries=$(($2 * 10))
    while ! eval "$1"; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || return 1
        sleep 0.1
    done
}

unset VXGFX WAYLAND_DISPLAY WAYLAND_SOCKET DISPLAY
export VXGFX_ZOOM=1
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids="$pids $!"
wait_for '[ -s "$work/display" ]' 20 || fail "no X server"
export DISPLAY=":$(cat "$work/display")"

"$examples/shapes" >"$work/shapes.log" 2>&1 &
shapes=$!
pids="$pids $shapes"
window=$(timeout 30 xdotool search --sync --pid "$shapes" | head -1)
[ -n "$window" ] || fail "shapes shows no window"
# A press held as a person holds it, then Escape with the pointer over the window (no window
# manager gives it the focus otherwise).
xdotool mousemove --window "$window" 100 120 sleep 0.2 mousedown 1 sleep 0.1 mouseup 1 sleep 0.2 key Escape
wait_for '! kill -0 $shapes 2>/dev/null' 20 || fail "shapes did not end on Escape"
wait "$shapes"
status=$?
[ "$status" = 0 ] || fail "shapes ended with $status"
grep -q -x 'click at 100 120' "$work/shapes.log" || fail "shapes did not see the click at 100 120"

timeout 60 "$examples/sprites" 120 >"$work/sprites.log" 2>&1 || fail "sprites in a window ended with $?"
VXGFX=null timeout 60 "$examples/sprites" 120 >"$work/sprites-null.log" 2>&1 ||
    fail "sprites on the null driver ended with $?"
VXGFX=null timeout 30 "$examples/hello" 0 >"$work/hello.log" 2>&1 || fail "hello ended with $?"
echo "examples run"

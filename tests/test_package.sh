#!/bin/sh
# Installation and Debian package: installs the build into a temporary root (as
# `make install DESTDIR=...` does), packs a .deb with cpack into a temporary directory, checks
# both trees file by file, then runs the packed program without a display.
#
# Usage: test_package.sh SOURCE_DIR BUILD_DIR BINDIR DATADIR MANDIR VERSION HAVE_PROGRAM
# (the directories as the build installs them, absolute). Exit 77 (skipped) when dpkg-deb or
# the program is missing, after everything that could be checked passed.
set -u

source_dir=$1
build_dir=$2
bin_dir=$3
data_dir=$4
man_dir=$5
version=$6
have_program=$7

failed=0
skipped=""
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/vxpiano-package.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT INT TERM

# Width and height from a PNG's IHDR chunk, as "WxH".
png_size() {
    od -An -v -tu1 -j16 -N8 "$1" |
        awk '{ for (i = 1; i <= NF; i++) b[n++] = $i }
             END { printf "%dx%d", ((b[0]*256+b[1])*256+b[2])*256+b[3],
                                   ((b[4]*256+b[5])*256+b[6])*256+b[7] }'
}

# Checks one installed tree; ROOT is prepended to the absolute install directories.
check_tree() {
    root=$1
    what=$2
    program="$root$bin_dir/vxpiano"
    if [ "$have_program" = 1 ]; then
        [ -x "$program" ] || fail "$what: no executable $bin_dir/vxpiano"
        # The data directory compiled into the program is where its picture was installed.
        if [ -f "$program" ] && ! grep -a -F -q "$data_dir/vxpiano" "$program"; then
            fail "$what: the program does not name the data directory $data_dir/vxpiano"
        fi
    fi
    picture="$root$data_dir/vxpiano/piano_k.bmp"
    if ! cmp -s "$picture" "$source_dir/assets/piano_k.bmp"; then
        fail "$what: $data_dir/vxpiano/piano_k.bmp missing or not the shipped picture"
    fi

    desktop="$root$data_dir/applications/vxpiano.desktop"
    if [ ! -f "$desktop" ]; then
        fail "$what: no $data_dir/applications/vxpiano.desktop"
    else
        if command -v desktop-file-validate >/dev/null 2>&1; then
            if ! out=$(desktop-file-validate "$desktop" 2>&1) || [ -n "$out" ]; then
                fail "$what: desktop entry: $out"
            fi
        fi
        for line in 'Type=Application' 'Exec=vxpiano' 'Icon=vxpiano' \
            'Categories=AudioVideo;Audio;Music;Midi;'; do
            grep -q -x -F "$line" "$desktop" || fail "$what: desktop entry lacks $line"
        done
        grep -q '^Comment=.' "$desktop" || fail "$what: desktop entry has no English comment"
        grep -q '^Comment\[de\]=.' "$desktop" || fail "$what: desktop entry has no German comment"
    fi

    for side in 16 32 48 128; do
        icon="$root$data_dir/icons/hicolor/${side}x${side}/apps/vxpiano.png"
        if [ ! -f "$icon" ]; then
            fail "$what: no ${side}x${side} icon"
            continue
        fi
        size=$(png_size "$icon")
        [ "$size" = "${side}x${side}" ] || fail "$what: the ${side}x${side} icon is $size"
    done

    page="$root$man_dir/man1/vxpiano.1.gz"
    if ! gzip -t "$page" 2>/dev/null; then
        fail "$what: no readable $man_dir/man1/vxpiano.1.gz"
        return
    fi
    if command -v groff >/dev/null 2>&1; then
        out=$(gzip -dc "$page" | groff -man -Tutf8 -ww -z 2>&1)
        [ -z "$out" ] || fail "$what: manual page: $out"
    fi
    if command -v man >/dev/null 2>&1; then
        text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
        for word in NAME SYNOPSIS ENVIRONMENT VXGFX VXMIDI FILES 'EXIT STATUS' \
            'smf:PATH' 'raw:PATH' "$data_dir/vxpiano/piano_k.bmp"; do
            case "$text" in
                *"$word"*) ;;
                *) fail "$what: the manual page does not show \"$word\"" ;;
            esac
        done
    fi
}

stage="$work/stage"
if ! out=$(DESTDIR="$stage" cmake --install "$build_dir" 2>&1); then
    # Something is not built; cpack would build it, and this test builds nothing.
    fail "cmake --install (build everything first): $out"
    exit 1
fi
check_tree "$stage" "installed tree"

if ! command -v dpkg-deb >/dev/null 2>&1; then
    skipped="no dpkg-deb: the Debian package is not checked"
else
    arch=$(dpkg --print-architecture)
    deb="$work/pack/vxpiano_${version}_${arch}.deb"
    if ! out=$(cpack -G DEB -B "$work/pack" --config "$build_dir/CPackConfig.cmake" 2>&1); then
        fail "cpack: $out"
    elif [ ! -f "$deb" ]; then
        fail "cpack made no $(basename "$deb"): $out"
    else
        info=$(dpkg-deb -f "$deb")
        for field in "Package: vxpiano" "Version: $version" "Architecture: $arch" \
            "Section: sound"; do
            printf '%s\n' "$info" | grep -q -x -F "$field" || fail "package: no \"$field\""
        done
        printf '%s\n' "$info" | grep -q '^Maintainer: .*<.*@.*>$' || fail "package: no maintainer"
        printf '%s\n' "$info" | grep -q '^Description: .' || fail "package: no description"
        depends=$(printf '%s\n' "$info" | sed -n 's/^Depends: //p')
        case "$depends" in
            *"timgm6mb-soundfont | fluid-soundfont-gm"*) ;;
            *) fail "package: Depends lacks the SoundFont: \"$depends\"" ;;
        esac
        if [ "$have_program" = 1 ]; then
            # Computed by dpkg-shlibdeps from the program's libraries.
            for lib in libc6 libx11-6 libasound2 libfluidsynth; do
                case "$depends" in
                    *"$lib"*) ;;
                    *) fail "package: Depends lacks $lib: \"$depends\"" ;;
                esac
            done
        fi
        # Everything lies under the install prefix's top directory and is root's.
        listing=$(dpkg-deb -c "$deb")
        top=$(printf '%s' "$bin_dir" | cut -d/ -f2)
        printf '%s\n' "$listing" | awk -v top="./$top" '
            $2 != "root/root" { print "not owned by root: " $6; bad = 1 }
            $6 != "./" && index($6, top) != 1 { print "outside " top ": " $6; bad = 1 }
            END { exit bad }' >"$work/listing.err" || fail "package: $(cat "$work/listing.err")"

        root="$work/root"
        if dpkg-deb -x "$deb" "$root"; then
            check_tree "$root" "package"
        else
            fail "dpkg-deb -x failed"
        fi

        program="$root$bin_dir/vxpiano"
        if [ "$have_program" = 1 ] && [ -x "$program" ]; then
            mkdir -p "$work/run"
            # MIDI opens (into a file), then no window can: exit status 1 and a message.
            (cd "$work/run" && env -u DISPLAY -u WAYLAND_DISPLAY JACK_NO_START_SERVER=1 \
                VXMIDI="smf:$work/run/out.mid" timeout 30 "$program" \
                >"$work/run/out" 2>"$work/run/err")
            status=$?
            [ "$status" = 1 ] || fail "without a display the program ended with $status, not 1"
            if ! grep -q -i -E 'window|display' "$work/run/err"; then
                fail "without a display the program said: \"$(cat "$work/run/err")\""
            fi
            # No MIDI output: the message, then exit status 0 before any window.
            (cd "$work/run" && env -u DISPLAY -u WAYLAND_DISPLAY VXMIDI="raw:" \
                timeout 30 "$program" >"$work/run/out" 2>"$work/run/err")
            status=$?
            [ "$status" = 0 ] || fail "without a MIDI output the program ended with $status, not 0"
            grep -q -F 'Cannot open MIDI device.' "$work/run/err" ||
                fail "without a MIDI output the program said: \"$(cat "$work/run/err")\""
        fi
    fi
fi

if [ "$have_program" != 1 ]; then
    skipped="${skipped:+$skipped; }vxpiano is not built (no app/keyboard/main.cpp): the program is not checked"
fi
[ "$failed" = 0 ] || exit 1
if [ -n "$skipped" ]; then
    echo "SKIPPED: $skipped"
    exit 77
fi
echo "package and installation checked"

#!/bin/sh
# Installation and Debian packages: installs the build into a temporary root (as
# `make install DESTDIR=...` does), packs the .debs with cpack into a temporary directory, checks
# both trees file by file, runs the packed program without a display, and builds
# examples/outside against each installed copy of the library as another program would, with
# pkg-config alone and with CMake's find_package alone, and runs it on the null driver.
#
# Usage: test_package.sh SOURCE_DIR BUILD_DIR PREFIX BINDIR DATADIR MANDIR LIBDIR INCLUDEDIR
# VERSION HAVE_PROGRAM [SANITIZER_FLAGS] (the directories as the build installs them, absolute;
# the sanitizer flags the library was built with, which a program linking it needs too). Exit
# 77 (skipped) when dpkg-deb or the program is missing, after everything that could be checked
# passed.
set -u

source_dir=$1
build_dir=$2
prefix=$3
bin_dir=$4
data_dir=$5
man_dir=$6
lib_dir=$7
include_dir=$8
version=$9
have_program=${10}
sanitizer_flags=${11:-}

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

# The library in the tree under ROOT, as a program outside the project uses it.
check_library() {
    root=$1
    what=$2
    for file in "$lib_dir/libvxgfx.a" "$include_dir/vxgfx/vxgfx.h" "$lib_dir/pkgconfig/vxgfx.pc" \
        "$lib_dir/cmake/vxgfx/vxgfxConfig.cmake"; do
        [ -f "$root$file" ] || fail "$what: no $file"
    done
    out=$(mktemp -d "$work/outside.XXXXXX")
    # pkg-config alone, the file found by its path only: the compile and link lines come from it.
    if ! log=$(PKG_CONFIG_PATH="$root$lib_dir/pkgconfig" sh -c \
        'c++ -std=c++20 $3 "$1" -o "$2" $(pkg-config --cflags --libs vxgfx)' \
        sh "$source_dir/examples/outside/hello.cpp" "$out/hello" "$sanitizer_flags" 2>&1); then
        fail "$what: hello does not build with pkg-config: $log"
    fi
    # find_package alone, the prefix given as a user gives it.
    if ! log=$(cmake -S "$source_dir/examples/outside" -B "$out/cmake" -DCMAKE_PREFIX_PATH="$root$prefix" \
        -DCMAKE_CXX_FLAGS="$sanitizer_flags" 2>&1 && cmake --build "$out/cmake" 2>&1); then
        fail "$what: hello does not build with find_package: $log"
    fi
    for program in "$out/hello" "$out/cmake/hello"; do
        [ -x "$program" ] || continue
        env -u DISPLAY -u WAYLAND_DISPLAY VXGFX=null timeout 30 "$program" 1 >"$out/run.log" 2>&1
        status=$?
        [ "$status" = 0 ] || fail "$what: $program on the null driver ended with $status: $(cat "$out/run.log")"
    done
}

stage="$work/stage"
if ! out=$(DESTDIR="$stage" cmake --install "$build_dir" 2>&1); then
    # Something is not built; cpack would build it, and this test builds nothing.
    fail "cmake --install (build everything first): $out"
    exit 1
fi
check_tree "$stage" "installed tree"
check_library "$stage" "installed tree"

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

        # The library's own package: the development files, and the -dev packages they need.
        dev_deb="$work/pack/libvxgfx-dev_${version}_${arch}.deb"
        if [ ! -f "$dev_deb" ]; then
            fail "cpack made no $(basename "$dev_deb")"
        else
            dev_info=$(dpkg-deb -f "$dev_deb")
            for field in "Package: libvxgfx-dev" "Version: $version" "Section: libdevel"; do
                printf '%s\n' "$dev_info" | grep -q -x -F "$field" || fail "library package: no \"$field\""
            done
            case "$(printf '%s\n' "$dev_info" | sed -n 's/^Depends: //p')" in
                *libx11-dev*) ;;
                *) fail "library package: Depends lacks libx11-dev" ;;
            esac
            if dpkg-deb -x "$dev_deb" "$work/devroot"; then
                check_library "$work/devroot" "library package"
            else
                fail "dpkg-deb -x $(basename "$dev_deb") failed"
            fi
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

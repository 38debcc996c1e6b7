#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed library and the Debian package, as another project and a
# user meet them. One step per CTest test:
#
#   install    cmake --install of the build into $WORK/prefix
#   interface  the installed CMake and pkg-config files pass on none of the
#              build's own flags or paths; every installed header compiles
#              on its own
#   consumer   tests/package/consumer (the README's example) built against
#              $WORK/prefix with find_package(Tarvio) and with pkg-config;
#              each build converts the demo WAV file to AIFF with WRAIFF and
#              reads it back with RDAIFF
#   deb        cpack -G DEB, then dpkg -i: the programs, the man page and
#              the library work from /usr; dpkg -r afterwards
#
# Set by tests/package/CMakeLists.txt: CMAKE, CPACK, CXX, CONSUMER_FLAGS
# (the sanitizer flags when the libraries were built with them: their
# objects need the sanitizer runtime), SOURCE_DIR, BUILD_DIR, WORK, RENDER,
# VERSION (the project's).
set -euo pipefail
step=$1
prefix=$WORK/prefix
consumer=$SOURCE_DIR/tests/package/consumer
demo=$SOURCE_DIR/examples/demo.wav
read -r -a flags <<<"${CONSUMER_FLAGS:-}"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# wav2aiff and readback from folder $1 on the demo input.
convert_and_read_back() {
    "$1/wav2aiff" "$demo" "$1/demo.aif" || fail "wav2aiff in $1 failed"
    "$1/readback" "$demo" "$1/demo.aif" || fail "readback in $1 failed"
}

# The consumer built with the compiler alone and pkg-config's flags, into $1.
build_with_pkg_config() {
    mkdir -p "$1"
    local cflags libs
    cflags=$(pkg-config --cflags tarvio) || fail "pkg-config does not find tarvio"
    libs=$(pkg-config --libs tarvio)
    echo "pkg-config: $cflags $libs"
    for program in wav2aiff readback; do
        # shellcheck disable=SC2086 # pkg-config's output is a list of words
        "$CXX" -std=c++17 "${flags[@]}" $cflags "$consumer/$program.cpp" $libs -o "$1/$program"
    done
}

case $step in
install)
    rm -rf "$WORK"
    mkdir -p "$WORK"
    "$CMAKE" --install "$BUILD_DIR" --prefix "$prefix" >"$WORK/install.log"
    ;;

interface)
    mapfile -t files < <(find "$prefix" -name 'TarvioTargets*.cmake' -o -name tarvio.pc)
    [ ${#files[@]} -ge 3 ] || fail "the CMake package or tarvio.pc is not installed: ${files[*]}"
    # Warnings, sanitizers, the portable-loop switch, the options target, and
    # any path into the source or build tree.
    leaks='-W|-f(no-)?sanitize|-fno-omit-frame-pointer|TARVIO_NO_SIMD|tarvio_?options'
    if grep -nE -e "$leaks" "${files[@]}" || grep -nF -e "$SOURCE_DIR" -e "$BUILD_DIR" "${files[@]}"; then
        fail "the installed interface carries the build's own settings (above)"
    fi
    # Each installed header alone, as a user includes it, with strict warnings.
    count=0
    for header in "$prefix"/include/tarvio/*/*.h; do
        name=${header#"$prefix/include/"}
        echo "#include <$name>" | "$CXX" -std=c++17 -Wall -Wextra -Wpedantic -Werror \
            -fsyntax-only -I"$prefix/include" -I"$prefix/include/tarvio" -x c++ - ||
            fail "$name does not compile on its own"
        count=$((count + 1))
    done
    echo "$count installed headers compile on their own; ${#files[@]} files carry no build flags"
    ;;

consumer)
    # The README's example is the consumer's wav2aiff.cpp, without its
    # license line.
    awk '/^```cpp$/ { inside = 1; next } inside && /^```$/ { exit } inside' \
        "$SOURCE_DIR/README.md" >"$WORK/readme-example.cpp"
    tail -n +2 "$consumer/wav2aiff.cpp" | diff -u - "$WORK/readme-example.cpp" ||
        fail "the README's example differs from tests/package/consumer/wav2aiff.cpp"

    echo "== find_package(Tarvio)"
    rm -rf "$WORK/cmake"
    "$CMAKE" -S "$consumer" -B "$WORK/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_CXX_FLAGS="${CONSUMER_FLAGS:-}" >"$WORK/cmake.log" ||
        { cat "$WORK/cmake.log"; fail "configuring the consumer failed"; }
    grep -F "Tarvio $VERSION in $prefix/" "$WORK/cmake.log" ||
        fail "find_package did not take Tarvio from $prefix"
    "$CMAKE" --build "$WORK/cmake" >"$WORK/build.log" ||
        { cat "$WORK/build.log"; fail "building the consumer failed"; }
    convert_and_read_back "$WORK/cmake"

    echo "== pkg-config"
    rm -rf "$WORK/pkg-config"
    PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name tarvio.pc)") \
        build_with_pkg_config "$WORK/pkg-config"
    convert_and_read_back "$WORK/pkg-config"
    ;;

deb)
    # Installing a package changes the machine: only as root, with dpkg, and
    # only where nothing of that name is there already.
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: dpkg -i needs root"
        exit 77
    fi
    if ! command -v dpkg >/dev/null || ! command -v dpkg-deb >/dev/null; then
        echo "SKIP: no dpkg on this machine"
        exit 77
    fi
    if dpkg -s tarvio >/dev/null 2>&1; then
        echo "SKIP: a package named tarvio is installed already; it is left alone"
        exit 77
    fi
    for f in /usr/bin/tarvio /usr/bin/tarvio-render /usr/lib/cmake/Tarvio; do
        if [ -e "$f" ]; then
            echo "SKIP: $f exists already; the package would replace it"
            exit 77
        fi
    done

    command -v man >/dev/null || fail "man is missing (Debian package man-db)"

    deb_dir=$WORK-deb
    rm -rf "$deb_dir"
    mkdir -p "$deb_dir"
    (cd "$BUILD_DIR" && "$CPACK" -G DEB -B "$deb_dir" >"$deb_dir/cpack.log") ||
        { cat "$deb_dir/cpack.log"; fail "cpack -G DEB failed"; }
    deb=$(ls "$deb_dir"/tarvio_*.deb)
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "$(basename "$deb"), $(stat -c %s "$deb") bytes, Depends: $depends"
    if [ "${RENDER:-0}" = 1 ]; then
        [[ $depends == *libsndfile1* ]] || fail "the package does not depend on libsndfile1"
    fi
    dpkg-deb -c "$deb" | awk '{ print $6 }' >"$deb_dir/contents"
    wanted=(./usr/bin/tarvio ./usr/share/man/man1/tarvio.1 ./usr/include/tarvio/aiff/wraiff.h
        ./usr/include/tarvio/wav/WavFile.h ./usr/lib/cmake/Tarvio/TarvioConfig.cmake
        ./usr/lib/pkgconfig/tarvio.pc ./usr/share/doc/tarvio/LICENSE)
    [ "${RENDER:-0}" = 1 ] && wanted+=(./usr/bin/tarvio-render ./usr/share/man/man1/tarvio-render.1
        ./usr/share/bash-completion/completions/tarvio-render)
    for f in "${wanted[@]}"; do
        grep -qxF "$f" "$deb_dir/contents" || fail "the package lacks $f"
    done
    for lib in common pcm wav aiff engine; do
        grep -qE "^\./usr/lib/(.*/)?libtarvio_$lib\.a$" "$deb_dir/contents" ||
            fail "the package lacks libtarvio_$lib.a"
    done

    trap 'dpkg -r tarvio >/dev/null || echo "dpkg -r tarvio failed" >&2' EXIT
    # Slim Debian images tell dpkg to leave out manual pages; ours are part
    # of what is tested.
    keep_man=()
    if grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
        keep_man=(--path-include=/usr/share/man/man1 --path-include='/usr/share/man/man1/tarvio*')
    fi
    dpkg -i "${keep_man[@]}" "$deb" >"$deb_dir/dpkg.log" ||
        { cat "$deb_dir/dpkg.log"; fail "dpkg -i failed"; }
    /usr/bin/tarvio "$demo" "$deb_dir/circle.aif" 0.25 0.25 0.25 0.25 0 0 >"$deb_dir/tarvio.log" ||
        { cat "$deb_dir/tarvio.log"; fail "the installed tarvio failed"; }
    grep -q 'frames: 176400' "$deb_dir/tarvio.log" || fail "the installed tarvio wrote no report"
    page=$(man -w tarvio) || fail "man -w tarvio finds no page"
    [[ $page == /usr/share/man/man1/tarvio.1* ]] || fail "man -w tarvio gives $page"
    echo "man -w tarvio: $page"
    if [ "${RENDER:-0}" = 1 ]; then
        /usr/bin/tarvio-render --version || fail "the installed tarvio-render failed"
    fi
    # The library from the package: pkg-config's own search path.
    build_with_pkg_config "$deb_dir/consumer"
    convert_and_read_back "$deb_dir/consumer"

    trap - EXIT
    dpkg -r tarvio >"$deb_dir/dpkg-r.log" || { cat "$deb_dir/dpkg-r.log"; fail "dpkg -r failed"; }
    [ ! -e /usr/bin/tarvio ] || fail "/usr/bin/tarvio is still there after dpkg -r"
    ;;

*)
    fail "unknown step $step"
    ;;
esac

#!/bin/sh
# Builds examples/consumer against the library found under PREFIX (an install
# prefix, or for cmake alone lumtab's build tree), with CMake's find_package and
# with pkg-config, and runs each on the sample image, a colour image, a 16-bit
# one with alpha and a floating-point one; or with "subdirectory",
# against lumtab's sources added to a project of its own (PREFIX unused).
# Usage: consumer_test.sh SOURCE_DIR PREFIX [cmake|pkg-config|both|subdirectory]
set -eu
source=$1
prefix=$2
ways=${3:-both}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$source/examples/sample.pgm" "$work/sample.pgm"
printf 'P6\n3 1\n255\n\001\002\003\177\200\201\375\376\377' >"$work/colour.ppm"
printf 'P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 1023\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n\003\377\000\001\002\000\000\007' \
    >"$work/alpha.pam"
printf 'Pf\n2 1\n-1.0\n\000\000\200\077\315\314\314\075' >"$work/float.pfm"

# Runs the consumer, the command given, on every image.
run() {
    for image in sample.pgm colour.ppm alpha.pam float.pfm; do
        (cd "$work" && "$@" "$image")
    done
}

if [ "$ways" = subdirectory ]; then
    mkdir "$work/project"
    cat >"$work/project/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.25)
project(with_lumtab LANGUAGES CXX)
add_subdirectory("$source" lumtab)
add_executable(consumer "$source/examples/consumer/consumer.cpp")
target_link_libraries(consumer PRIVATE lumtab::lumtab)
END
    cmake -S "$work/project" -B "$work/build" -G Ninja >/dev/null
    cmake --build "$work/build" --target consumer >/dev/null
    run ./build/consumer
    exit 0
fi
if [ "$ways" != pkg-config ]; then
    cmake -S "$source/examples/consumer" -B "$work/cmake" -G Ninja \
        -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$work/cmake" >/dev/null
    run ./cmake/consumer
fi
if [ "$ways" != cmake ]; then
    pc=$(find "$prefix" -name lumtab.pc | head -n 1)
    export PKG_CONFIG_PATH="$(dirname "$pc")"
    # --static: what a static library needs besides itself; a shared one needs less.
    c++ -std=c++20 -o "$work/pkg-config-consumer" "$source/examples/consumer/consumer.cpp" \
        $(pkg-config --cflags --libs --static lumtab)
    run env LD_LIBRARY_PATH="$(pkg-config --variable=libdir lumtab)" ./pkg-config-consumer
fi

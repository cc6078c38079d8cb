#!/bin/sh
# Installs the Debian packages that building lumtab needs and this machine lacks,
# then configures and builds it in build/. With --with-tests first, also the
# programs the tests read and write with, so that every test runs. Other
# arguments go to cmake.
set -eu
cd "$(dirname "$0")"

packages="g++ cmake ninja-build libgtest-dev libpng-dev libtiff-dev libjpeg-dev"
if [ "${1-}" = --with-tests ]; then
    shift
    # The peers the tests compare with: netpbm's converters, numpy, Pillow,
    # pandas and ImageMagick, libtiff's tools; GNU parallel and the rest of the
    # recipes for large batches.
    packages="$packages netpbm python3-numpy python3-pil python3-pandas imagemagick"
    packages="$packages libtiff-tools parallel coreutils findutils pkg-config"
fi

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "build.sh: installing$missing" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
fi

cmake -S . -B build -G Ninja "$@" >/dev/null
cmake --build build

#!/bin/sh
# Installs the Debian packages that building lumtab needs and this machine lacks,
# then configures and builds it in build/. Extra arguments go to cmake.
set -eu
cd "$(dirname "$0")"

missing=""
for package in g++ cmake ninja-build libgtest-dev libpng-dev libtiff-dev libjpeg-dev; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "build.sh: installing$missing" >&2
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq $missing >/dev/null
fi

cmake -S . -B build -G Ninja "$@" >/dev/null
cmake --build build

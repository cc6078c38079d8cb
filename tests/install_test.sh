#!/bin/sh
# Installs the build into a scratch prefix and runs what was installed.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/lumtab"
test -f "$prefix/share/man/man1/lumtab.1.gz"
grep -q 'MIT License' "$prefix/share/doc/lumtab/copyright"
"$prefix/bin/lumtab" --version | grep -q '^lumtab [0-9]'

cp "$source/examples/sample.pgm" "$prefix/sample.pgm"
"$prefix/bin/lumtab" "$prefix/sample.pgm"
test "$(wc -l <"$prefix/sample.int")" -eq 240
echo "installed lumtab runs from $prefix"

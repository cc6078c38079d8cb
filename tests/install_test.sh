#!/bin/sh
# Installs the build into a scratch prefix and runs what was installed: the
# command, and unless told "no-consumer", a program built against the library.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR [no-consumer]
# LUMTAB_EMULATOR, if set, runs the installed command (a cross build's).
set -eu
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/lumtab"
test -f "$prefix/share/man/man1/lumtab.1.gz"
test -f "$prefix/share/man/man3/lumtab.3.gz"
test -f "$prefix/include/lumtab/lumtab.h"
grep -q 'MIT License' "$prefix/share/doc/lumtab/copyright"
${LUMTAB_EMULATOR:-} "$prefix/bin/lumtab" --version | grep -q '^lumtab [0-9]'

cp "$source/examples/sample.pgm" "$prefix/sample.pgm"
${LUMTAB_EMULATOR:-} "$prefix/bin/lumtab" "$prefix/sample.pgm"
test "$(wc -l <"$prefix/sample.int")" -eq 240
if [ "${3:-}" != no-consumer ]; then
    sh "$source/tests/consumer_test.sh" "$source" "$prefix" both
fi
echo "installed lumtab runs from $prefix"

#!/usr/bin/env bash
# Packs built executables for users:
#   package.sh OUT NATIVE_BUILD WINDOWS_BUILD
# makes OUT/quorbel-windows.zip and OUT/quorbel-linux.tar.gz, each a folder
# quorbel/ with README.md and caret/ and dollar/, each holding the executable
# and an example quorbel.cfg in its own separator.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "$1")
native=$(realpath "$2")
windows=$(realpath "$3")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# The example is written for the caret build; in a rule line (the first "^"
# after a key of 1 to 200 bytes) that separator becomes "$".
dollar_rules() { LC_ALL=C sed -E 's/^([^^]{1,200})\^/\1$/' examples/quorbel.cfg; }

lay_out() {  # FOLDER BUILD_TREE EXECUTABLE
  mkdir -p "$1/quorbel/caret" "$1/quorbel/dollar"
  cp README.md "$1/quorbel/README.md"
  cp "$2/caret/$3" "$1/quorbel/caret/$3"
  cp "$2/dollar/$3" "$1/quorbel/dollar/$3"
  cp examples/quorbel.cfg "$1/quorbel/caret/quorbel.cfg"
  dollar_rules >"$1/quorbel/dollar/quorbel.cfg"
}

mkdir -p "$out"
lay_out "$stage/windows" "$windows" quorbel.exe
lay_out "$stage/linux" "$native" quorbel
rm -f "$out/quorbel-windows.zip"
(cd "$stage/windows" && zip -q -X -r "$out/quorbel-windows.zip" quorbel)
tar -C "$stage/linux" --owner=0 --group=0 -czf "$out/quorbel-linux.tar.gz" quorbel
echo "$out/quorbel-windows.zip"
echo "$out/quorbel-linux.tar.gz"

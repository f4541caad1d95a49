#!/usr/bin/env bash
# Packs built executables for users:
#   package.sh OUT NATIVE_BUILD WINDOWS_BUILD
# makes OUT/quorbel-VERSION-windows.zip, OUT/quorbel-VERSION-linux.tar.gz and
# OUT/SHA256SUMS listing both, VERSION being the native build's project
# version. Each archive holds a folder quorbel/ with LEIA-ME.txt, the example
# text in UTF-8 and in ISO-8859-1, and caret/ and dollar/, each holding the
# executable and the example rules in its own separator: in UTF-8 as
# quorbel.cfg, in ISO-8859-1 as quorbel-iso-8859-1.cfg.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "$1")
native=$(realpath "$2")
windows=$(realpath "$3")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $native/CMakeCache.txt" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# The examples are written for the caret build; in a rule line (the first "^"
# after a key of 1 to 200 bytes) that separator becomes "$".
dollar_rules() { LC_ALL=C sed -E 's/^([^^]{1,200})\^/\1$/' "$1"; }

lay_out() {  # FOLDER BUILD_TREE EXECUTABLE
  local top=$1/quorbel
  mkdir -p "$top/caret" "$top/dollar"
  cp LEIA-ME.txt examples/texto.txt examples/texto-iso-8859-1.txt "$top/"
  for build in caret dollar; do
    cp "$2/$build/$3" "$top/$build/$3"
  done
  for rules in quorbel.cfg quorbel-iso-8859-1.cfg; do
    cp "examples/$rules" "$top/caret/$rules"
    dollar_rules "examples/$rules" >"$top/dollar/$rules"
  done
}

mkdir -p "$out"
windows_zip=quorbel-$version-windows.zip
linux_tar=quorbel-$version-linux.tar.gz
lay_out "$stage/windows" "$windows" quorbel.exe
# Notepad before Windows 10 shows a text with bare line feeds as one line.
sed -i 's/$/\r/' "$stage/windows/quorbel/LEIA-ME.txt"
lay_out "$stage/linux" "$native" quorbel
rm -f "$out/$windows_zip"
(cd "$stage/windows" && zip -q -X -r "$out/$windows_zip" quorbel)
tar -C "$stage/linux" --owner=0 --group=0 -czf "$out/$linux_tar" quorbel
(cd "$out" && sha256sum "$windows_zip" "$linux_tar" >SHA256SUMS)
echo "$out/$windows_zip"
echo "$out/$linux_tar"
echo "$out/SHA256SUMS"

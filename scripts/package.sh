#!/usr/bin/env bash
# Packs built executables for users:
#   package.sh OUT NATIVE_BUILD WINDOWS_BUILD
# makes OUT/quorbel-VERSION-windows-x86.zip, OUT/quorbel-VERSION-linux-x86_64.tar.gz and OUT/SHA256SUMS listing
# both, VERSION being the native build's project version. Each archive holds one folder, quorbel-VERSION/, so that a
# new version unpacks beside the old one and never over a user's quorbel.cfg. It holds LEIA-ME.txt, LICENSE, the
# example text in UTF-8 and in ANSI (Windows-1252) (and, in the tar.gz, the manual page quorbel.1), and caret/ and
# dollar/, each with the executable and the example rules, quorbel.cfg, in its own separator: one rule file serves
# texts of both encodings.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "$1")
native=$(realpath "$2")
windows=$(realpath "$3")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $native/CMakeCache.txt" >&2; exit 1; }
top=quorbel-$version

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# The examples are written for the caret build; in a rule line (the first "^"
# after a key of 1 to 200 bytes) that separator becomes "$".
dollar_rules() { LC_ALL=C sed -E 's/^([^^]{1,200})\^/\1$/' "$1"; }

lay_out() {  # FOLDER BUILD_TREE EXECUTABLE DOCUMENT...
  local folder=$1/$top build_tree=$2 executable=$3
  shift 3
  mkdir -p "$folder/caret" "$folder/dollar"
  cp "$@" examples/texto.txt examples/texto-ansi.txt "$folder/"
  for build in caret dollar; do
    cp "$build_tree/$build/$executable" "$folder/$build/$executable"
  done
  cp examples/quorbel.cfg "$folder/caret/quorbel.cfg"
  dollar_rules examples/quorbel.cfg >"$folder/dollar/quorbel.cfg"
}

mkdir -p "$out"
windows_zip=$top-windows-x86.zip
linux_tar=$top-linux-x86_64.tar.gz
lay_out "$stage/windows" "$windows" quorbel.exe LEIA-ME.txt LICENSE
# Notepad before Windows 10 shows a text with bare line feeds as one line.
sed -i 's/$/\r/' "$stage/windows/$top/LEIA-ME.txt" "$stage/windows/$top/LICENSE"
lay_out "$stage/linux" "$native" quorbel LEIA-ME.txt LICENSE quorbel.1
rm -f "$out/$windows_zip"
(cd "$stage/windows" && zip -q -X -r "$out/$windows_zip" "$top")
tar -C "$stage/linux" --owner=0 --group=0 -czf "$out/$linux_tar" "$top"
(cd "$out" && sha256sum "$windows_zip" "$linux_tar" >SHA256SUMS)
echo "$out/$windows_zip"
echo "$out/$linux_tar"
echo "$out/SHA256SUMS"

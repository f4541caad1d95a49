#!/usr/bin/env bash
# Builds both builds and corrects a copy of the bundled example with the caret build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh build
cmake -S . -B build
cmake --build build -j2
# The Windows executables too, into build-win, when the cross compiler is here.
if command -v i686-w64-mingw32-g++-posix >/dev/null; then
  cmake --preset windows
  cmake --build --preset windows
fi
cp examples/quorbel.cfg build/caret/quorbel.cfg
mkdir -p build/example
cp examples/texto.txt build/example/texto.txt
(cd build/example && ../caret/quorbel texto.txt)
echo "--- before"
cat examples/texto.txt
echo "--- after"
cat build/example/texto.txt

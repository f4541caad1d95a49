#!/usr/bin/env bash
# Builds both builds without the tests (needing only a compiler, CMake and make) and corrects a copy of the bundled
# example with the caret build; the result must read as examples/texto-corrigido.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh build
cmake --preset tool
cmake --build --preset tool
# The Windows executables too, into build-win, when a working cross compiler is here.
if i686-w64-mingw32-g++-posix --version >/dev/null 2>&1; then
  cmake --preset windows
  cmake --build --preset windows
fi
cp examples/quorbel.cfg build-tool/caret/quorbel.cfg
mkdir -p build-tool/example
cp examples/texto.txt build-tool/example/texto.txt
(cd build-tool/example && ../caret/quorbel texto.txt)
echo "--- before: examples/texto.txt"
cat examples/texto.txt
echo "--- after: build-tool/example/texto.txt"
cat build-tool/example/texto.txt
cmp examples/texto-corrigido.txt build-tool/example/texto.txt
echo "--- as examples/texto-corrigido.txt expects"

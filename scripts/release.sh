#!/usr/bin/env bash
# Builds both builds for Linux and for Windows and packs them into
# dist/quorbel-windows.zip and dist/quorbel-linux.tar.gz (or into the folder
# given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh release
# A tree of its own for the Linux executables: the release needs no test framework.
cmake -S . -B build-release -DQUORBEL_TESTS=OFF
cmake --build build-release -j2
cmake --preset windows
cmake --build --preset windows
bash scripts/package.sh "${1:-dist}" build-release build-win

#!/usr/bin/env bash
# Builds both builds for Linux and for Windows and packs them into dist/quorbel-VERSION-windows-x86.zip and
# dist/quorbel-VERSION-linux-x86_64.tar.gz with their dist/SHA256SUMS (or into the folder given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh release
cmake --preset static
cmake --build --preset static
cmake --preset windows
cmake --build --preset windows
bash scripts/package.sh "${1:-dist}" build-release build-win

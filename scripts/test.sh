#!/usr/bin/env bash
# Installs what the tests need, builds every build and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test
# The Windows executables, when the cross compiler is here, run the end-to-end
# suite under wine in the same ctest run.
windows=(-DQUORBEL_WINDOWS_BUILD_DIR=)
if command -v i686-w64-mingw32-g++-posix >/dev/null; then
  cmake --preset windows
  cmake --build --preset windows
  windows=(-DQUORBEL_WINDOWS_BUILD_DIR="$PWD/build-win")
fi
# QUORBEL_CHECKS adds valgrind, the sanitizer suite, the fuzzers and the
# analyzers to the same ctest run.
cmake -S . -B build -DQUORBEL_TESTS=ON -DQUORBEL_CHECKS=ON "${windows[@]}"
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

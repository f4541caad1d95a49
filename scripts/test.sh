#!/usr/bin/env bash
# Installs what the tests need, builds every build and runs the whole suite: the unit and end-to-end tests of both
# Linux builds, the Windows builds under wine, the release, the 4 GiB input and the checks, in one ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test
for windows in windows windows64; do
  cmake --preset $windows
  cmake --build --preset $windows
done
cmake --preset all
cmake --build --preset all
ctest --preset all

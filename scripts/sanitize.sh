#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan and runs the whole unit and
# end-to-end suite there (the asan presets); any finding ends the process that made it, so the test that ran it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset asan >/dev/null
cmake --build --preset asan >build-asan/build.log 2>&1 || { cat build-asan/build.log; exit 1; }
ctest --preset asan

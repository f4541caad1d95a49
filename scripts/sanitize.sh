#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan and runs the whole unit and end-to-end suite there; any finding
# ends the process that made it, so the test that ran it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-asan -DQUORBEL_SANITIZE=ON -DQUORBEL_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j2 >build-asan/build.log 2>&1 || { cat build-asan/build.log; exit 1; }
# The tool keeps its rules until it exits, by design: no leak to report.
export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 QUORBEL_CHECKER=sanitizers
ctest --test-dir build-asan --output-on-failure -j2

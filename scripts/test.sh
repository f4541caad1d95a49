#!/usr/bin/env bash
# Installs what the tests need, builds every build and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test
cmake -S . -B build -DQUORBEL_TESTS=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

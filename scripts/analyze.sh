#!/usr/bin/env bash
# Static analysis of the tool's own sources; exits non-zero on any finding.
#   analyze.sh tidy       clang-tidy with the checks in .clang-tidy
#   analyze.sh cppcheck   cppcheck's warning, style, performance and portability checks
# Suppress a finding only in the code, with its reason beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

# This platform's sources: the portable ones and the _posix side.
sources=(app/*.cpp rules/*.cpp rewrite/*.cpp $(ls platform/*.cpp | grep -v '_win32\.cpp$'))

case ${1:?usage: analyze.sh tidy|cppcheck} in
  tidy)
    cmake --preset tidy >/dev/null
    # main.cpp is built once per separator; CMake writes the dollar build's
    # define escaped for make, so clang-tidy reads only the first entry.
    python3 - build-tidy/compile_commands.json <<'PY'
import json, sys
entries, seen = [], set()
for entry in json.load(open(sys.argv[1])):
    if entry["file"] not in seen:
        seen.add(entry["file"])
        entries.append(entry)
json.dump(entries, open(sys.argv[1], "w"), indent=1)
PY
    clang-tidy -p build-tidy --quiet "${sources[@]}" 2>&1 | { grep -v ' generated\.$' || true; }
    ;;
  cppcheck)
    cppcheck --std=c++17 --language=c++ -I . -D__linux__ -DQUORBEL_SEPARATOR="'^'" \
      --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 --quiet \
      "${sources[@]}"
    ;;
  *)
    echo "usage: analyze.sh tidy|cppcheck" >&2
    exit 2
    ;;
esac

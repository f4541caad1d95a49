#!/usr/bin/env bash
# Static analysis of the tool's own sources; exits non-zero on any finding.
#   analyze.sh tidy       clang-tidy with the checks in .clang-tidy
#   analyze.sh cppcheck   cppcheck's warning, style, performance and portability checks
# Suppress a finding only in the code, with its reason beside it. Both modes
# also read the _win32 sources as the mingw-w64 build compiles them.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Windows sources: clang-tidy for the mingw-w64 target, with that
# compiler's C++ and Windows headers (its own intrinsics are gcc's, so clang
# keeps its own), and cppcheck with the Windows platform.
windows_sources=(platform/*_win32.cpp)
windows_tidy() {
  local headers=()
  for dir in $(echo | i686-w64-mingw32-g++-posix -x c++ -E -v - 2>&1 |
      sed -n '/<\.\.\.> search starts/,/End of search/p' | grep '^ ' | grep -v '/include-fixed$\|-posix/include$'); do
    headers+=(-isystem "$dir")
  done
  clang-tidy --quiet "${windows_sources[@]}" -- --target=i686-w64-mingw32 -std=c++17 -I . -nostdinc++ "${headers[@]}" \
    2>&1 | { grep -v ' generated\.$' || true; }
}

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
    windows_tidy
    ;;
  cppcheck)
    cppcheck --std=c++17 --language=c++ -I . -D__linux__ -DQUORBEL_SEPARATOR="'^'" \
      --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 --quiet \
      "${sources[@]}"
    cppcheck --std=c++17 --language=c++ -I . -D_WIN32 --platform=win32A \
      --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 --quiet \
      "${windows_sources[@]}"
    ;;
  *)
    echo "usage: analyze.sh tidy|cppcheck" >&2
    exit 2
    ;;
esac

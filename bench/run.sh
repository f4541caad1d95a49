#!/usr/bin/env bash
# Builds quorbel and the benchmark's programs, then times quorbel beside its
# peers and prints the table. The generated data is kept between runs.
#
#   bash bench/run.sh [--quick] [--wine | --wine64] [--reps N] [--core N] [--pairs LIST]
#                    [--baseline EXE] [--data DIR]
#
#   --quick  10 MB of text and 5 MB of random bytes instead of 100 MB and 50 MB
#   --wine   also time the 32-bit Windows build under wine (mingw-w64 and wine)
#   --wine64 the same with the 64-bit Windows build under wine64
#   --core   run every program pinned to this processor (taskset -c)
#   --pairs  only these pairs, as RULES/INPUT with commas between (accents300/pt,codespell/text)
#   --baseline  also time this quorbel executable (an earlier build) beside the one built here
#   --data   folder for the generated data (default: build/bench-data)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=$repo/build-bench
options=(--data "$repo/build/bench-data")
while (($#)); do
  case $1 in
    --quick) options+=(--quick); shift ;;
    --reps | --core | --pairs | --baseline | --data) options+=("$1" "$2"); shift 2 ;;
    --wine | --wine64)
      # The shipped 32-bit build, or the 64-bit one where no 32-bit code runs.
      bits=$([[ $1 == --wine ]] && echo i686 || echo x86_64)
      loader=$([[ $1 == --wine ]] && echo wine || echo /usr/lib/wine/wine64)
      cmake -S "$repo" -B "$build-win-$bits" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-$bits.cmake" -DQUORBEL_TESTS=OFF >/dev/null
      cmake --build "$build-win-$bits" -j2 --target quorbel_caret >/dev/null
      # A wine server that outlives each run, so no run pays for starting one.
      wineserver -p60 </dev/null >/dev/null 2>&1 || true  # fails if one runs already
      options+=(--wine-quorbel "$build-win-$bits/caret/quorbel.exe" --wine-loader "$loader"); shift ;;
    *) sed -n '2,14s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
  esac
done

# Packages: libhyperscan-dev codespell wbrazilian librust-aho-corasick-dev cargo perl python3.
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORBEL_BENCH=ON -DQUORBEL_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target quorbel_caret bench_measure bench_hyperscan bench_copy_sync bench_scan_paths >/dev/null
# .cargo/config.toml builds the peer offline from the crates Debian packages.
(cd "$here/aho-corasick-peer" && CARGO_TARGET_DIR=$build/aho-corasick-peer cargo build --release --offline --quiet)

exec python3 "$here/bench.py" "${options[@]}" --quorbel "$build/caret/quorbel" --measure "$build/bench/bench_measure" \
  --hyperscan "$build/bench/bench_hyperscan" --aho-corasick "$build/aho-corasick-peer/release/aho-corasick-peer" \
  --copy-sync "$build/bench/bench_copy_sync" --paths "$build/bench/bench_scan_paths"

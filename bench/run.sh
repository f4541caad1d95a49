#!/usr/bin/env bash
# Builds quorbel and the benchmark's programs, then times quorbel beside its
# peers and prints the table. The generated data is kept between runs.
#
#   bash bench/run.sh [--quick] [--data DIR] [--build DIR] [--quorbel EXE] [--reps N]
#
#   --quick    10 MB of text and 5 MB of random bytes instead of 100 MB and 50 MB
#   --data     folder for the generated data (default: build/bench-data)
#   --build    CMake build folder for the benchmark (default: build-bench)
#   --quorbel  time this caret build instead of the one built in --build
#   --reps     repetitions of each timed run (default 5, quick 3)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=$repo/build-bench
data=$repo/build/bench-data
quorbel=
options=()
while (($#)); do
  case $1 in
    --quick) options+=(--quick); shift ;;
    --data) data=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --quorbel) quorbel=$2; shift 2 ;;
    --reps) options+=(--reps "$2"); shift 2 ;;
    -h | --help) sed -n '2,12s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "bench/run.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done

for tool in cmake python3 perl dd cat; do
  command -v "$tool" >/dev/null || { echo "bench/run.sh: $tool not found" >&2; exit 1; }
done
if ! ls -d /usr/share/cargo/registry/aho-corasick-* >/dev/null 2>&1; then
  echo "bench/run.sh: the packaged aho-corasick crate is missing: apt-get install cargo librust-aho-corasick-dev" >&2
  exit 1
fi

# Tests off: the benchmark needs none of their dependencies.
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORBEL_BENCH=ON -DQUORBEL_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target quorbel_caret bench_generate bench_reference bench_measure >/dev/null
quorbel=${quorbel:-$build/caret/quorbel}

# Debian's cargo first, then any other; the peer's .cargo/config.toml makes
# each build offline from the crates Debian packages.
peer_target=$build/aho-corasick-peer
built=
for cargo in /usr/bin/cargo "$(command -v cargo || true)" "$HOME/.cargo/bin/cargo"; do
  [[ -n $cargo && -x $cargo ]] || continue
  if (cd "$here/aho-corasick-peer" && CARGO_TARGET_DIR=$peer_target "$cargo" build --release --offline --quiet); then
    built=yes
    break
  fi
done
[[ -n $built ]] || { echo "bench/run.sh: could not build bench/aho-corasick-peer offline with cargo" >&2; exit 1; }

exec python3 "$here/bench.py" --data "$data" --quorbel "$quorbel" --generator "$build/bench/bench_generate" \
  --reference "$build/bench/bench_reference" --measure "$build/bench/bench_measure" \
  --aho-corasick "$peer_target/release/aho-corasick-peer" "${options[@]}"

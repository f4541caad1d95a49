#!/usr/bin/env bash
# scripts/fuzz.sh SECONDS [TARGET...]: builds the fuzz targets (clang, libFuzzer) and runs each (rules, stream,
# command_line and encoding by default) for SECONDS, one after the other, from the seeds in fuzz/corpus/TARGET and
# what earlier runs kept in build-fuzz/corpus/TARGET. Fails on any crash, sanitizer finding or mismatch; the input
# is left in build-fuzz/crashes/ and replays with: build-fuzz/fuzz/fuzz_TARGET FILE
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
[ $# -gt 0 ] || set -- rules stream command_line encoding

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >build-fuzz/build.log 2>&1 || { cat build-fuzz/build.log; exit 1; }
mkdir -p build-fuzz/crashes build-fuzz/logs
status=0
for target in "$@"; do
  corpus=build-fuzz/corpus/$target log=build-fuzz/logs/$target.log
  mkdir -p "$corpus"
  if build-fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len=8192 -timeout=30 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix=build-fuzz/crashes/"$target"- "$corpus" fuzz/corpus/"$target" >"$log" 2>&1
  then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$target: clean, $runs runs in ${seconds}s, corpus $(ls "$corpus" | wc -l) files"
  else
    echo "fuzz_$target: FAILED (log $log)"
    tail -n 60 "$log"
    status=1
  fi
done
exit $status

#!/usr/bin/env bash
# The fuzz targets under libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, in a
# clang build of their own.
#   tools/run_fuzz.sh [build-dir]                 each target for its short fixed run (the tests)
#   tools/run_fuzz.sh --long SECONDS [--runs N] [build-dir]
#                                                 each target for SECONDS over its seeds, or
#                                                 until it has made N runs, if that is sooner
# The depth run: nice -n 19 tools/run_fuzz.sh --long 600 --runs 1000000 (at most 30 min).
# New inputs of a long run are kept in <build-dir>/fuzz/found/<target>; a crash is written
# as <build-dir>/fuzz/crash-<target>-*, to be minimised and added to fuzz/corpus/<target>.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
long=0
runs=-1
if [ "${1:-}" = "--long" ]; then
  long=${2:?seconds}
  shift 2
  if [ "${1:-}" = "--runs" ]; then
    runs=${2:?runs}
    shift 2
  fi
fi
dir=${1:-$src/build/fuzz}
mkdir -p "$(dirname "$dir")"
jobs=${JOBS:-2}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CC=clang CXX=clang++ cmake -S "$src" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHIDBRIDGE_SANITIZE=address,undefined -DHIDBRIDGE_FUZZ=ON >"$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "$jobs" --target fuzz_targets

if [ "$long" -eq 0 ]; then
  ctest --test-dir "$dir" -L fuzz -j "$jobs" --output-on-failure
  exit
fi
status=0
for bin in "$dir"/fuzz/fuzz_*; do
  t=${bin##*/fuzz_}
  mkdir -p "$dir/fuzz/found/$t"
  echo "=== $t: $long s"
  rc=0
  "$bin" -max_total_time="$long" -runs="$runs" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$dir/fuzz/crash-$t-" "$dir/fuzz/found/$t" "$src/fuzz/corpus/$t" \
    >"$dir/fuzz/$t.log" 2>&1 || rc=$?
  grep -E '^#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|SUMMARY|check failed' \
    "$dir/fuzz/$t.log" || true
  [ "$rc" -eq 0 ] || { echo "=== $t: FAILED (log: $dir/fuzz/$t.log)"; status=1; }
done
exit $status

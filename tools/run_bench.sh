#!/usr/bin/env bash
# Latency and throughput against the bus on the virtual board, CPU per report and heap
# allocations after start-up: prints the table and writes the histogram. Beside each latency
# of physical input the library's own figure for the same run (km_get_stats), and the CPU
# those figures cost. Run it as root: the fast mouse runs (1,000 and 8,000 frames a second)
# are made with the library's two threads on the ordinary policy and on SCHED_FIFO, and the
# host model stands in for hardware on SCHED_FIFO above them.
#   tools/run_bench.sh [build-dir] [events] [seconds]
# Defaults: build/bench, 10000 events, 60 s for each fast mouse run; a quick look:
# tools/run_bench.sh "" 2000 5. Some 6 minutes at the defaults.
# The histogram is <build-dir>/hid_latency.png, the library's messages <build-dir>/hid_latency.log.
# Figures depend on the machine's load: the table's head shows the load average.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$src/build/bench}
mkdir -p "$(dirname "$dir")"
events=${2:-10000}
seconds=${3:-60}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$src" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "${JOBS:-2}" --target hid_latency
cd "$dir"
./bench/hid_latency "$dir/hid_latency.png" "$events" "$seconds"

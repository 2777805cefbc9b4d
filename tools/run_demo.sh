#!/usr/bin/env bash
# The main job: builds the library and the virtual board and runs the demo on it.
# Usage: tools/run_demo.sh [build-dir] [output-dir]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/demo}
out=${2:-$src/out}

"$src/tools/install_deps.sh" || echo "run_demo: some packages are missing; continuing with what is here"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$src" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHIDBRIDGE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target hidbridge_demo >/dev/null
mkdir -p "$out"
cd "$out"
exec "$build/tools/hidbridge_demo" "$out"

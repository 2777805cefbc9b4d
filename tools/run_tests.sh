#!/usr/bin/env bash
# The whole test suite: the host build, the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the virtual-board suite under ThreadSanitizer, and the suite
# cross-built for the board (armhf) and run under qemu-user.
# Usage: tools/run_tests.sh [build-root]   (default: ./build)
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$src/build}
jobs=${JOBS:-2}
# A race report must fail the test even where the test ends its process with _exit.
export TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}"

"$src/tools/install_deps.sh" || echo "run_tests: some packages are missing; continuing with what is here"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

total_pass=0
total_fail=0
summary=()

# run NAME BUILD-DIR CTEST-ARGS... -- CMAKE-ARGS...
run() {
  local name=$1 dir=$2
  shift 2
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  shift
  local t0=$SECONDS
  echo "=== $name: configure and build ($dir)"
  if ! cmake -S "$src" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 ||
     ! cmake --build "$dir" -j "$jobs" >"$dir.build.log" 2>&1; then
    cat "$dir.configure.log" "$dir.build.log" 2>/dev/null | grep -E -B2 -A12 'error|Error' | head -80
    echo "=== $name: BUILD FAILED"
    summary+=("$name: build failed")
    total_fail=$((total_fail + 1))
    return
  fi
  echo "=== $name: test"
  local log=$dir.ctest.log
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${ctest_args[@]}" >"$log" 2>&1
  grep -E 'tests passed|\*\*\*Failed|\*\*\*Timeout|Exception|Not Run' "$log" | tail -40
  local line count failed
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ] && grep -q 'No tests were found' "$log"; then
    summary+=("$name: no tests selected")
    return
  fi
  if [ -z "$line" ]; then
    tail -40 "$log"
    summary+=("$name: ctest did not finish")
    total_fail=$((total_fail + 1))
    return
  fi
  failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  count=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  [ "$failed" -gt 0 ] && grep -E -A30 '\*\*\*Failed|\*\*\*Timeout' "$log" | head -120
  summary+=("$name: $((count - failed)) passed, $failed failed ($((SECONDS - t0)) s)")
  total_pass=$((total_pass + count - failed))
  total_fail=$((total_fail + failed))
}

mkdir -p "$root"
# Line tables are all a failing test's trace needs, and they halve the compile time.
opt=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1")
san=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1")
run host "$root/host" -- "${opt[@]}"
# The real-kernel scenarios run once, in the host run.
run sanitize "$root/sanitize" -LE qemu -- "${san[@]}" -DHIDBRIDGE_SANITIZE=address,undefined -DHIDBRIDGE_BUILD_EXTRAS=OFF
# ThreadSanitizer is for the threads: every test binary that starts one of the library's
# (label board), in the folders that hold them.
run tsan "$root/tsan" -L board -- "${san[@]}" -DHIDBRIDGE_SANITIZE=thread -DHIDBRIDGE_BUILD_EXTRAS=OFF \
  "-DHIDBRIDGE_TEST_DIRS=board;soak;core;usb;hidbridged"

# The fuzz targets under libFuzzer, each a short fixed run over its committed seeds.
if command -v clang++ >/dev/null; then
  echo "=== fuzz: configure, build and run ($root/fuzz)"
  if "$src/tools/run_fuzz.sh" "$root/fuzz" >"$root/fuzz.log" 2>&1; then
    grep -E 'tests passed' "$root/fuzz.log"
    passed=$(grep -cE 'Test +#[0-9]+: .* Passed' "$root/fuzz.log" || true)
    summary+=("fuzz: $passed passed, 0 failed")
    total_pass=$((total_pass + passed))
  else
    tail -40 "$root/fuzz.log"
    summary+=("fuzz: failed (log: $root/fuzz.log)")
    total_fail=$((total_fail + 1))
  fi
else
  echo "=== fuzz: SKIPPED: clang is not installed"
  summary+=("fuzz: skipped (no clang)")
fi

if command -v arm-linux-gnueabihf-g++ >/dev/null && command -v qemu-arm >/dev/null; then
  run armhf "$root/armhf" --timeout 300 -- "${opt[@]}" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-armhf.cmake" \
    -DHIDBRIDGE_BUILD_EXTRAS=OFF
else
  echo "=== armhf: SKIPPED: the cross compiler (crossbuild-essential-armhf) or qemu-user is not installed"
  summary+=("armhf: skipped (no cross tools)")
fi

# The Debian packages: built for armhf and amd64, lintian, installed side by side and used.
echo "=== packages: build, lintian, install and use (log: $root/packages.log)"
t0=$SECONDS
if "$src/tools/make_packages.sh" >"$root/packages.log" 2>&1; then
  "$src/tools/test_packages.sh" >>"$root/packages.log" 2>&1
  grep -E '^  (ok|FAIL) ' "$root/packages.log"
  line=$(grep -E '^packages: [0-9]+ passed, [0-9]+ failed$' "$root/packages.log" | tail -1)
  p=$(echo "$line" | sed -nE 's/^packages: ([0-9]+) passed.*/\1/p')
  f=$(echo "$line" | sed -nE 's/.* ([0-9]+) failed$/\1/p')
  [ -n "$p" ] || { p=0; f=1; tail -40 "$root/packages.log"; }
  summary+=("packages: $p passed, $f failed ($((SECONDS - t0)) s)")
  total_pass=$((total_pass + p))
  total_fail=$((total_fail + f))
else
  grep -E 'FAILED|lintian reports|^E: ' "$root/packages.log" | head -40
  summary+=("packages: build or lintian failed (log: $root/packages.log)")
  total_fail=$((total_fail + 1))
fi

echo
echo "=== summary"
printf '  %s\n' "${summary[@]}"
echo "tests: $total_pass passed, $total_fail failed"
[ "$total_fail" -eq 0 ]

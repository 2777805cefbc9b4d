#!/usr/bin/env bash
# Proves the packages in out/packages/ on this machine, as root: the armhf and amd64 copies of
# libhidbridge1 and libhidbridge-dev installed side by side (with hidbridge-vboard and
# hidbridged); the board's example cross-compiled with the armhf pkg-config and its banner run
# under qemu-arm; a consumer built with find_package and with pkg-config; the example and the
# service run on the virtual board by the installed launcher; the service's unit checked by
# systemd-analyze, its exposure score printed and held to at most 3.0. Everything it installed
# is purged again at the end.
# Usage: tools/test_packages.sh [packages-dir]   Ends with "packages: N passed, N failed".
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
pkgs=$(cd "${1:-$src/out/packages}" && pwd)
version=$(sed -nE 's/^project\(hidbridge VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$src/CMakeLists.txt")
work=$(mktemp -d)
passed=0
failed=0

check() { # check NAME COMMAND...: one proof, its output kept for a failure
  local name=$1
  shift
  if "$@" >"$work/check.log" 2>&1; then
    echo "  ok    $name"
    passed=$((passed + 1))
  else
    echo "  FAIL  $name"
    sed 's/^/        /' "$work/check.log" | tail -25
    failed=$((failed + 1))
  fi
}

# Every package dpkg holds in any state but "not installed" (a failed unpack leaves some behind).
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' | awk 'substr($1, 2, 1) != "n" {print $2}' | sort; }

before=$work/before.txt
installed >"$before"
cleanup() {
  local added
  added=$(comm -13 "$before" <(installed) | tr '\n' ' ')
  if [ -n "$added" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $added >"$work/purge.log" 2>&1 ||
      { echo "test_packages: could not purge: $added"; cat "$work/purge.log"; }
  fi
  rm -rf "$work"
}
trap cleanup EXIT

debs=()
for p in libhidbridge1_${version}_armhf libhidbridge-dev_${version}_armhf \
         libhidbridge1_${version}_amd64 libhidbridge-dev_${version}_amd64 hidbridge-vboard_${version}_amd64 \
         hidbridged_${version}_amd64; do
  debs+=("$pkgs/$p.deb")
done

install_side_by_side() {
  dpkg --print-foreign-architectures | grep -qx armhf || { dpkg --add-architecture armhf && apt-get update -qq; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}"
}

cross_build_forward() {
  arm-linux-gnueabihf-gcc -Wall -Werror -o "$work/forward.armhf" "$src/examples/forward.c" \
    $(arm-linux-gnueabihf-pkg-config --cflags --libs hidbridge) &&
    readelf -h "$work/forward.armhf" | grep -q 'Machine:.*ARM' &&
    readelf -d "$work/forward.armhf" | grep -q 'NEEDED.*libhidbridge.so.1'
}

# The banner comes first; then the library looks for the board's hardware, which a PC lacks,
# so the program is stopped once the banner is out. A terminal makes its output line-buffered.
banner_under_qemu() {
  local out=$work/qemu.out
  # Debian's armhf loader and libraries, as installed on the board: no -L to the cross ones.
  setsid script -qfec "qemu-arm $work/forward.armhf" /dev/null >"$out" 2>&1 &
  local pid=$!
  for _ in $(seq 100); do
    grep -q "tarvo Rev7:" "$out" && break
    sleep 0.2
  done
  kill -- -"$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  head -1 "$out"
  head -1 "$out" | grep -qP "^tarvo Rev7:\t$version "
}

consumer_by_find_package() {
  cmake -S "$src/tests/install/consumer" -B "$work/by_cmake" >/dev/null &&
    cmake --build "$work/by_cmake" >/dev/null &&
    "$work/by_cmake/consumer" && "$work/by_cmake/consumer_static"
}

consumer_by_pkg_config() {
  cc -Wall -Werror -o "$work/by_pkgconfig" "$src/tests/install/consumer/consumer.c" \
    $(pkg-config --cflags --libs hidbridge) && "$work/by_pkgconfig"
}

forward_on_installed_vboard() {
  cc -Wall -Werror -o "$work/forward" "$src/examples/forward.c" $(pkg-config --cflags --libs hidbridge) &&
    timeout 60 hidbridge-vboard --quiet --quit-after-replay \
      --replay "0:$src/tests/vboard/data/keyboard_hello_world.evemu" -- "$work/forward" >"$work/vboard.out" &&
    tail -1 "$work/vboard.out" && tail -1 "$work/vboard.out" | grep -qx 'host typed: "hello world"'
}

# The service as packaged: its settings a conffile, its unit in place, and the installed binaries
# driven on the installed launcher (the same proof the build tree's test makes).
hidbridged_on_installed_vboard() {
  dpkg-query -W -f='${Conffiles}\n' hidbridged | grep -q '^ /etc/hidbridge/hidbridge.ini ' &&
    dpkg-query -L hidbridged | grep -qx '/lib/systemd/system/hidbridged.service' &&
    "$src/tests/hidbridged/hidbridged_vboard_test.sh" "$(command -v hidbridge-vboard)" /usr/sbin/hidbridged \
      /usr/bin/hidbridgectl
}

# The unit as installed: the project's one copy, clean for systemd-analyze verify (offline, no
# manual lookup), and confined: exposure (0 safe .. 10 unsafe) at most 3.0.
unit=/lib/systemd/system/hidbridged.service
unit_verified() {
  cmp "$src/hidbridged/hidbridged.service" "$unit" && systemd-analyze verify --man=no "$unit"
}
unit_exposure() {
  systemd-analyze security --offline=yes --no-pager "$unit" 2>&1 |
    sed -nE 's/.*Overall exposure level for hidbridged.service: ([0-9.]+).*/\1/p'
}
unit_confined() {
  systemd-analyze security --offline=yes --no-pager --threshold=30 "$unit" | grep -vE '^(✓|  )' | tail -25
}

echo "=== packages: install and use ($pkgs)"
check "install armhf and amd64 side by side" install_side_by_side
check "cross-compile examples/forward.c with the armhf pkg-config" cross_build_forward
check "its banner under qemu-arm" banner_under_qemu
check "amd64 consumer by find_package" consumer_by_find_package
check "amd64 consumer by pkg-config" consumer_by_pkg_config
check "examples/forward on the installed hidbridge-vboard" forward_on_installed_vboard
check "hidbridged and hidbridgectl from their package on the installed hidbridge-vboard" hidbridged_on_installed_vboard
check "hidbridged.service: systemd-analyze verify" unit_verified
echo "  hidbridged.service exposure: $(unit_exposure) (at most 3.0)"
check "hidbridged.service: exposure at most 3.0" unit_confined
echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

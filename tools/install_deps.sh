#!/usr/bin/env bash
# Installs the Debian packages a fresh machine lacks for building, testing and running the
# demo. Safe to run again; does nothing when everything is there. Needs root for apt-get.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libpng-dev
  iproute2
)
# The panel's glyph tables are generated from these (tools/make_glyph_tables.py).
packages+=(python3-pil fonts-unifont fonts-wqy-zenhei fonts-arphic-uming)
# The USB host model's captures are checked with tshark when it is there.
packages+=(tshark)
# The fuzz targets: libFuzzer with clang (tools/run_fuzz.sh).
packages+=(clang libclang-rt-14-dev)
# Cross build and qemu-user for the board's 32-bit ARM run.
packages+=(crossbuild-essential-armhf qemu-user)
# Debian packages (tools/make_packages.sh): debhelper and lintian, and for the armhf cross
# build the board's own libraries next to the PC's (dpkg's armhf architecture).
packages+=(debhelper lintian libc6-dev:armhf libstdc++6:armhf libpng-dev:armhf pkgconf:armhf)
# The service's keyboard layouts: libxkbcommon for the PC and the board, xkb-data, and the
# compose table (libx11-data) for dead keys.
packages+=(libxkbcommon-dev libxkbcommon-dev:armhf xkb-data libx11-data)
# The service's unit is checked with systemd-analyze (tools/test_packages.sh).
packages+=(systemd)

if [ "$(id -u)" -eq 0 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install_deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

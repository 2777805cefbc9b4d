#!/usr/bin/env bash
# Builds the Debian packages (libhidbridge1, libhidbridge-dev, hidbridge-vboard, hidbridged) for
# the board (armhf, cross-built) and for the PC (amd64) into out/packages/, and checks them with
# lintian.
# Usage: tools/make_packages.sh [ARCH...]   (default: amd64 armhf)
# The version is the project's, from CMakeLists.txt; debian/changelog is written here from it.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$src/out/packages
work=$src/build/packages
jobs=${JOBS:-2}
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(amd64 armhf)

"$src/tools/install_deps.sh" || echo "make_packages: some packages are missing; continuing with what is here"

version=$(sed -nE 's/^project\(hidbridge VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "make_packages: no version in CMakeLists.txt" >&2; exit 1; }
# The changelog's date belongs to the version, not to the day of the build: the Multi-Arch:
# same copies of one version, built at different times, must hold identical files. It is the
# date of the commit that set the version (a fixed one outside a git checkout).
date_rfc=$(git -C "$src" log -1 --format=%cD -G '^project\(hidbridge VERSION' -- CMakeLists.txt 2>/dev/null || true)
[ -n "$date_rfc" ] || date_rfc="Thu, 01 Jan 2026 00:00:00 +0000"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date -d "$date_rfc" +%s)}

mkdir -p "$out" "$work"
status=0
for arch in "${archs[@]}"; do
  tree=$work/$arch/hidbridge-$version
  rm -rf "$work/$arch"
  mkdir -p "$tree"
  # The source as committed or edited, without build trees and outputs.
  tar -C "$src" --exclude=./build --exclude=./out --exclude=./.git -cf - . | tar -C "$tree" -xf -
  cat >"$tree/debian/changelog" <<EOF
hidbridge ($version) unstable; urgency=medium

  * hidbridge $version.

 -- hidbridge developers <hidbridge-dev@lists.example.org>  $date_rfc
EOF
  rm -f "$out"/*_"$version"_"$arch".deb "$out"/hidbridge_"$version"_"$arch".*
  echo "=== packages: $arch (log: $work/$arch/build.log)"
  if ! (cd "$tree" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$jobs" \
        dpkg-buildpackage -b -us -uc --host-arch "$arch") >"$work/$arch/build.log" 2>&1; then
    grep -E -A5 'error|Error' "$work/$arch/build.log" | cut -c1-300 | head -40
    echo "=== packages: $arch: BUILD FAILED"
    status=1
    continue
  fi
  mv "$work/$arch"/*.deb "$work/$arch"/*.changes "$work/$arch"/*.buildinfo "$out/"
  changes=$out/hidbridge_${version}_$arch.changes
  for deb in "$out"/*_"$version"_"$arch".deb; do
    echo "$(basename "$deb"):"
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print "    " $6 ($7 ? " " $7 " " $8 : "")}'
  done
  echo "lintian ($arch):"
  if ! lintian --fail-on error "$changes" | sed 's/^/    /'; then
    echo "=== packages: $arch: lintian reports errors"
    status=1
  fi
done
exit $status

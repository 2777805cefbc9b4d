#!/usr/bin/env bash
# Makes the test guest for the USB/IP scenarios: a stock Debian kernel and an initramfs with
# busybox, the USB/IP, USB and HID driver modules and our two guest helpers. Everything is
# fetched with apt-get and kept in a cache outside the repository.
# Prints "KERNEL=<path>" and "INITRD=<path>". Exit 77: cannot be done here (skip), else 1.
# Usage: tools/qemu/prepare.sh [cache-dir]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${1:-${HIDBRIDGE_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/hidbridge-qemu}}
[ "$(id -u)" -eq 0 ] && [ -z "${1:-}${HIDBRIDGE_QEMU_CACHE:-}" ] && cache=/var/cache/hidbridge-qemu
mkdir -p "$cache"
skip() { echo "prepare: SKIP: $*" >&2; exit 77; }

# One preparation at a time; a second caller waits and then finds the result.
exec 9>"$cache/lock"
timeout 600 flock 9 || skip "cache lock busy"

# QEMU itself, without recommends.
if ! command -v qemu-system-x86_64 >/dev/null; then
  [ "$(id -u)" -eq 0 ] || skip "qemu-system-x86 is not installed (needs root to install)"
  export DEBIAN_FRONTEND=noninteractive
  timeout 300 apt-get install -y -qq --no-install-recommends qemu-system-x86 >"$cache/apt.log" 2>&1 ||
    { timeout 120 apt-get update -qq >>"$cache/apt.log" 2>&1 &&
      timeout 300 apt-get install -y -qq --no-install-recommends qemu-system-x86 >>"$cache/apt.log" 2>&1; } ||
    skip "qemu-system-x86 could not be installed (see $cache/apt.log)"
fi

# The kernel package that linux-image-amd64 currently points to, and a static busybox.
kernel_package() {
  timeout 60 apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -1
}
kpkg=$(kernel_package)
if [ -z "$kpkg" ] && [ "$(id -u)" -eq 0 ]; then
  timeout 120 apt-get update -qq >>"$cache/apt.log" 2>&1 || true
  kpkg=$(kernel_package)
fi
[ -n "$kpkg" ] || skip "apt-cache knows no linux-image-amd64 (run apt-get update)"
kver=${kpkg#linux-image-}
kver=${kver%-unsigned}
debs=$cache/debs
mkdir -p "$debs"
for p in "$kpkg" busybox-static; do
  if ! ls "$debs/${p}_"*.deb >/dev/null 2>&1; then
    (cd "$debs" && timeout 300 apt-get download "$p" >"$cache/download.log" 2>&1) ||
      skip "apt-get download $p failed (see $cache/download.log)"
  fi
done

# Kernel packages that linux-image-amd64 no longer points to are not needed any more.
find "$debs" -name 'linux-image-*.deb' ! -name "${kpkg}_*" -delete

# The image is rebuilt when the kernel or any guest source changes.
stamp=$(cat "$here/guest_init.sh" "$here/guest_attach.c" "$here/guest_events.c" "$0" | sha256sum | cut -c1-16)
out=$cache/$kver-$stamp
if [ ! -f "$out/initrd.img" ]; then
  rm -rf "$out.tmp"
  mkdir -p "$out.tmp/deb" "$out.tmp/root/bin" "$out.tmp/root/modules"
  dpkg-deb -x "$(ls "$debs/${kpkg}_"*.deb | head -1)" "$out.tmp/deb"
  dpkg-deb -x "$(ls "$debs/busybox-static_"*.deb | head -1)" "$out.tmp/bb"
  cp "$out.tmp/deb/boot/vmlinuz-$kver" "$out.tmp/vmlinuz"
  root=$out.tmp/root
  cp "$out.tmp/bb/bin/busybox" "$root/bin/busybox"

  # Modules with everything they depend on, dependencies first (modinfo's "depends=").
  mods=$out.tmp/deb/lib/modules/$kver/kernel
  order=()
  add() {
    local m=$1 f d
    for d in "${order[@]}"; do [ "$d" = "$m" ] && return 0; done
    f=$(find "$mods" -name "$m.ko" -o -name "${m//-/_}.ko" | head -1)
    [ -n "$f" ] || { grep -q "/$m.ko" "$out.tmp/deb/lib/modules/$kver/modules.builtin" && return 0; echo "prepare: module $m not found" >&2; return 1; }
    for d in $(grep -a -o 'depends=[^[:cntrl:]]*' "$f" | head -1 | cut -d= -f2 | tr , ' '); do add "$d"; done
    cp "$f" "$root/modules/$m.ko"
    order+=("$m")
  }
  for m in usb-common usbcore usbip-core vhci-hcd hid usbhid hid-generic evdev virtio_pci virtio_net; do add "$m"; done
  printf '%s\n' "${order[@]}" >"$root/modules.order"

  for h in guest_attach guest_events; do
    gcc -static -O2 -Wall -Wextra -Werror -o "$root/$h" "$here/$h.c" || { echo "prepare: cannot build $h (static libc?)" >&2; exit 1; }
  done
  cp "$here/guest_init.sh" "$root/init"
  chmod 755 "$root/init"
  (cd "$root" && find . | LC_ALL=C sort | "$out.tmp/bb/bin/busybox" cpio -o -H newc -R 0:0 2>/dev/null | gzip -1 >"$out.tmp/initrd.img")
  mkdir -p "$out"
  mv "$out.tmp/vmlinuz" "$out.tmp/initrd.img" "$out/"
  rm -rf "$out.tmp"
  # Older images of other kernels or sources are not needed any more.
  find "$cache" -mindepth 1 -maxdepth 1 -type d -name '*-*' ! -name "${out##*/}" ! -name debs -exec rm -rf {} +
fi
echo "KERNEL=$out/vmlinuz"
echo "INITRD=$out/initrd.img"

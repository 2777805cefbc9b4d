#!/bin/busybox sh
# /init of the test guest: loads the USB/IP and HID drivers, imports the PC's virtual board,
# prints the input events, then the kernel log and the report descriptors, and powers off.
# Every line meant for the PC starts with "HB-".
/bin/busybox mkdir -p /proc /sys /dev /tmp
/bin/busybox mount -t devtmpfs dev /dev
exec </dev/ttyS0 >/dev/ttyS0 2>&1
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
stty -echo

arg() { sed -n "s/.*hb\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
devs=$(arg devs); run=$(arg run); open=$(arg open); print=$(arg print)

for m in $(cat /modules.order); do
  insmod "/modules/$m.ko" || echo "HB-FAIL insmod $m"
done
ifconfig lo up
ifconfig eth0 10.0.2.15 netmask 255.255.255.0 up || echo "HB-FAIL eth0"
echo "HB-BOOTED $(cut -d' ' -f1 /proc/uptime)"

if timeout 15 /guest_attach 10.0.2.100 3240 1-1; then
  timeout $((run + 20)) /guest_events "${devs:-3}" 15 "${run:-20}" "${open:-all}" "${print:-events}"
fi
echo "HB-STATUS $(cat /sys/devices/platform/vhci_hcd.0/status | tr '\n' '|')"
dmesg | sed 's/^/HB-KLOG /'
for d in /sys/bus/hid/devices/*; do
  [ -e "$d/report_descriptor" ] || continue
  echo "HB-RDESC ${d##*/} $(hexdump -v -e '/1 "%02x"' "$d/report_descriptor")"
done
echo "HB-DONE"
poweroff -f

#!/bin/busybox sh
# init of the kernel matrix's machines of other processors: a root of
# busybox, the static program and expected.awk alone. A table of mixed
# states on a veth pair (no packet leaves: the machine has no network device
# but these), then the program's file against the kernel's table, in order;
# one closing line, then power off.
/bin/busybox --install -s /bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
mkdir -p /tmp && mount -t tmpfs tmpfs /tmp
for m in /m/*.ko; do insmod "$m"; done
# busybox's ip names the peer veth0, whatever it is told.
ip link add v0 type veth peer name v1
peer=v1
[ -e /sys/class/net/veth0 ] && peer=veth0
ip link set v0 up && ip link set "$peer" up
ip addr add 10.9.0.1/24 dev v0 && ip addr add 10.9.1.1/24 dev "$peer"
# Permanent entries.
for i in 2 3 4 5; do arp -i v0 -s 10.9.0.$i 02:00:00:00:00:0$i; done
# One address on both interfaces, with two hardware addresses.
arp -i v0 -s 10.9.0.7 02:00:00:00:07:01
arp -i "$peer" -s 10.9.0.7 02:00:00:00:07:02
# A hardware address of all zeros.
arp -i v0 -s 10.9.0.8 00:00:00:00:00:00
# Entries still being resolved: nobody answers on the pair, so they stay
# incomplete, then failed, and have no hardware address either way.
ping -c 1 -W 1 10.9.0.9 >/dev/null 2>&1
ping -c 1 -W 1 -I "$peer" 10.9.1.9 >/dev/null 2>&1
cd /tmp
ip -4 neigh show >listing
/arpexport >report
ip -4 neigh show >after
awk -f /expected.awk listing >expected
arch=$(uname -m)
echo "$arch: $(wc -l <expected) entries; the program said: \"$(cat report)\""
echo "the kernel's table:"
cat listing
thp=$(sed -n 's/.*\[\(.*\)\].*/\1/p' /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null)
states=$(grep -c -e PERMANENT -e INCOMPLETE -e FAILED listing)
if [ "$(wc -l <expected)" -ge 9 ] && [ "$states" -ge 9 ] && [ ! -s report ] &&
  cmp -s expected output.txt; then
  echo "kernel $(uname -r) thp ${thp:-none}: 1 passed, 0 failed, 0 skipped"
else
  echo "expected:"; cat expected
  echo "its file:"; cat output.txt
  if ! cmp -s listing after; then echo "(the table changed during the run:)"; cat after; fi
  echo "kernel $(uname -r) thp ${thp:-none}: 0 passed, 1 failed, 0 skipped"
fi
echo o >/proc/sysrq-trigger
sleep 60

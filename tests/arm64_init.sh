#!/bin/busybox sh
# init of the arm64 virtual machine: a root of busybox and the static
# program alone. A few entries on a veth pair (no packet is sent: the VM
# has no network device but these), then the program's file against the
# kernel's table, in order; one closing line, then power off.
/bin/busybox --install -s /bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
for m in /m/*.ko; do insmod "$m"; done
ip link add v0 type veth peer name v1 && ip link set v0 up && ip addr add 10.9.0.1/24 dev v0
for i in 2 3 4 5; do arp -i v0 -s 10.9.0.$i 02:00:00:00:00:0$i; done
arp -i veth0 -s 10.9.1.1 02:00:00:00:01:01 2>/dev/null || arp -i v1 -s 10.9.1.1 02:00:00:00:01:01
cd /tmp 2>/dev/null || cd /
/arpexport >report
ip -4 neigh show | awk '{ mac = "00:00:00:00:00:00"
  for (i = 2; i < NF; i++) if ($i == "lladdr") mac = $(i + 1); print $1 " - " mac }' >expected
echo "arm64: $(wc -l <expected) entries; the program said: \"$(cat report)\"; its file:"
cat output.txt
thp=$(sed -n 's/.*\[\(.*\)\].*/\1/p' /sys/kernel/mm/transparent_hugepage/enabled)
if [ -s expected ] && [ ! -s report ] && cmp expected output.txt; then
  echo "kernel $(uname -r) thp ${thp:-none}: 1 passed, 0 failed, 0 skipped"
else
  echo "expected:"; cat expected
  echo "kernel $(uname -r) thp ${thp:-none}: 0 passed, 1 failed, 0 skipped"
fi
echo o >/proc/sysrq-trigger
sleep 60

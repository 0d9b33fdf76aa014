#!/bin/busybox sh
# init of the kernel matrix's virtual machines. First, in the initramfs
# (busybox): load the modules, mount the host's root read-only under a tmpfs
# overlay and switch to it. Then, on that root (bash): run the tests labelled
# "kernel" of the build in ARPX_BUILD, print one line for this kernel and
# power off. ARPX_* come from the kernel's command line.
if [ "$1" != tests ]; then
  /bin/busybox --install -s /bin
  mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
  for m in /m/*.ko; do insmod "$m" || echo "vm: cannot load $m"; done
  mount -t virtiofs -o ro root /lower && mount -t tmpfs tmpfs /upper &&
    mkdir /upper/u /upper/w &&
    mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/u,workdir=/upper/w /newroot ||
    { echo "vm: cannot mount the host's root"; echo o > /proc/sysrq-trigger; }
  for d in proc sys dev; do mount --move /$d /newroot/$d; done
  exec switch_root /newroot /bin/bash "$ARPX_SRC/tests/vm_init.sh" tests
fi

# The overlay makes the rest writable; /tmp stays as it is, since the
# sources or the build may be there.
for d in /run /dev/shm; do mkdir -p $d && mount -t tmpfs tmpfs $d; done
ln -sf /proc/self/fd /dev/fd
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
# A test that cannot set up its namespaces fails here instead of skipping.
export CI=true
# Counts that fit software emulation, several times slower than the host.
export STOP_ENTRIES=20000 STOP_RUNS=10 LARGE_ENTRIES=30000 RACE_RUNS=10 RACE_ENTRIES=5000
thp=$(sed -n 's/.*\[\(.*\)\].*/\1/p' /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null)
echo "vm: kernel $(uname -r), transparent huge pages ${thp:=none}, $(nproc) cores"
cd "$ARPX_BUILD" && ctest -L kernel -R "${ARPX_FILTER:-.}" --output-on-failure 2>&1 | tee /tmp/ctest
# Why a test skipped on this kernel, in its own words.
grep -h -A1 ': Skipped$' Testing/Temporary/LastTest.log | grep -v -e '^--$' -e ': Skipped$' |
  sed 's/^/skipped: /'
total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' /tmp/ctest)
failed=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' /tmp/ctest)
skipped=$(grep -c '\*\*\*Skipped\|Not Run' /tmp/ctest)
echo "kernel $(uname -r) thp $thp: $((${total:-0} - ${failed:-0} - skipped)) passed," \
  "${failed:-1} failed, $skipped skipped"
sync
echo o >/proc/sysrq-trigger
sleep 60 # the power-off is not at once, and init must not end first

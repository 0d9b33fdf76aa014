#!/usr/bin/env bash
# The built program against real kernel tables, as a user runs it.
# Usage: e2e_linux.sh PATH/TO/arpexport
set -uo pipefail
exe=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"

work=$(mktemp -d)
trap 'netns_cleanup; rm -rf "$work"' EXIT
# run NS [ARGS...]: runs the program in $work inside NS; sets out and rc.
run() {
  local ns="$1"
  shift
  out=$(cd "$work" && ip netns exec "$ns" "$exe" "$@")
  rc=$?
}

# States that last for the whole test: the kernel probes incomplete entries
# and collects failed ones within seconds, so those are checked by the
# kernel test, which reads them at once.
ns=$(netns_make full) || exit $?
ip -n "$ns" neigh add 10.66.1.1 lladdr 02:00:00:00:01:01 dev v0 nud permanent
ip -n "$ns" neigh add 10.66.1.2 lladdr 0a:ff:00:1b:2c:3d dev v0 nud stale
ip -n "$ns" neigh add 10.66.1.3 lladdr 02:00:00:00:01:03 dev v0 nud noarp
ip -n "$ns" neigh add 10.66.1.6 lladdr 02:00:00:00:01:06 dev v0 nud reachable
ip -n "$ns" neigh add 10.66.1.1 lladdr 02:00:00:00:02:01 dev v1 nud permanent
netns_fill "$ns" 300

printf 'stale contents that must go\n%.0s' {1..1000} > "$work/output.txt"
in_order "$ns" "$work/expected" run "$ns"
expected=$(cat "$work/expected")
check "table matches ip neigh, line for line, in order" "$expected" "$(cat "$work/output.txt")"
check "success prints nothing, exit 0" "0:" "$rc:$out"
check "every line well formed" "" \
  "$(malformed "$work/output.txt")"

in_order "$ns" "$work/expected" run "$ns" --help -v /etc/passwd "two words"
expected=$(cat "$work/expected")
rm "$work/expected"
check "arguments change nothing" "0:$expected" "$rc:$out$(cat "$work/output.txt")"

empty=$(netns_make empty) || exit $?
echo "old" > "$work/output.txt"
run "$empty"
check "empty table: empty file, no output, exit 0" "0::0" "$rc:$out:$(stat -c %s "$work/output.txt")"

echo "old" > "$work/output.txt"
# Descriptors 0-2 stay; output.txt takes 3 and the socket finds none left.
out=$(cd "$work" && ip netns exec "$ns" bash -c '
  for fd in $(ls /proc/$$/fd); do ((fd > 2)) && eval "exec $fd>&-"; done
  ulimit -n 4; exec "$0"' "$exe")
rc=$?
check "no descriptors for the socket: failure report, exit 0" \
  "0:GetIpNetTable failed.
	Error: The system cannot open the file." "$rc:$out"
check "a failed fetch leaves the file empty" "0" "$(stat -c %s "$work/output.txt")"

rm -f "$work/output.txt"
mkdir "$work/output.txt"
run "$ns"
check "output.txt is a directory" "0:Cannot open output.txt.
	Error: Access is denied." "$rc:$out"
rmdir "$work/output.txt"

ln -s /dev/full "$work/output.txt"
run "$ns"
check "output.txt on a full disk" "0:Cannot write output.txt.
	Error: There is not enough space on the disk." "$rc:$out"
rm -f "$work/output.txt"
check "failures wrote nothing anywhere else" "" "$(ls -A "$work")"

# A disk that fills up in the middle of the table: the failure report, and
# an empty file, never rows cut short.
small="$work/small"
mkdir "$small"
out=$(ip netns exec "$ns" unshare -m bash -c \
  'mount -t tmpfs -o size=4k tmpfs "$0" && cd "$0" && "$1"; stat -c %s output.txt' \
  "$small" "$exe")
rc=$?
check "disk full while writing: report, exit 0, empty file" "0:Cannot write output.txt.
	Error: There is not enough space on the disk.
0" "$rc:$out"
rmdir "$small"

# A reader that has gone: the report cannot be read, the exit status is 0.
mkdir "$work/output.txt"
exec {gone}> >(true)
wait $!
(cd "$work" && ip netns exec "$ns" "$exe" >&$gone)
rc=$?
exec {gone}>&-
check "standard output a closed pipe: exit 0" 0 "$rc"
rmdir "$work/output.txt"

# Root ignores permissions, so a read-only place is a read-only mount.
ro="$work/readonly"
mkdir "$ro"
out=$(ip netns exec "$ns" unshare -m bash -c \
  'mount -t tmpfs -o ro tmpfs "$0" && cd "$0" && exec "$1"' "$ro" "$exe")
rc=$?
check "read-only directory" "0:Cannot open output.txt.
	Error: The media is write protected." "$rc:$out"
rmdir "$ro"

# A file-size limit below the table: the write fails (the program ignores
# SIGXFSZ), the file is emptied, the report names the limit.
out=$(cd "$work" && ip netns exec "$ns" bash -c 'ulimit -f 4; "$0"; echo "$?"; stat -c %s output.txt' "$exe")
check "ulimit -f below the table: report, exit 0, empty file" "Cannot write output.txt.
	Error: The file size exceeds the limit allowed and cannot be saved.
0
0" "$out"

# Netlink refused as sandboxes refuse it (a service manager's address
# families, a seccomp profile): a seccomp filter on socket(AF_NETLINK, ...).
cat > "$work/refuse.py" <<'PY'
import ctypes, os, struct, sys
arch, nr = {"x86_64": (0xC000003E, 41), "aarch64": (0xC00000B7, 198)}[os.uname().machine]
op = lambda code, k, jt=0, jf=0: struct.pack("HBBI", code, jt, jf, k)
prog = ctypes.create_string_buffer(b"".join([
    op(0x20, 4), op(0x15, arch, 0, 5), op(0x20, 0), op(0x15, nr, 0, 3), op(0x20, 16),
    op(0x15, 16, 0, 1), op(0x06, 0x50000 | int(sys.argv[1])), op(0x06, 0x7FFF0000)]))
fprog = struct.pack("HxxxxxxP", len(prog) // 8, ctypes.addressof(prog))
libc = ctypes.CDLL(None)
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, fprog, 0, 0):
    sys.exit("seccomp refused")
os.execv(sys.argv[2], sys.argv[2:])
PY
for refusal in "97:The request is not supported." \
  "38:This function is not supported on this system." \
  "95:The request is not supported." "1:Access is denied."; do
  out=$(cd "$work" && ip netns exec "$ns" python3 "$work/refuse.py" "${refusal%%:*}" "$exe")
  check "netlink refused with errno ${refusal%%:*}: report, exit 0" "0:GetIpNetTable failed.
	Error: ${refusal#*:}" "$?:$out"
done

# SIGTERM, SIGINT, SIGHUP or SIGQUIT, at a random moment or as soon as rows
# are written: the file whole, empty or untouched (stopped before it was
# opened), and the signal's status. Started from Python: a job that bash
# starts with & ignores SIGINT and SIGQUIT, and would keep them ignored.
stopped=$(netns_make stopped) || exit $?
netns_fill "$stopped" "${STOP_ENTRIES:-100000}"
netns_expected "$stopped" > "$work/whole"
cat > "$work/stop.py" <<'PY'
import os, random, signal, subprocess, sys, time
ns, exe, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
run = ["ip", "netns", "exec", ns, exe]
# Compared as sets of lines: a rehash elsewhere may reorder a whole table.
lines = lambda data: tuple(sorted(data.splitlines()))
files = {lines(open("whole", "rb").read()): "whole", (): "empty", (b"untouched",): "untouched"}
start = time.monotonic(); subprocess.run(run, check=True); took = time.monotonic() - start
seen, bad = {}, 0
for i in range(runs):
    sig = random.choice([signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT])
    open("output.txt", "wb").write(b"untouched\n")
    p = subprocess.Popen(run, preexec_fn=lambda: [signal.signal(s, signal.SIG_DFL) for s in range(1, 16) if s != 9])
    time.sleep(random.uniform(0, took * 1.2)) if i % 2 else None
    while i % 2 == 0 and p.poll() is None and os.path.getsize("output.txt") in (0, 10):
        time.sleep(0.0001)
    p.send_signal(sig)
    rc, kind = p.wait(), files.get(lines(open("output.txt", "rb").read()), "cut")
    bad += kind == "cut" or rc not in (0, -sig) or (rc == 0 and kind != "whole")
    seen[kind if rc else "finished first"] = seen.get(kind if rc else "finished first", 0) + 1
print(f"{runs} runs stopped: {seen}")
sys.exit(min(bad, 100))
PY
(cd "$work" && python3 stop.py "$stopped" "$exe" "${STOP_RUNS:-20}")
check "stopped by a signal: the file whole, empty or untouched, the signal's status" 0 $?
rm -f "$work"/{output.txt,whole,refuse.py,stop.py}

if command -v valgrind >/dev/null && [[ "$(basename "$(dirname "$exe")")" != *asan* ]]; then
  valgrind_run() {
    out=$(cd "$work" && ip netns exec "$ns" valgrind -q --error-exitcode=1 "$exe" 2>&1)
    rc=$?
  }
  in_order "$ns" "$work/expected" valgrind_run
  check "no invalid read or write under valgrind" "0:" "$rc:$out"
  check "and the same table, in order" "$(cat "$work/expected")" "$(cat "$work/output.txt")"
fi

finish e2e_linux

#!/usr/bin/env bash
# The Windows program under Wine inside a throwaway network namespace, whose
# table Wine reads through the real GetIpNetTable.
# Usage: e2e_windows.sh PROGRAM.exe WINE_RUN
set -uo pipefail
exe=$(realpath "$1")
wine_run=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"

ns=$(netns_make win) || exit $?
for i in 1 2 3 4 5; do
  ip -n "$ns" neigh add "10.66.3.$i" lladdr "02:0a:00:00:03:0$i" dev v0 nud permanent
done
ip -n "$ns" neigh add 10.66.3.9 lladdr 0a:1b:2c:3d:4e:ff dev v0 nud stale

# A prefix and Wine server of this test's own, started inside the namespace:
# a server left running elsewhere would answer from another table.
work=$(mktemp -d)
export ARPEXPORT_WINEPREFIX="$work/prefix"
cleanup() {
  WINEPREFIX="$ARPEXPORT_WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null
  netns_cleanup
  rm -rf "$work"
}
trap cleanup EXIT
if [[ -f "$(dirname "$wine_run")/wineprefix/system.reg" ]]; then
  cp -a "$(dirname "$wine_run")/wineprefix" "$ARPEXPORT_WINEPREFIX"
fi


printf 'stale line that must go\r\n%.0s' {1..500} > "$work/output.txt"
out=$(cd "$work" && ip netns exec "$ns" "$wine_run" "$exe" --ignored argument)
rc=$?
check "success prints nothing, exit 0" "0:" "$rc:$out"
file="$work/output.txt"
check "every line ends in CRLF and is well formed" "" "$(
  malformed "$file" $'\r')"
check "the file ends with a line end" "0a" "$(tail -c1 "$file" | od -An -tx1 | tr -d ' ')"
for i in 1 2 3 4 5; do
  check "entry 10.66.3.$i appears once" 1 \
    "$(grep -cx "10.66.3.$i - 02:0a:00:00:03:0$i"$'\r' "$file")"
done
check "stale entry appears once" 1 "$(grep -cx '10.66.3.9 - 0a:1b:2c:3d:4e:ff'$'\r' "$file")"
check "the old contents are gone" 0 "$(grep -c 'stale line' "$file")"

rm -f "$file"
mkdir "$file"
out=$(cd "$work" && ip netns exec "$ns" "$wine_run" "$exe")
rc=$?
check "output.txt is a directory: report, exit 0" \
  "0:Cannot open output.txt.|yes" \
  "$rc:$(head -n1 <<<"$out" | tr -d '\r')|$(sed -n '2{/^\tError: ./s/.*/yes/p}' <<<"$out")"
# The system's text ends in CR LF; written to the text-mode standard output
# it must end in CR LF once, not CR CR LF.
check "every report line ends in one CR LF" "2:" \
  "$(printf '%s\n' "$out" | wc -l):$(printf '%s\n' "$out" | LC_ALL=C grep -avxE $'.*[^\r]\r')"

# Ctrl+C: Wine turns a SIGINT sent to the process that runs the program into
# a console control event. A program stopped while it runs leaves the file
# whole or empty (untouched when stopped before it opened it) and ends with
# the status of a stopped console program, STATUS_CONTROL_C_EXIT, whose low
# byte (0x3a) is what Wine gives as the Unix status.
rmdir "$file"
awk 'BEGIN { for (i = 0; i < 3000; i++)
  printf "neigh add 10.67.%d.%d lladdr 02:0b:00:00:%02x:%02x dev v0 nud permanent\n",
    int(i / 256), i % 256, int(i / 256), i % 256 }' | ip -n "$ns" -batch -
(cd "$work" && ip netns exec "$ns" "$wine_run" "$exe")
cp "$file" "$work/whole"
out=$(cd "$work" && python3 - "$ns" "$wine_run" "$exe" <<'PY'
import os, signal, subprocess, sys, time
ns, wine_run, exe = sys.argv[1:]
run, whole = ["ip", "netns", "exec", ns, wine_run, exe], open("whole", "rb").read()
start = time.monotonic(); subprocess.run(run, check=True); took = time.monotonic() - start
stopped = bad = 0
for i in range(6):
    open("output.txt", "wb").write(b"untouched\n")
    p = subprocess.Popen(run, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    time.sleep(took * (0.3 + 0.1 * i))
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:  # Wine shows the program's path as the process's command line
            if open(f"/proc/{pid}/cmdline", "rb").read().startswith(exe.encode()):
                os.kill(int(pid), signal.SIGINT)
        except OSError:
            pass
    rc, got = p.wait(), open("output.txt", "rb").read()
    stopped += rc == 0x3A and got == b""
    bad += not (rc == 0 and got == whole or rc == 0x3A and got in (b"", whole, b"untouched\n"))
print(f"stopped {stopped}, bad {bad}")
PY
)
echo "$out"
check "Ctrl+C: the file whole or empty, STATUS_CONTROL_C_EXIT; some runs stopped" \
  "yes" "$(grep -qE '^stopped [1-9][0-9]*, bad 0$' <<<"$out" && echo yes || echo "$out")"

finish e2e_windows

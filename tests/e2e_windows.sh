#!/usr/bin/env bash
# The Windows program under Wine inside a throwaway network namespace, whose
# table Wine reads through the real GetIpNetTable.
# Usage: e2e_windows.sh PROGRAM.exe WINE_RUN PLANTED_DLL_DIR STAND_IN_IPHLPAPI
#        PLANTING_CONTROL.exe
set -uo pipefail
exe=$(realpath "$1")
wine_run=$(realpath "$2")
planted=$(realpath "$3")
stand_in=$(realpath "$4")
control=$(realpath "$5")
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
  for prefix in "$work"/prefix*; do
    WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null
  done
  netns_cleanup
  rm -rf "$work"
}
trap cleanup EXIT
if [[ -f "$(dirname "$wine_run")/wineprefix/system.reg" ]]; then
  cp -a "$(dirname "$wine_run")/wineprefix" "$ARPEXPORT_WINEPREFIX"
fi


# program ARG...: the program from $work, in the namespace, under Wine.
# Status 1 is never the program's (it ends with 0, or 0x3A when stopped):
# it is Wine's server ending the process on a fault of its own. Such a run
# is named, with what the server said, and made once more.
program() {
  local status
  (cd "$work" && ip netns exec "$ns" "$wine_run" "$exe" "$@")
  status=$?
  if ((status == 1)); then
    echo "note: Wine ended a run with status 1; run again. Its server said: $(
      tail -n 5 "$ARPEXPORT_WINEPREFIX.server.log" 2>/dev/null | tr '\n' ' ')" >&2
    (cd "$work" && ip netns exec "$ns" "$wine_run" "$exe" "$@")
    status=$?
  fi
  return $status
}

printf 'stale line that must go\r\n%.0s' {1..500} > "$work/output.txt"
out=$(program --ignored argument)
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
# The fleet report reads the file, as copied from Windows, as the same table
# as the one Linux would write.
mkdir "$work/fleet" && cp "$file" "$work/fleet/windows.txt" && tr -d '\r' <"$file" >"$work/fleet/linux.txt"
PYTHONPATH="$here/../contrib" python3 -m ansible_collections.arpexport.fleet.plugins.plugin_utils.report \
  "$work/fleet" >/dev/null
check "the fleet report: the same rows as from Linux" "$(wc -l <"$file"):same" \
  "$(grep -c '^windows,' "$work/fleet/report/fleet.csv"):$(cmp -s <(sed -n 's/^windows,//p' "$work/fleet/report/fleet.csv") \
    <(sed -n 's/^linux,//p' "$work/fleet/report/fleet.csv") && echo same)"

# Once the kernel's table, shared by every namespace, holds 128 entries, it
# collects a stale entry about a minute after its last use; the runs below
# compare whole tables, so it goes now.
ip -n "$ns" neigh del 10.66.3.9 dev v0
grep -v '^10\.66\.3\.9 ' "$file" > "$work/first"
rm "$file"
# Compared as sorted lines: a rehash elsewhere may reorder a whole table.
same() { cmp -s <(sort "$1") <(sort "$2") && echo same; }

# report: a run of the program; its status, its report's first line,
# "text" for a second that holds the system's text, and the count of lines
# and of those not ending in one CR LF (the system's text ends in CR LF, which
# the text-mode standard output must not make CR CR LF).
report() {
  local out status
  out=$(program)
  status=$?
  echo "$status:$(head -n1 <<<"$out" | tr -d '\r')|$(sed -n '2{/^\tError: ./s/.*/text/p}' <<<"$out")|$(
    wc -l <<<"$out") $(LC_ALL=C grep -cavxE $'.*[^\r]\r' <<<"$out")"
}

# Windows looks for a DLL that is not a known DLL in the program's folder
# first, then in the system directory, the current folder and PATH. Copies
# of the DLLs the program names, planted in each, must never load: with
# Windows' load order for those names (n,b), a planted copy leaves
# C:\planted-NAME. A program that imports IP Helper by name, run the same
# way, must load the copy beside it, or the planting itself did not work.
# Wine's trace of the loads shows the program's own process loading the
# system's IP Helper and no part of Windows Sockets.
mkdir "$work/app" "$work/cwd" "$work/path"
cp "$exe" "$control" "$work/app/"
for dir in app cwd path; do cp "$planted"/*.dll "$work/$dir/"; done
path=$(ip netns exec "$ns" "$wine_run" winepath -w "$work/path")
planted() { ls "$ARPEXPORT_WINEPREFIX/drive_c" | grep -i planted- | tr 'A-Z\n' 'a-z '; }
planting() { # FROM PROGRAM: run from $work/FROM with the DLLs planted
  (cd "$work/$1" && WINEDLLOVERRIDES="iphlpapi,ws2_32,libgcc_s_dw2-1=n,b" \
    WINEPATH=$path ip netns exec "$ns" "$wine_run" "$work/app/$2")
}
planting app "$(basename "$control")" >/dev/null 2>&1
check "control: a program importing IP Helper by name loads the planted copy" \
  "planted-iphlpapi.dll " "$(planted)"
rm -f "$ARPEXPORT_WINEPREFIX"/drive_c/planted-*
for from in app cwd; do
  out=$(ARPEXPORT_WINEDEBUG=+loaddll,+pid planting $from "$(basename "$exe")" 2>"$work/loads")
  check "run from $from, with DLLs planted beside the program, here and on PATH; its process loads the system's IP Helper, no Windows Sockets" \
    "0:|same||iphlpapi.dll" "$?:$out|$(same "$work/$from/output.txt" "$work/first")|$(planted)|$(
      awk -v exe="$(basename "$exe")" 'index($0, exe "\"") { pid = $1 }
        pid != "" && index($0, pid) == 1 && /Loaded/ { print }' FS=: "$work/loads" |
        grep -ioE 'system32\\\\(iphlpapi|ws2_32)\.dll' | cut -c11- | tr 'A-Z' 'a-z' | sort -u | paste -sd' ')"
done

# Windows' own IP Helper missing, or without the function: the failure
# report, an empty file, exit 0. One that writes of each physical address
# only the bytes its length counts, after leaving a pattern in a freed block
# of the table's size: rows still being resolved show six zero pairs, never
# what the heap held.
system32="$ARPEXPORT_WINEPREFIX/drive_c/windows/system32"
cp "$system32/iphlpapi.dll" "$work/iphlpapi.dll.system"
for fault in missing:d "without GetIpNetTable:n"; do
  [[ "$fault" == without* ]] && cp "$planted/ws2_32.dll" "$system32/iphlpapi.dll"
  echo old >"$file"
  check "IP Helper ${fault%:*}: the failure report, an empty file, exit 0" \
    "0:GetIpNetTable failed.|text|2 0|0" \
    "$(WINEDLLOVERRIDES=iphlpapi=${fault#*:} report)|$(stat -c %s "$file")"
done
cp "$stand_in" "$system32/iphlpapi.dll"
out=$(WINEDLLOVERRIDES=iphlpapi=n program)
check "IP Helper leaving unresolved rows' physical addresses unwritten: six zero pairs" \
  "0:|10.0.0.1 - 00:00:00:00:00:00 10.0.0.2 - 02:00:00:00:00:02 10.0.0.3 - 00:00:00:00:00:00 " \
  "$?:$out|$(tr -d '\r' <"$file" | tr '\n' ' ')"
cp "$work/iphlpapi.dll.system" "$system32/iphlpapi.dll"
rm -f "$file" "$ARPEXPORT_WINEPREFIX"/drive_c/planted-*

# The same run where Wine says it is the oldest Windows the program is for:
# XP for the 32-bit one, XP x64 for the 64-bit one. Wine's loader has every
# newer export, so that it loads there is pe_check's, from its imports.
pe32=$([[ "$(file -b "$exe")" == PE32\ * ]] && echo yes)
oldest=winxp64 version=5.2
[[ -n "$pe32" ]] && oldest=winxp version=5.1
ip netns exec "$ns" "$wine_run" winecfg -v "$oldest"
out=$(program)
check "as Windows $version: prints nothing, exit 0, the same file" "0:|same|$version" \
  "$?:$out|$(same "$file" "$work/first")|$(ip netns exec "$ns" \
    "$wine_run" cmd /c ver | grep -o "Windows $version" | cut -d' ' -f2)"
ip netns exec "$ns" "$wine_run" winecfg -v win10

rm -f "$file"
mkdir "$file"
check "output.txt is a directory: the report, its lines in one CR LF, exit 0" \
  "0:Cannot open output.txt.|text|2 0" "$(report)"

# Ctrl+C: Wine turns a SIGINT sent to the process that runs the program into
# a console control event. A program stopped while it runs leaves the file
# whole or empty (untouched when stopped before it opened it) and ends with
# the status of a stopped console program, STATUS_CONTROL_C_EXIT, whose low
# byte (0x3a) is what Wine gives as the Unix status. Some stops come at
# moments spread over the run, most of which is Wine reading the table; the
# others as soon as the file holds part of the table, so that they land
# while the program writes; each of those must leave an empty file. Wine
# reads 6,000 entries in seconds and the program writes them in one go, too
# quickly for a stop to come in between: those runs take 300,000 rows from
# the stand-in IP Helper, which gives them at once.
rmdir "$file"
netns_fill "$ns" 6000
stops() { # moments|writes: the stopped runs' summary and notes
  (cd "$work" && python3 - "$ns" "$wine_run" "$exe" "$1" <<'PY'
import os, signal, subprocess, sys, time
ns, wine_run, exe, when = sys.argv[1:]
run = ["ip", "netns", "exec", ns, wine_run, exe]
lines = lambda data: sorted(data.splitlines())
start = time.monotonic(); subprocess.run(run, check=True); took = time.monotonic() - start
whole = open("output.txt", "rb").read()
if when == "moments":
    open("whole", "wb").write(whole)  # the table, for the runs after these
size, whole = len(whole), lines(whole)

def program():  # Wine shows the program's path as the process's command line
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if open(f"/proc/{pid}/cmdline", "rb").read().startswith(exe.encode()):
                return int(pid)
        except OSError:
            pass

def stopped(ready):  # one run, stopped once ready() holds; its status and file
    p = subprocess.Popen(run, stdout=open("report", "wb"),
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    pid = None
    while p.poll() is None:
        pid = pid or program()
        if pid and ready():
            os.kill(pid, signal.SIGINT)
            break
        time.sleep(0.0001)
    try:
        rc = p.wait(timeout=30)
    except subprocess.TimeoutExpired:
        # Now and then Wine does not finish ending a process: its main thread
        # has gone, another waits for ever on a lock of Wine's.
        wine = pid and "State:\tZ" in open(f"/proc/{pid}/status").read()
        rc = HUNG if wine else "still running"
        p.kill(); p.wait()
    got = open("output.txt", "rb").read()
    kind = {b"": "empty", b"untouched\n": "untouched"}.get(got) or (
        "whole" if lines(got) == whole else f"{len(got)} bytes")
    # A stop may also make Wine's table read fail: the run then ends as any
    # failed read does, with its report, an empty file and status 0.
    report = open("report", "rb").read().split(b"\r\n")[0].decode(errors="replace")
    failed = rc == 0 and kind == "empty" and report.endswith(" failed.")
    fine = rc in (0x3A, HUNG) and " " not in kind or rc == 0 and kind == "whole" or failed
    if not fine or rc == HUNG or failed:
        notes.append(f"{'' if fine else 'bad: '}status {rc}, {kind}{', ' + report if report else ''}")
    return rc, kind

HUNG, notes, landed, tries = "hung in Wine's exit", [], 0, 0
if when == "moments":
    for tries in range(1, 5):
        open("output.txt", "wb").write(b"untouched\n")
        begin = time.monotonic()
        rc, _ = stopped(lambda: time.monotonic() - begin > took * (0.15 + 0.15 * tries))
        landed += rc == 0x3A
else:
    # A console event takes some milliseconds to arrive, so a stop sent
    # near the end of the writes may find the file whole: tried until
    # three came while the program wrote, ten times at most.
    while landed < 3 and tries < 10:
        tries += 1
        os.remove("output.txt")
        rc, kind = stopped(
            lambda: os.path.exists("output.txt") and 0 < os.path.getsize("output.txt") < size)
        landed += rc == 0x3A and kind == "empty"
print(f"stopped {landed} of {tries} {'at moments over the run' if when == 'moments' else 'while writing'}, "
      f"bad {sum(n.startswith('bad') for n in notes)}", *notes, sep="\n")
PY
  )
}
out=$(stops moments)
cp "$stand_in" "$system32/iphlpapi.dll"
out+=$'\n'$(STANDIN_ROWS=300000 WINEDLLOVERRIDES=iphlpapi=n stops writes)
cp "$work/iphlpapi.dll.system" "$system32/iphlpapi.dll"
echo "$out"
check "Ctrl+C: the file whole or empty, STATUS_CONTROL_C_EXIT; runs stopped while writing" \
  "yes" "$(grep -qE '^stopped [0-9] of 4 at moments over the run, bad 0$' <<<"$out" &&
    grep -qE '^stopped [1-9] of [0-9]+ while writing, bad 0$' <<<"$out" && echo yes || echo "$out")"

# On 64-bit Windows the system sends a 32-bit program's files in System32 to
# SysWOW64. Run from System32 (where an administrator's prompt starts),
# output.txt must still be in the directory the user is in. A 64-bit
# prefix, as on 64-bit Windows.
if [[ -n "$pe32" && -x /usr/lib/wine/wine64 ]]; then
  export WINEPREFIX="$work/prefix64" WINEDEBUG=-all
  ip netns exec "$ns" /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
  system32="$WINEPREFIX/drive_c/windows/system32"
  (cd "$system32" && ip netns exec "$ns" /usr/lib/wine/wine "$exe")
  check "run in System32 of 64-bit Windows: output.txt there, none in SysWOW64" "same:none" \
    "$(same "$system32/output.txt" "$work/whole"):$(
      [[ -e "$WINEPREFIX/drive_c/windows/syswow64/output.txt" ]] || echo none)"
fi

finish e2e_windows

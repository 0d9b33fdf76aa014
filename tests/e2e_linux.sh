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
expected=$(netns_expected "$ns")

printf 'stale contents that must go\n%.0s' {1..1000} > "$work/output.txt"
run "$ns"
check "table matches ip neigh, line for line, in order" "$expected" "$(cat "$work/output.txt")"
check "success prints nothing, exit 0" "0:" "$rc:$out"
check "every line well formed" "" \
  "$(malformed "$work/output.txt")"

run "$ns" --help -v /etc/passwd "two words"
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

if command -v valgrind >/dev/null && [[ "$(basename "$(dirname "$exe")")" != *asan* ]]; then
  out=$(cd "$work" && ip netns exec "$ns" valgrind -q --error-exitcode=1 "$exe" 2>&1)
  rc=$?
  check "no invalid read or write under valgrind" "0:" "$rc:$out"
  check "and the same file" "$expected" "$(cat "$work/output.txt")"
fi

finish e2e_linux

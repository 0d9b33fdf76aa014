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

finish e2e_windows

#!/usr/bin/env bash
# A table of 100,000 entries: every one written, well formed, in the kernel's
# order, with peak memory under twice the table buffer over an empty run.
# Usage: large_linux.sh PATH/TO/arpexport [ENTRIES]
set -uo pipefail
exe=$(realpath "$1")
entries=${2:-100000}
here=$(dirname "$(realpath "$0")")
source "$here/netns.sh"
work=$(mktemp -d)
trap 'netns_cleanup; rm -rf "$work"' EXIT

empty=$(netns_make empty) || exit $?
big=$(netns_make big) || exit $?
netns_fill "$big" "$entries"

# Peak resident set in KiB of one run in namespace $1.
peak_kib() {
  (cd "$work" && ip netns exec "$1" /usr/bin/time -f %M -o "$work/rss" "$exe" >"$work/out")
  cat "$work/rss"
}
baseline=$(peak_kib "$empty")
peak=$(peak_kib "$big")
failures=0
[[ -s "$work/out" ]] && { echo "FAIL unexpected output: $(cat "$work/out")"; failures=1; }

netns_expected "$big" > "$work/expected"
if cmp -s "$work/expected" "$work/output.txt"; then
  echo "ok   $(wc -l < "$work/output.txt") lines, as ip lists them"
else
  echo "FAIL the file differs from ip's list:"
  diff "$work/expected" "$work/output.txt" | head
  failures=$((failures + 1))
fi
malformed=$(grep -cvxE '([0-9]{1,3}\.){3}[0-9]{1,3} - ([0-9a-f]{2}:){5}[0-9a-f]{2}' "$work/output.txt")
((malformed == 0)) || { echo "FAIL $malformed malformed lines"; failures=$((failures + 1)); }

buffer_kib=$(((entries * 24 + 4) / 1024))
limit=$((baseline + 2 * buffer_kib))
if ((peak <= limit)); then
  echo "ok   peak ${peak} KiB <= ${baseline} KiB empty-table peak + 2 x ${buffer_kib} KiB table buffer"
else
  echo "FAIL peak ${peak} KiB > ${limit} KiB"
  failures=$((failures + 1))
fi
((failures == 0)) || exit 1

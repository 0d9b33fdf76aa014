#!/usr/bin/env bash
# A table of 100,000 entries: every one written, well formed, in the kernel's
# order, with peak memory under the table buffer and 4 MiB over an empty run.
# Usage: large_linux.sh PATH/TO/arpexport [ENTRIES]
set -uo pipefail
exe=$(realpath "$1")
entries=${2:-100000}
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
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
check "a successful run prints nothing" "" "$(cat "$work/out")"
netns_expected "$big" > "$work/expected"
check_cmd "$entries lines, as ip lists them, in order" cmp "$work/expected" "$work/output.txt"
check "every line well formed" "" "$(malformed "$work/output.txt")"

# The table buffer has room for an eighth more rows than the kernel counts.
buffer_kib=$(((entries * 9 / 8 * 24 + 4) / 1024))
check_cmd "peak ${peak} KiB <= ${baseline} KiB empty-table peak + ${buffer_kib} KiB table buffer + 4 MiB" \
  test "$peak" -le $((baseline + buffer_kib + 4096))
finish large_linux

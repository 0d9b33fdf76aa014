#!/usr/bin/env bash
# A table of 100,000 entries: every one written, well formed, in the kernel's
# order, with peak memory under the table buffer and 4 MiB over a small
# table's run on a quiet host. And a small namespace beside it pays for its
# own table, not for the host's: the sizing call counts every namespace's
# entries.
# Usage: large_linux.sh PATH/TO/arpexport [ENTRIES]    (or LARGE_ENTRIES)
set -uo pipefail
exe=$(realpath "$1")
entries=${2:-${LARGE_ENTRIES:-100000}}
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
work=$(mktemp -d)
trap 'netns_cleanup; rm -rf "$work"' EXIT

small=$(netns_make small) || exit $?
big=$(netns_make big) || exit $?
netns_fill "$small" 5

# Peak resident set in KiB of one run in namespace $1. Without the leak
# check of a sanitizer build, whose scan at exit reads every page of every
# live block, and so faults in the pages a run never wrote.
peak_kib() {
  (cd "$work" && ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
    ip netns exec "$1" /usr/bin/time -f %M -o "$work/rss" "$exe" >"$work/out")
  cat "$work/rss"
}
# Taken before the large table exists, so that it holds no large buffer.
quiet=$(peak_kib "$small")
netns_fill "$big" "$entries"

big_run() { peak=$(peak_kib "$big"); }
in_order "$big" "$work/expected" big_run
check "a successful run prints nothing" "" "$(cat "$work/out")"
check_cmd "$entries lines, as ip lists them, in order" cmp "$work/expected" "$work/output.txt"
check "every line well formed" "" "$(malformed "$work/output.txt")"

# The table buffer has room for an eighth more rows than the kernel counts.
buffer_kib=$(((entries * 9 / 8 * 24 + 4) / 1024))
check_cmd "peak ${peak} KiB <= ${quiet} KiB small-table peak + ${buffer_kib} KiB table buffer + 4 MiB" \
  test "$peak" -le $((quiet + buffer_kib + 4096))

small_run() { beside=$(peak_kib "$small"); }
in_order "$small" "$work/expected" small_run
check "5 entries beside $entries elsewhere: the namespace's own table" \
  "$(cat "$work/expected")" "$(cat "$work/output.txt")"
check_cmd "and peak ${beside} KiB <= ${quiet} KiB on a quiet host + 2 MiB" \
  test "$beside" -le $((quiet + 2048))
finish large_linux

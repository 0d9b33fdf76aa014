#!/usr/bin/env bash
# The program again and again while a background loop grows and shrinks the
# table. Every run must end with a whole, consistent table (every entry that
# was never touched, no duplicates, a count between the smallest and largest
# table) or with a failure report and an empty file; never anything else.
# Usage: race_linux.sh PATH/TO/arpexport [RUNS] [BASE] [CHURN]
set -uo pipefail
exe=$(realpath "$1")
runs=${2:-60} base=${3:-2000} churn=${4:-3000}
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"

work=$(mktemp -d)
churner=
stop() {
  [[ -n "$churner" ]] && kill "$churner" 2>/dev/null && wait "$churner" 2>/dev/null
  netns_cleanup
  rm -rf "$work"
}
trap stop EXIT

ns=$(netns_make race) || exit $?
netns_fill "$ns" "$base"
awk -v n="$churn" 'BEGIN { for (i = 0; i < n; i++)
  printf "neigh add 10.200.%d.%d lladdr 02:ff:00:00:%02x:%02x dev v0 nud permanent\n",
    int(i / 256), i % 256, int(i / 256), i % 256 }' > "$work/add"
sed 's/ lladdr.* dev / dev /; s/ nud permanent//; s/^neigh add/neigh del/' "$work/add" > "$work/del"

# Bounded in count and time: at most 200 rounds or 60 seconds.
(
  deadline=$((SECONDS + 60))
  for _ in $(seq 200); do
    ((SECONDS < deadline)) || break
    ip -n "$ns" -batch "$work/add"; sleep 0.02
    ip -n "$ns" -batch "$work/del"; sleep 0.02
  done
) &
churner=$!

grew="GetIpNetTable failed.
	Error: The data area passed to a system call is too small."
busy="GetIpNetTable failed.
	Error: The requested resource is in use."
declare -A outcomes
bad=0
for ((i = 1; i <= runs; i++)); do
  out=$(cd "$work" && ip netns exec "$ns" "$exe")
  rc=$?
  file="$work/output.txt"
  lines=$(wc -l < "$file")
  if ((rc != 0)); then
    echo "run $i: exit status $rc"; bad=$((bad + 1)); continue
  fi
  if [[ -z "$out" ]]; then
    malformed=$(malformed "$file" | wc -l)
    dups=$(sort "$file" | uniq -d | wc -l)
    kept=$(grep -c '^10\.100\.' "$file")
    if ((malformed || dups || kept != base || lines < base || lines > base + churn)); then
      echo "run $i: $lines lines, $malformed malformed, $dups repeated, $kept of $base untouched entries"
      bad=$((bad + 1))
    fi
    outcomes[table]=$((${outcomes[table]:-0} + 1))
  elif [[ ("$out" == "$grew" || "$out" == "$busy") && $lines -eq 0 ]]; then
    outcomes[${out##*Error: }]=$((${outcomes[${out##*Error: }]:-0} + 1))
  else
    echo "run $i: unexpected report ($lines lines): $out"; bad=$((bad + 1))
  fi
done
for k in "${!outcomes[@]}"; do echo "${outcomes[$k]} run(s): $k"; done
((bad == 0)) || { echo "$bad run(s) went wrong"; exit 1; }

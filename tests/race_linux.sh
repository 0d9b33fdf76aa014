#!/usr/bin/env bash
# The program again and again while the neighbour table keeps changing at a
# steady rate, first in another namespace, then in the program's own. Every
# run must write each stable entry exactly once, with its own hardware
# address, and nothing but stable entries and entries of the churn's range.
# A churn entry may show any hardware address, zeros included: the kernel
# links a new entry before it sets its state and address, and marks a
# deleted one failed before it unlinks it, and a dump can fall in between;
# the only other outcome allowed is the report for a table that grew between
# the two calls, with an empty file.
# Usage: race_linux.sh PATH/TO/arpexport [RUNS] [ENTRIES] [EVENTS_PER_SECOND]
# (or RACE_RUNS, RACE_ENTRIES)
set -uo pipefail
exe=$(realpath "$1")
runs=${2:-${RACE_RUNS:-20}} base=${3:-${RACE_ENTRIES:-20000}} rate=${4:-300}
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"

work=$(mktemp -d)
churner=
stop_churn() {
  [[ -n "$churner" ]] && kill "$churner" 2>/dev/null && wait "$churner" 2>/dev/null
  churner=
}
trap 'stop_churn; netns_cleanup; rm -rf "$work"' EXIT

ns=$(netns_make race) || exit $?
other=$(netns_make other) || exit $?
netns_fill "$ns" "$base"
netns_expected "$ns" | sort > "$work/stable"

grew="GetIpNetTable failed.
	Error: The data area passed to a system call is too small."
declare -A outcomes
bad=0
# runs_under_churn LABEL NS RUNS: the program RUNS times while NS churns.
runs_under_churn() {
  local label="$1" churn_ns="$2" count="$3" i out rc file="$work/output.txt"
  # Bounded in time: the generator stops by itself after 60 seconds.
  "$here/../scripts/neigh-churn" "$churn_ns" "$rate" 60 --net 10.201 2>/dev/null &
  churner=$!
  sleep 0.5
  for ((i = 1; i <= count; i++)); do
    out=$(cd "$work" && ip netns exec "$ns" "$exe")
    rc=$?
    if ((rc != 0)); then
      echo "$label run $i: exit status $rc"; bad=$((bad + 1)); continue
    fi
    if [[ -n "$out" ]]; then
      if [[ "$out" == "$grew" && ! -s "$file" ]]; then
        outcomes["$label: table grew (122)"]=$((${outcomes["$label: table grew (122)"]:-0} + 1))
      else
        echo "$label run $i: unexpected report: $out"; bad=$((bad + 1))
      fi
      continue
    fi
    local stable foreign repeated
    stable=$(grep -c '^10\.1[0-9][0-9]\.' "$file")
    repeated=$(sort "$file" | uniq -d | wc -l)
    foreign=$(LC_ALL=C grep -avcE '^(10\.1[0-9]{2}\.[0-9.]+ - 02:00:[0-9a-f:]{11}|10\.201\.[0-9]+\.[0-9]+ - ([0-9a-f]{2}:){5}[0-9a-f]{2})$' "$file")
    if ! cmp -s "$work/stable" <(grep '^10\.1[0-9][0-9]\.' "$file" | sort) ||
      ((foreign != 0 || repeated != 0)); then
      echo "$label run $i: $stable lines of $base stable entries," \
        "$foreign outside the table and churn ranges, $repeated repeated"
      bad=$((bad + 1))
    elif grep -q '^10\.201\..* - 00:00:00:00:00:00$' "$file"; then
      outcomes["$label: whole, a churn entry without address"]=$((${outcomes["$label: whole, a churn entry without address"]:-0} + 1))
    else
      outcomes["$label: whole"]=$((${outcomes["$label: whole"]:-0} + 1))
    fi
  done
  if ! kill -0 "$churner" 2>/dev/null; then
    echo "$label: the churn generator ended early"; bad=$((bad + 1))
  fi
  stop_churn
}
runs_under_churn "churn elsewhere" "$other" $(((runs + 1) / 2))
runs_under_churn "churn in the same namespace" "$ns" $((runs / 2))

for k in "${!outcomes[@]}"; do echo "${outcomes[$k]} run(s): $k"; done
check "every run whole or the designed report" 0 "$bad"
finish race_linux

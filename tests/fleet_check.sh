#!/usr/bin/env bash
# The Ansible playbook against SSH hosts of the suite's own, with the
# release's static program: each host's file equals its table; a host whose
# run cannot write output.txt and an address with no host behind it are
# reported failed with their reasons, without a file; a second run replaces
# every file and leaves none for a host that now fails; nothing stays behind
# on the hosts.
# Usage: fleet_check.sh DIST   (the release files)
set -uo pipefail
dist=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
source "$here/fleet.sh"
work=$(mktemp -d)
trap 'fleet_cleanup; netns_cleanup; rm -rf "$work"' EXIT
cd "$work" || exit 1

fleet_init
fleet_host small 1 0
fleet_host mixed 2 300
ip -n "$(fleet_ns mixed)" neigh add 10.66.1.3 lladdr 02:00:00:00:01:03 dev v0 nud noarp
ip -n "$(fleet_ns mixed)" neigh add 10.66.1.1 lladdr 02:00:00:00:02:01 dev v1 nud permanent
fleet_host large 3 5000
# Some 1.3 MB of table, over the 1000 KiB its sessions may write; the
# program (about 0.8 MB) fits.
fleet_host limited 4 40000 1000
echo "ghost ansible_host=10.201.1.9" >>"$FLEET/inventory.ini" # on small's link

# collect RUN HOST...: a run of the playbook into RUN/tables, its output in
# RUN.log; each HOST's file must be its table.
collect() {
  (mkdir -p "$1" && cd "$1" && fleet_ansible ansible-playbook -f 10 \
    "$here/../contrib/ansible/collect.yml" -e release_dir="$dist") >"$1.log" 2>&1
  echo "playbook: status $?" >>"$1.log"
  sed -n '/Report every host/,/^}/p;/PLAY RECAP/,$p' "$1.log"
  for host in "${@:2}"; do
    check "$1: $host's file is its table" "$(netns_expected "$(fleet_ns "$host")" | sort)" \
      "$(sort "$1/tables/$host.txt" 2>&1)"
  done
}
# reported RUN "HOST: REASON"...: each host failed with its reason, no file.
reported() {
  local host
  for host in "${@:2}"; do
    check "$1: ${host%%:*} failed with its reason, without a file" "1:none" "$(grep -c "\"$host" "$1.log"):$(
      [[ -e "$1/tables/${host%%:*}.txt" ]] || echo none)"
  done
}

collect first small mixed large
reported first "limited: FAILED: Cannot write output.txt. Error: The file size exceeds the limit" \
  "ghost: FAILED: unreachable: .*\(No route to host\|timed out\)"
check "ansible-playbook's status 2, for failed hosts; nothing left on the hosts" "1:" \
  "$(grep -c 'playbook: status 2$' first.log):$(fleet_leftovers)"

# Into the same folder again: small is gone, limited has no limit, mixed
# more entries.
fleet_stop small
fleet_stop limited && fleet_start limited
netns_fill "$(fleet_ns mixed)" 20 1000
cp -r first again
collect again mixed large limited
reported again "small: FAILED: unreachable"
check "nothing left on the hosts" "" "$(fleet_leftovers)"
finish fleet_check

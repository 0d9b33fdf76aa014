#!/usr/bin/env bash
# The Ansible playbook against SSH hosts of the suite's own, with the
# release's static program: every host that can be collected is, into a
# file equal to its table; a host whose run cannot write output.txt and an
# address with no host behind it are reported failed with their reasons;
# a second run replaces every file and leaves none for a host that now
# fails; nothing stays behind on the hosts.
# Usage: fleet_check.sh DIST   (the release files)
set -uo pipefail
dist=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
source "$here/fleet.sh"
playbook="$here/../contrib/ansible/collect.yml"
work=$(mktemp -d)
trap "fleet_cleanup; netns_cleanup; cp -r $work /tmp/fleetdbg; rm -rf $work" EXIT
cd "$work" || exit 1

fleet_init
fleet_host small 1 0
fleet_host mixed 2 300
ip -n "$(fleet_ns mixed)" neigh add 10.66.1.3 lladdr 02:00:00:00:01:03 dev v0 nud noarp
ip -n "$(fleet_ns mixed)" neigh add 10.66.1.1 lladdr 02:00:00:00:02:01 dev v1 nud permanent
fleet_host large 3 5000
# 40,000 entries make some 1.3 MB of table, over the limit of 1000 KiB that
# this host's sessions have; the program (about 0.8 MB) still fits.
fleet_host limited 4 40000 1000
fleet_ghost ghost 5

# collect NAME: one run of the playbook, its output in NAME.log; the
# fetched tables in NAME/.
collect() {
  mkdir -p "$1"
  (cd "$1" && fleet_playbook -f 10 "$playbook" -e release_dir="$dist") >"$1.log" 2>&1
  echo "playbook: status $?" >>"$1.log"
}
# same NAME TABLE: the fetched table holds the host's entries exactly.
same() {
  check "$1: the fetched table is the host's" "$(netns_expected "$(fleet_ns "$1")" | sort)" \
    "$(sort "$2" 2>&1)"
}
reported() { grep -c "$1" "$2.log"; }

collect first
cat first.log
for host in small mixed large; do same "$host" "first/tables/$host.txt"; done
check "the host that cannot write output.txt: failed with the program's report, no file" "1:none" \
  "$(reported '"limited: FAILED: Cannot write output.txt. Error: The file size exceeds the limit' first):$(
    [[ -e first/tables/limited.txt ]] || echo none)"
check "the address with no host: failed, unreachable, no file" "1:none" \
  "$(reported '"ghost: FAILED: unreachable: .*\(No route to host\|timed out\)' first):$(
    [[ -e first/tables/ghost.txt ]] || echo none)"
check "ansible-playbook's status says that hosts failed" "1" "$(reported 'playbook: status 2$' first)"
check "nothing of the runs left on the hosts" "" "$(fleet_leftovers)"

# The second run, into the same folder: small's sshd is gone, limited has
# no limit any more, mixed has more entries.
fleet_stop small
fleet_stop limited
fleet_start limited
netns_fill "$(fleet_ns mixed)" 20 1000
cp -r first again
collect again
sed -n '/Report every host/,/^$/p' again.log
for host in mixed large limited; do same "$host" "again/tables/$host.txt"; done
check "a host that now fails: its earlier file is gone" "1:gone" \
  "$(reported '"small: FAILED: unreachable' again):$([[ -e again/tables/small.txt ]] || echo gone)"
check "nothing of the runs left on the hosts" "" "$(fleet_leftovers)"

finish fleet_check

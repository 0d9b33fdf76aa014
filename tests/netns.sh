#!/usr/bin/env bash
# Throwaway network namespaces with neighbour tables, for the tests and the
# benchmarks alike (the shell tests through lib.sh, the others as a command).
# Needs root.
#
# netns.sh make NS [ADDRESS]   a namespace with a veth pair v0/v1, both up,
#                              v0 at ADDRESS (10.66.0.1/16)
# netns.sh fill NS COUNT [FROM]
#                              COUNT permanent entries on v0, added in one
#                              batch: entry i (from FROM, 0 by default) is
#                              10.(100 + i / 65536).(i / 256 % 256).(i % 256)
#                              at 02:00:xx:yy:zz:01 of the same three bytes
# netns.sh link NS1 IF1 ADDRESS1 NS2 IF2 ADDRESS2
#                              a veth pair between two namespaces, IF1 in NS1
#                              at ADDRESS1 and IF2 in NS2 at ADDRESS2 (each
#                              with its prefix length), each side's address
#                              a permanent entry of the other's table: no
#                              address resolution, no entry that comes or goes
# netns.sh expected NS         the lines arpexport must write for NS, in the
#                              kernel's order
set -euo pipefail

make_ns() {
  ip netns add "$1"
  ip -n "$1" link add v0 type veth peer name v1
  ip -n "$1" link set v0 up
  ip -n "$1" link set v1 up
  ip -n "$1" addr add "${2:-10.66.0.1/16}" dev v0
}

fill() {
  awk -v n="$2" -v from="${3:-0}" 'BEGIN {
    for (i = from; i < from + n; i++)
      printf "neigh add 10.%d.%d.%d lladdr 02:00:%02x:%02x:%02x:01 dev v0 nud permanent\n",
        100 + int(i / 65536), int(i / 256) % 256, i % 256,
        int(i / 65536), int(i / 256) % 256, i % 256
  }' | ip -n "$1" -batch -
}

link() {
  local ns1=$1 if1=$2 addr1=$3 ns2=$4 if2=$5 addr2=$6
  ip -n "$ns1" link add "$if1" type veth peer name "$if2" netns "$ns2"
  ip -n "$ns1" addr add "$addr1" dev "$if1"
  ip -n "$ns2" addr add "$addr2" dev "$if2"
  ip -n "$ns1" link set "$if1" up
  ip -n "$ns2" link set "$if2" up
  ip -n "$ns1" neigh replace "${addr2%/*}" dev "$if1" nud permanent \
    lladdr "$(mac "$ns2" "$if2")"
  ip -n "$ns2" neigh replace "${addr1%/*}" dev "$if2" nud permanent \
    lladdr "$(mac "$ns1" "$if1")"
}

mac() { # NS IF: the interface's hardware address
  ip -n "$1" -o link show dev "$2" | grep -o 'link/ether [0-9a-f:]*' | cut -d' ' -f2
}

expected() {
  ip -n "$1" -4 neigh show nud all | awk -f "$(dirname "$(realpath "$0")")/expected.awk"
}

case "${1:-}" in
make) make_ns "${@:2}" ;;
fill) fill "${@:2}" ;;
link) link "${@:2}" ;;
expected) expected "${@:2}" ;;
*)
  echo "usage: netns.sh make|fill|link|expected NS ..." >&2
  exit 2
  ;;
esac

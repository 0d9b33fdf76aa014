#!/usr/bin/env bash
# Throwaway network namespaces and their tables, for the tests (the shell
# ones through lib.sh) and the benchmarks alike. Needs root.
#   make NS [ADDRESS]       veth pair v0/v1 up, v0 at ADDRESS (10.66.0.1/16)
#   fill NS COUNT [FROM]    COUNT permanent entries on v0 in one batch: entry
#                           i is 10.(100 + i / 65536).(i / 256 % 256).(i % 256)
#                           at 02:00 and the same three bytes, then 01
#   link NS1 IF1 ADDRESS1 NS2 IF2 ADDRESS2
#                           a veth pair between two namespaces, each side a
#                           permanent entry of the other's table, so that no
#                           entry comes or goes
#   expected NS             the lines arpexport must write, in kernel order
set -euo pipefail

mac() { ip -n "$1" -o link show dev "$2" | grep -o 'link/ether [0-9a-f:]*' | cut -d' ' -f2; }

case "${1:-}" in
make)
  ip netns add "$2"
  ip -n "$2" link add v0 type veth peer name v1
  ip -n "$2" link set v0 up
  ip -n "$2" link set v1 up
  ip -n "$2" addr add "${3:-10.66.0.1/16}" dev v0
  ;;
fill)
  awk -v n="$3" -v from="${4:-0}" 'BEGIN {
    for (i = from; i < from + n; i++)
      printf "neigh add 10.%d.%d.%d lladdr 02:00:%02x:%02x:%02x:01 dev v0 nud permanent\n",
        100 + int(i / 65536), int(i / 256) % 256, i % 256,
        int(i / 65536), int(i / 256) % 256, i % 256
  }' | ip -n "$2" -batch -
  ;;
link)
  ip -n "$2" link add "$3" type veth peer name "$6" netns "$5"
  ip -n "$2" addr add "$4" dev "$3" && ip -n "$2" link set "$3" up
  ip -n "$5" addr add "$7" dev "$6" && ip -n "$5" link set "$6" up
  ip -n "$2" neigh replace "${7%/*}" dev "$3" nud permanent lladdr "$(mac "$5" "$6")"
  ip -n "$5" neigh replace "${4%/*}" dev "$6" nud permanent lladdr "$(mac "$2" "$3")"
  ;;
expected)
  ip -n "$2" -4 neigh show nud all | awk -f "$(dirname "$(realpath "$0")")/expected.awk"
  ;;
*)
  echo "usage: netns.sh make|fill|link|expected NS ..." >&2
  exit 2
  ;;
esac

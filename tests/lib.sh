# Sourced by the shell tests: checks that count, and throwaway network
# namespaces removed on exit. A test that cannot make namespaces skips
# (exit 77), but under CI it fails.

passed=0
failed=0

# check NAME EXPECTED ACTUAL
check() {
  if [[ "$2" == "$3" ]]; then
    echo "ok   $1"
    passed=$((passed + 1))
  else
    echo "FAIL $1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | head -20
    failed=$((failed + 1))
  fi
}

# check_cmd NAME COMMAND...: the command must succeed.
check_cmd() {
  local out
  if out=$("${@:2}" 2>&1); then
    echo "ok   $1"
    passed=$((passed + 1))
  else
    echo "FAIL $1"
    sed 's/^/     /' <<<"$out" | head -20
    failed=$((failed + 1))
  fi
}

# malformed FILE [LINE_END]: the lines that are not "a.b.c.d - xx:..:xx",
# each ending in LINE_END before the newline (nothing, or $'\r').
malformed() {
  LC_ALL=C grep -avxE "([0-9]{1,3}\.){3}[0-9]{1,3} - ([0-9a-f]{2}:){5}[0-9a-f]{2}${2:-}" "$1"
}

# finish LABEL: the closing count; fails when any check did.
finish() {
  echo "$1: $passed passed, $failed failed"
  ((failed == 0))
}

NETNS_PREFIX="arpx-$$"

# Deletes every namespace this test made, found by name: netns_make runs in
# command substitutions, whose own variables do not come back.
netns_cleanup() {
  local ns
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
    if [[ "$ns" == "$NETNS_PREFIX"-* ]]; then
      ip netns del "$ns" 2>/dev/null || true
    fi
  done
}
trap netns_cleanup EXIT
trap 'exit 130' INT TERM

# The processes below PID, one a line.
descendants() {
  ps -e -o pid=,ppid= | awk -v root="$1" '{ up[$1] = $2 }
    END { for (p in up) { q = p; while (q in up && q != root) q = up[q]; if (q == root && p != root) print p } }'
}

# A test stuck past ARPEXPORT_WATCHDOG seconds shows what it was still
# running, and where each process waits in the kernel, then is ended, a
# little before CTest's own timeout would end it without a word. The
# watchdog holds none of the test's output open, so that CTest does not
# wait for it once the test is over.
if [[ -n "${ARPEXPORT_WATCHDOG:-}" ]]; then
  (
    exec >/dev/null 2>&1
    for ((s = 0; s < ARPEXPORT_WATCHDOG; s++)); do
      sleep 1
      kill -0 $$ || exit 0
    done
    watchdog=$BASHPID
    mapfile -t stuck < <(descendants $$ | grep -vx "$watchdog")
    {
      echo "FAIL: still running after $ARPEXPORT_WATCHDOG s:"
      ps -o pid,etimes,stat,wchan:32,args -p "$(IFS=,; echo "$$,${stuck[*]}")"
    } >"/proc/$$/fd/1"
    kill -TERM "${stuck[@]}" $$
  ) &
fi

skip_or_fail() {
  if [[ "${CI:-}" == "true" ]]; then
    echo "FAIL: $* (required under CI)"
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}

# Namespaces and their tables come from netns.sh, which the benchmarks and
# the kernel tests use too.
NETNS="$(dirname "${BASH_SOURCE[0]}")/netns.sh"

# netns_make NAME [ADDRESS]: this test's namespace NAME (its full name is
# printed), with veth pair v0/v1 up, v0 at ADDRESS (10.66.0.1/16).
netns_make() {
  local ns="$NETNS_PREFIX-$1"
  ((EUID == 0)) || skip_or_fail "network namespaces need root"
  "$NETNS" make "$ns" "${@:2}" 2>/dev/null || skip_or_fail "cannot create network namespaces"
  echo "$ns"
}

# netns_fill NS COUNT [FROM]: COUNT permanent entries on v0, in one batch.
netns_fill() { "$NETNS" fill "$@"; }

# The kernel's neighbour hash, size and seed. It is one for all namespaces
# and grows with a new seed while any namespace's table grows, which
# reorders every dump; on a kernel booted a moment ago that happens often.
hash_state() {
  ip -s ntable show name arp_cache | grep -om1 'hash_rnd [0-9]* hash_mask [0-9a-f]*'
}

# in_order NS FILE COMMAND...: takes NS's expected lines into FILE right
# before COMMAND, and both again while a rehash elsewhere reorders the table
# around them, so that a comparison of order holds; gives COMMAND's status.
# After 5 tries it says so, and the comparison fails.
in_order() {
  local ns=$1 file=$2 before status try
  for try in 1 2 3 4 5; do
    before=$(hash_state)
    netns_expected "$ns" >"$file"
    "${@:3}"
    status=$?
    [[ "$(hash_state)" == "$before" ]] && return $status
    echo "note: the neighbour hash grew during the run (try $try); again"
  done
  echo "the neighbour hash kept growing: the order cannot be compared" >>"$file"
  return $status
}

# netns_expected NS: the lines the tool must write, in the kernel's order.
netns_expected() { "$NETNS" expected "$1"; }

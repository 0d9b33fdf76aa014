#!/usr/bin/env bash
# The Ansible playbook against SSH hosts of the suite's own, with the
# release's static program, one host for each kind of host a fleet has:
# each collected host's file equals its table; every other host is reported
# with what failed and why, without a file; nothing is left on a host that
# stays reachable, and directories named after processors in the logins'
# homes survive. A release with an unlisted, a second or an odd-named
# tarball is refused before any host is touched. Two runs in a row each
# write a folder of their own and leave the other's as it was; a third adds
# a host that was missed to an earlier run.
# Usage: fleet_check.sh DIST   (the release files)
set -uo pipefail
dist=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
source "$here/lib.sh"
source "$here/fleet.sh"
work=$(mktemp -d)
trap 'kill ${cutter:-} 2>/dev/null; fleet_cleanup; netns_cleanup; rm -rf "$work"' EXIT
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
# A login whose shell start-up greets on both outputs, with lines made to
# look like the playbook's own answers.
FLEET_SHELL=/bin/bash fleet_host greeter 5 10
printf '%s\n' 'echo "Welcome to host greeter"' 'echo "ARPEXPORT-forged folder $HOME/x86_64"' \
  'echo "greeting on standard error" >&2' >"$FLEET/homes/greeter/.bashrc"
FLEET_HOME=/nonexistent fleet_host homeless 6 10
# greeter and homeless share 10.66.0.0/16: homeless sees 10.66.9.9 at
# another hardware address than greeter does, one that also answers for
# 10.66.9.66 there, as a poisoned host would.
ip -n "$(fleet_ns greeter)" neigh add 10.66.9.9 lladdr 0a:00:00:00:09:01 dev v0 nud permanent
for address in 10.66.9.9 10.66.9.66; do
  ip -n "$(fleet_ns homeless)" neigh add $address lladdr 0a:00:00:00:09:66 dev v0 nud permanent
done
[[ -x /bin/csh ]] && FLEET_SHELL=/bin/csh fleet_host csh 7 10
FLEET_TMP=noexec fleet_host noexec 8 10
# Its second login waits to be cut off: the host is lost after the first
# step, with its temporary folder made.
printf '%s\n' '#!/bin/sh' 'n=$(cat "$HOME/logins" 2>/dev/null || echo 0)' \
  'echo $((n + 1)) >"$HOME/logins"' '[ "$n" -lt 1 ] || { : >"$HOME/waiting"; sleep 60; }' \
  'exec /bin/sh "$@"' >"$FLEET/lost-shell" && chmod 755 "$FLEET/lost-shell"
FLEET_SHELL=$FLEET/lost-shell fleet_host lost 9 10
# A processor without a program.
echo 'mount --bind "$1/uname" /usr/bin/uname' >"$FLEET/alien.setup"
printf '#!/bin/sh\necho mips64\n' >"$FLEET/uname" && chmod 755 "$FLEET/uname"
fleet_host alien 10 10
echo "ghost ansible_host=10.201.1.9" >>"$FLEET/inventory.ini" # on small's link
hosts=(small mixed large limited greeter homeless noexec lost alien)
[[ -x /bin/csh ]] && hosts+=(csh)
for host in "${hosts[@]}"; do
  home=$(fleet_home "$host") && [[ -d "$home" ]] || continue
  for dir in x86_64 aarch64 armv7l armv8l; do mkdir -p "$home/$dir" && echo keep >"$home/$dir/file"; done
  chown -R "$FLEET_UID:$FLEET_UID" "$home"
done
fleet_snapshot "${hosts[@]}"

# play NAME ARG...: a run of the playbook in $work with tables in ./tables,
# its output in NAME.log, the report's lines in NAME.report.
play() {
  fleet_ansible ansible-playbook -f 12 "$here/../contrib/ansible/collect.yml" \
    -e lost_host_wait=3 "${@:2}" >"$1.log" 2>&1
  echo "playbook: status $?" >>"$1.log"
  sed -n '/Report every host/,/^}/p' "$1.log" | sed -n 's/^ *"\(.*\)",\?$/\1/p' >"$1.report"
}
# reported RUN HOST PATTERN: HOST's line in the report matches PATTERN.
reported() {
  check "$1: $2 $3" "1" "$(grep -c "^$2: $3" "$1.report")"
}
newest() { readlink tables/latest; }
# The tables of a run folder, by checksum: all but the report's own.
tables_sums() { (cd "$1" && sha256sum -- *.txt | grep -v ' report\.txt$'); }
# The kernel may collect an entry while a run goes on: a host's file must be
# its table as it was before the run or as it is after it.
before() { for host; do netns_expected "$(fleet_ns "$host")" | sort >"$host.before"; done; }
is_table() { # RUN HOST...
  local host
  for host in "${@:2}"; do
    sort "tables/$1/$host.txt" >"$host.got" 2>&1
    check "$1: $host's file is its table" "same" "$(cmp -s "$host.got" "$host.before" ||
      cmp -s "$host.got" <(netns_expected "$(fleet_ns "$host")" | sort) && echo same)"
  done
}

# Refused before any host is touched: odd names, a second tarball for one
# processor, one that SHA256SUMS does not list.
mkdir bad
cp "$dist"/*.tar.gz "$dist/SHA256SUMS" bad/
x86=$(cd bad && ls *-x86_64.tar.gz)
cp "bad/$x86" "bad/${x86%.tar.gz} (1).tar.gz"
cp "bad/$x86" "bad/${x86/1.0.0/1.0.1}"
sed -i '/aarch64.tar.gz/d' bad/SHA256SUMS
play refused -e release_dir="$work/bad"
check "a bad release is refused at once, every fault named, no host touched, no run made" \
  "playbook: status 2|1|1|1|no logins|no tables" "$(tail -n1 refused.log)|$(
    grep -c "files that are not release tarballs: ${x86%.tar.gz} (1).tar.gz" refused.log)|$(
    grep -c "more than one tarball for x86_64" refused.log)|$(
    grep -c "not listed in SHA256SUMS: [^;]*arpexport-[^ ]*-aarch64.tar.gz" refused.log)|$(
    [[ -e "$FLEET/homes/lost/logins" ]] || echo no logins)|$([[ -e tables ]] || echo no tables)"

# The first run. The lost host is cut off once its second login waits.
(for _ in $(seq 600); do
  [[ -e "$FLEET/homes/lost/waiting" ]] && { fleet_stop lost; break; }
  sleep 0.1
done) &
cutter=$!
collected=(small mixed large greeter homeless)
[[ -x /bin/csh ]] && collected+=(csh)
before "${collected[@]}"
play first -e release_dir="$dist"
first=$(newest)
cat first.report
is_table "$first" "${collected[@]}"
reported first limited "FAILED: arpexport reported: Cannot write output.txt. .*Error: The file size exceeds the limit"
reported first noexec "FAILED: running arpexport failed with status 126: .*Permission denied"
reported first lost "FAILED: lost during the run: .*; its temporary folder /tmp/arpexport\.[A-Za-z0-9]\{10\} is left there$"
reported first alien "FAILED: no arpexport program in $dist for the host's processor, mips64$"
reported first ghost "FAILED: unreachable: .*\(No route to host\|timed out\)"
check "first: status 2; a file for each collected host and run.json, no other" \
  "playbook: status 2|$(printf '%s\n' $(grep -o '^[a-z]*: collected' first.report | cut -d: -f1 | sed 's/$/.txt/') run.json \
    fleet.csv report.json report.txt |
    sort | tr '\n' ' ')" "$(tail -n1 first.log)|$(ls "tables/$first" | sort | tr '\n' ' ')"
for host in "${hosts[@]}"; do
  [[ "$host" == lost ]] && continue
  check "first: nothing left on $host, its home as it was" "" "$(fleet_leftovers "$host")"
done
sed -n '/Sum up the fleet/,/^}/p' first.log | sed -n 's/^ *"\(.*\)",\?$/\1/p' >first.summary
cat first.summary
report() { # RUN|FILE PYTHON-EXPRESSION: the expression over the run's report.json (or FILE), r
  python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' \
    "$([[ -f "$1" ]] && echo "$1" || echo "tables/$1/report.json")" "$2"
}
check "first: the report shows 10.66.9.9 in dispute and one hardware address behind two, in its network" \
  "[{'network': '10.66.0.0/16', 'address': '10.66.9.9', 'hwaddresses': {'0a:00:00:00:09:01': ['greeter'], '0a:00:00:00:09:66': ['homeless']}}]|['10.66.9.9', '10.66.9.66']|1" \
  "$(report "$first" 'r["disagreements"]')|$(report "$first" '[list(s["addresses"]) for s in r["shared_hwaddresses"] if s["network"] == "10.66.0.0/16"][0]')|$(
    grep -c "^Coverage: ${#collected[@]} of $((${#collected[@]} + 5)) hosts collected, 5 not" first.summary)"

# Again, a second later: small is gone, limited has no limit, mixed more
# entries. The first run's folder stays as it was.
sleep 1
(cd "tables/$first" && sha256sum -- *) >first.sums
fleet_stop small
fleet_stop limited && fleet_start limited
netns_fill "$(fleet_ns mixed)" 20 1000
ip -n "$(fleet_ns homeless)" neigh replace 10.66.9.9 lladdr 0a:00:00:00:09:01 dev v0 nud permanent
before mixed large limited
play again -e release_dir="$dist"
again=$(newest)
is_table "$again" mixed large limited
reported again small "FAILED: unreachable"
cat "tables/$again/report.txt"
check "again: the report has homeless's change of 10.66.9.9 and mixed's 20 new entries" \
  "[{'address': '10.66.9.9', 'old': ['0a:00:00:00:09:66'], 'new': ['0a:00:00:00:09:01']}]|20" \
  "$(report "$again" 'r["changes"]["homeless"]["changed"]')|$(report "$again" 'len(r["changes"]["mixed"]["added"])')"
# arpwatch's arpsnmp reads hwaddress<TAB>address lines: the README's
# conversion, over the two runs, finds homeless's change.
touch arp.dat
for run in "$first" "$again"; do
  awk '{ sub(/\r$/, ""); print $3 "\t" $1 }' "tables/$run/homeless.txt" >"$run.arpsnmp"
  arpsnmp -d -f arp.dat "$run.arpsnmp" 2>>arpsnmp.out >>arpsnmp.out
done
check "arpsnmp: a changed ethernet address for 10.66.9.9, from ...:66 to ...:01" "1" "$(tr -s ' \n' ' ' <arpsnmp.out |
  grep -c 'changed ethernet address (10.66.9.9) .* ethernet address: 0a:0*:0*:0*:0*9:0*1 .* old ethernet address: 0a:0*:0*:0*:0*9:66 ')"
sed -n '/changed ethernet address/,/delta/p' arpsnmp.out
check "again: a run of its own, latest points at it, no file for small; the first run untouched" \
  "yes|none|ok" "$([[ "$again" > "$first" ]] && echo yes)|$([[ -e "tables/$again/small.txt" ]] || echo none)|$(
    cd "tables/$first" && sha256sum --quiet -c "$work/first.sums" && echo ok)"

# small back: collected into the second run, whose other files stay.
fleet_start small
tables_sums "tables/$again" >again.sums
play more --limit 'small,localhost' -e release_dir="$dist" -e run="$again"
cat more.report

# The report by itself over a folder without run.json: a table as Windows
# writes it (CRLF) reads as the same table, a host name that is no plain CSV
# field is quoted, a file that is not a table is named with its first bad
# line and left out, the tables are untouched; where it cannot write, it
# says so, fails and leaves the folder as it was.
cp -r "tables/$again" copied && rm copied/run.json
sed 's/$/\r/' copied/greeter.txt >copied/windows.txt
cp copied/greeter.txt 'copied/we,ird "name".txt'
printf '10.0.0.1 - 0a:00:00:00:00:01\nnot a row\n' >copied/broken.txt
tables_sums copied >copied.sums
python3 "$here/../contrib/ansible/fleet_report.py" copied >copied.summary
ls -l copied >copied.list && chmod 755 "$work" && chmod 555 copied
setpriv --reuid=nobody --regid=nogroup --clear-groups "$(python3 -c 'import sys; print(sys.executable)')" \
  "$here/../contrib/ansible/fleet_report.py" copied >/dev/null 2>copied.error
unwritable="$?:$(grep -c 'cannot write the report in' copied.error):$(ls -l copied | cmp -s - copied.list && echo same)"
chmod 755 copied
rows_of() { sed -n "s/^$1,//p" copied/fleet.csv; }
check "a folder: the CRLF table and the quoted name read as their host's, the broken file named at line 2, the tables untouched; unwritable: status 1" \
  "same|same|{'line': 2, 'text': 'not a row'}|True|1:1:same|ok" "$(rows_of windows | cmp -s - <(rows_of greeter) && echo same)|$(
    rows_of '"we,ird ""name"""' | cmp -s - <(rows_of greeter) && echo same)|$(
    report copied/report.json 'r["coverage"]["not_tables"]["broken"]')|$(
    report copied/report.json '"no run.json" in r["compared"]')|$unwritable|$(cd copied && sha256sum --quiet -c ../copied.sums && echo ok)"
check "more: small added to the second run, its other tables and its record kept" \
  "playbook: status 0|$(netns_expected "$(fleet_ns small)" | sort)|ok|(True, False)" \
  "$(tail -n1 more.log)|$(sort "tables/$again/small.txt")|$(cd "tables/$again" && sha256sum --quiet -c "$work/again.sums" &&
    echo ok)|$(report "tables/$again/run.json" 'r["hosts"]["small"]["collected"], r["hosts"]["lost"]["collected"]')"
finish fleet_check

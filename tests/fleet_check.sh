#!/usr/bin/env bash
# The Ansible collection as users get it: installed from the release file
# and its collect playbook run by name against SSH hosts of the suite's own,
# from an inventory without ansible_python_interpreter, one host for each
# kind of host a fleet has: each collected host's file equals its table;
# every other host is reported with what failed and why, without a file;
# nothing is left on a host that stays reachable, and directories named
# after processors in the logins' homes survive; a host lost while the
# program runs is cleaned up and collected when it comes back, and its
# folder named when it does not; a host down when the play starts is
# collected once it answers, in the same pass; one whose link dies is found
# lost within seconds by keep-alives; a run command that Ansible's SSH
# retries send again after a drop carries on; a login that prints 20 MB
# before each answer is collected; hosts that fail before the collect
# action can record them, or that it refuses for their options, are
# recorded too. A release with an unlisted, a second or an odd-named tarball,
# or a signature that does not count, is refused before any host is touched,
# and so is a run in check mode; a pass limited to hosts without localhost
# is refused on each host without touching it.
# Runs write folders of their own, also two started at once; a re-pass adds
# a missed host to an earlier run and keeps a table that it fails to renew.
# ansible-doc renders each of the collection's modules with its options.
# All of it under this machine's Ansible and under Debian 13's (ansible-core
# 2.19 on Python 3.13, a root that scripts/controller-root makes), each
# with hosts of its own.
# Usage: fleet_check.sh DIST [host|trixie]   (DIST: the release files;
#        without a controller, both, one after the other)
set -uo pipefail
here=$(dirname "$(realpath "$0")")
if (($# == 1)); then
  # Debian 13's root, made first if need be.
  "$here/../scripts/controller-root" >/dev/null || { echo "FAIL: no Debian 13 controller"; exit 1; }
  status=0
  for controller in host trixie; do
    start=$SECONDS
    "$0" "$1" "$controller" || status=1
    echo "fleet_check: the run under the $controller controller took $((SECONDS - start)) s"
  done
  exit $status
fi
case "$2" in
  host) run=() ;;
  trixie) run=("$here/../scripts/controller-root" run) ;;
  *) echo "fleet_check: no controller $2" >&2; exit 2 ;;
esac
source "$here/lib.sh"
source "$here/fleet.sh"
# In /tmp, which the other controller's root shares, as it shares /var/tmp
# (where the hosts' files are), and with a copy of the release files there.
work=$(mktemp -d /tmp/arpx-fleet-check.XXXXXX)
trap 'kill ${cutters[*]:-} 2>/dev/null; GNUPGHOME=$work/gnupg gpgconf --kill gpg-agent 2>/dev/null
  fleet_cleanup; netns_cleanup; rm -rf "$work"' EXIT
release_files=$(realpath "$1")
cd "$work" || exit 1
mkdir dist && cp "$release_files"/*.tar.gz "$release_files"/SHA256SUMS* dist/ || exit 1
dist=$work/dist

fleet_init "$dist" "${run[@]}"
# A host lost for a moment is tried again 4 times, 2 seconds apart.
sed -i 's/^\[fleet:vars\]$/&\nlost_host_tries=4\nlost_host_wait=2/' "$FLEET/inventory.ini"
fleet_controller ansible --version | sed -n "1p; s/^ *python version = \([^ ]*\).*/python \1/p"
fleet_host small 1 0
fleet_host mixed 2 300
ip -n "$(fleet_ns mixed)" neigh add 10.66.1.3 lladdr 02:00:00:00:01:03 dev v0 nud noarp
ip -n "$(fleet_ns mixed)" neigh add 10.66.1.1 lladdr 02:00:00:00:02:01 dev v1 nud permanent
fleet_host large 3 5000
# Some 1.3 MB of table, over the 1000 KiB its sessions may write; the
# program (about 0.8 MB) fits.
fleet_host limited 4 40000 1000
# A login whose shell start-up greets on both outputs, with a line made to
# look like an answer and a control sequence that hides what follows it.
FLEET_SHELL=/bin/bash fleet_host greeter 5 10
printf '%s\n' 'echo "Welcome to host greeter"' 'echo "ARPEXPORT-forged machine x86_64"' \
  "printf '\\033[8mhidden\\n'" 'echo "greeting on standard error" >&2' >"$FLEET/homes/greeter/.bashrc"
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
# Two hosts cut off while the program comes in (its gzip waits to be cut
# off), each with its temporary folders in a folder outside its mount
# namespace, which outlives a restart: lost stays down, back comes back.
# lost's login counts its logins, outside its home.
printf '#!/bin/sh\n: >"$HOME/waiting"\nexec sleep 60\n' >"$FLEET/gzip-wait"
mkdir -m 1777 "$FLEET/marks"
printf '%s\n' '#!/bin/sh' "f=$FLEET/marks/\${HOME##*/}.logins" 'n=$(cat "$f" 2>/dev/null || echo 0)' \
  'echo $((n + 1)) >"$f"' 'exec /bin/sh "$@"' >"$FLEET/counting-shell"
chmod 755 "$FLEET/gzip-wait" "$FLEET/counting-shell"
for host in lost back; do
  echo 'mount --bind "$1/gzip-wait" /usr/bin/gzip' >"$FLEET/$host.setup"
  mkdir -p "$FLEET/tmp/$host" && chown "$FLEET_UID" "$FLEET/tmp/$host"
done
FLEET_SHELL=$FLEET/counting-shell FLEET_VARS="host_tmpdir=$FLEET/tmp/lost" fleet_host lost 9 10
FLEET_VARS="host_tmpdir=$FLEET/tmp/back" fleet_host back 11 10
# A processor without a program, whose name hides what follows it.
echo 'mount --bind "$1/uname" /usr/bin/uname' >"$FLEET/alien.setup"
printf '#!/bin/sh\nprintf "mips64\\033[8m\\302\\233hidden\\n"\n' >"$FLEET/uname" && chmod 755 "$FLEET/uname"
fleet_host alien 10 10
# Python cannot run there: none is needed.
FLEET_VARS=ansible_python_interpreter=/nonexistent/python3 fleet_host nopython 12 10
# Two hypervisors' bridges: one network, one own address, on separate
# links, where each sees a guest of its own at one address.
for i in 1 2; do
  fleet_host hv$i $((12 + i)) 0
  ip -n "$(fleet_ns hv$i)" addr add 192.168.122.1/24 dev v1
  ip -n "$(fleet_ns hv$i)" neigh add 192.168.122.50 lladdr 52:54:00:00:00:0$i dev v1 nud permanent
done
# Two sites with one network: east and west see 172.16.0.254 at
# different hardware addresses.
i=15
for site in east west; do
  FLEET_VARS=arpexport_site=$site fleet_host $site $i 0
  ip -n "$(fleet_ns $site)" addr add 172.16.0.$((i - 14))/24 dev v1
  ip -n "$(fleet_ns $site)" neigh add 172.16.0.254 lladdr 0a:00:00:00:16:0$((i - 14)) dev v1 nud permanent
  i=$((i + 1))
done
# late is down when the play starts: its sshd starts a second after it
# first refuses a connection.
fleet_host late 17 10
# cut's link goes down while its run goes on (its sha256sum waits, after
# the program wrote its table), with keep-alives of its inventory's own
# and one try to clean up.
echo 'mount --bind "$1/sha256sum-wait" /usr/bin/sha256sum' >"$FLEET/cut.setup"
printf '#!/bin/sh\n: >"$HOME/waiting"\nexec sleep 600\n' >"$FLEET/sha256sum-wait" && chmod 755 "$FLEET/sha256sum-wait"
FLEET_VARS="ansible_ssh_extra_args='-o ServerAliveInterval=1 -o ServerAliveCountMax=2' lost_host_tries=1 lost_host_wait=1" \
  fleet_host cut 18 10
# A login whose start-up file prints 20 MB before each command's own
# output, ending in the middle of a line.
FLEET_SHELL=/bin/bash fleet_host chatty 19 10
echo 'yes "A greeting from chatty, long enough to fill a screen." | head -c 20000000' >"$FLEET/homes/chatty/.bashrc"
# retried, in an inventory of its own for a play with Ansible's SSH
# retries: its first run's gzip waits once, and the connection drops.
cp /usr/bin/gzip "$FLEET/gzip.real"
printf '%s\n' '#!/bin/sh' "[ -e $FLEET/marks/retried.waited ] && exec $FLEET/gzip.real \"\$@\"" \
  ": >$FLEET/marks/retried.waited" 'exec sleep 60' >"$FLEET/gzip-once" && chmod 755 "$FLEET/gzip-once"
echo 'mount --bind "$1/gzip-once" /usr/bin/gzip' >"$FLEET/retried.setup"
FLEET_SHELL=$FLEET/counting-shell fleet_host retried 20 10
{ sed '/^\[fleet\]$/q' "$FLEET/inventory.ini" && grep '^retried ' "$FLEET/inventory.ini"; } >"$FLEET/retried.ini"
sed -i '/^retried /d' "$FLEET/inventory.ini"
echo "ghost ansible_host=10.201.1.9" >>"$FLEET/inventory.ini" # on small's link
# Hosts that fail before the collect action can record them (a shell that
# Ansible cannot find) or that it refuses for their options: each is in
# run.json with its reason all the same.
echo "fish ansible_host=10.201.1.9 ansible_shell_type=fish" >>"$FLEET/inventory.ini"
echo "relative ansible_host=10.201.1.9 host_tmpdir=var/tmp" >>"$FLEET/inventory.ini"
hosts=(small mixed large limited greeter homeless noexec lost alien back nopython hv1 hv2 east west late cut chatty retried)
[[ -x /bin/csh ]] && hosts+=(csh)
for host in "${hosts[@]}"; do
  home=$(fleet_home "$host") && [[ -d "$home" ]] || continue
  for dir in x86_64 aarch64 armv7l armv8l; do mkdir -p "$home/$dir" && echo keep >"$home/$dir/file"; done
  chown -R "$FLEET_UID:$FLEET_UID" "$home"
done
fleet_snapshot "${hosts[@]}"

# play NAME ARG...: a run of the collection's playbook in $work with tables
# in ./tables, its output in NAME.log, the report's lines in NAME.report.
play() {
  fleet_ansible ansible-playbook -f 16 arpexport.fleet.collect "${@:2}" \
    >"$1.log" 2>&1
  echo "playbook: status $?" >>"$1.log"
  sed -n '/Report every host/,/^}/p' "$1.log" | sed -n 's/^ *"\(.*\)",\?$/\1/p' >"$1.report"
}
# reported RUN HOST PATTERN: HOST's line in the report matches PATTERN.
reported() {
  check "$1: $2 $3" "1" "$(grep -c "^$2: $3" "$1.report")"
}
newest() { readlink tables/latest; }
# The tables of a run folder, by checksum.
tables_sums() { (cd "$1" && sha256sum -- *.txt); }
# The kernel may collect an entry while a run goes on: a host's file must be
# its table as it was before the run or as it is after it.
before() { for host; do netns_expected "$(fleet_ns "$host")" | sort >"$host.before"; done; }
is_table() { # NAME RUN HOST...
  local host
  for host in "${@:3}"; do
    sort "tables/$2/$host.txt" >"$host.got" 2>&1
    check "$1: $host's file is its table" "same" "$(cmp -s "$host.got" "$host.before" ||
      cmp -s "$host.got" <(netns_expected "$(fleet_ns "$host")" | sort) && echo same)"
  done
}
report() { # RUN|FILE PYTHON-EXPRESSION: the expression over the run's report.json (or FILE), r
  python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' \
    "$([[ -f "$1" ]] && echo "$1" || echo "tables/$1/report/report.json")" "$2"
}

# ansible-doc renders each module of the installed collection, and shows
# there every option that the collection's playbooks give it.
check "ansible-doc -l lists the collection's modules" "collect expect prepare record report " "$(
  fleet_controller ansible-doc -l arpexport.fleet 2>/dev/null | awk '{ sub(/^arpexport\.fleet\./, "", $1); print $1 }' | sort | tr '\n' ' ')"
/usr/bin/python3 - "$FLEET"/collections/ansible_collections/arpexport/fleet/playbooks/*.yml >given <<'PY'
import sys
import yaml

given = {}
for path in sys.argv[1:]:
    for play in yaml.safe_load(open(path)):
        for task in play.get("tasks", []):
            for key, args in task.items():
                if key.startswith("arpexport.fleet."):
                    given.setdefault(key.rpartition(".")[2], set()).update(args)
for module, options in sorted(given.items()):
    print(module, *sorted(options))
PY
for module in collect expect prepare record report; do
  ANSIBLE_NOCOLOR=1 fleet_controller ansible-doc "arpexport.fleet.$module" >"doc-$module" 2>&1
  check "ansible-doc arpexport.fleet.$module: renders" "status 0" "status $?"
  options=$(awk -v m="$module" '$1 == m { $1 = ""; print substr($0, 2) }' given)
  check "ansible-doc arpexport.fleet.$module: shows the options the playbooks give it" "$options" "$(
    for option in $options; do
      sed -n '/^OPTIONS/,/^[A-Z]/p' "doc-$module" | grep -qE "^ *[=-]? *$option( |$)" && echo "$option"
    done | tr '\n' ' ' | sed 's/ $//')"
done

# Releases refused before any host is touched, all at once, each with its
# own tables folder: odd names, a second tarball for one processor and one
# that SHA256SUMS does not list; signatures by an expired key, a revoked key
# and a key the keyring does not trust, and a release_key file that does not
# import. A release signed by the key in release_key is taken. So is a run
# in check mode; a pass without localhost is refused on each host.
export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
key() { # NAME [gpg OPTION...]: a signing key of its own
  gpg --batch --quiet --passphrase '' "${@:2}" --quick-gen-key "$1 <$1@example.org>" ed25519 sign 1d 2>/dev/null
}
release() { # NAME KEY [gpg OPTION...]: a copy of the release, SHA256SUMS signed by KEY
  mkdir "$1" && ln -s "$dist"/*.tar.gz "$1/" && cp "$dist/SHA256SUMS" "$1/"
  gpg --batch --quiet "${@:3}" -u "$2@example.org" --detach-sign -a -o "$1/SHA256SUMS.asc" "$1/SHA256SUMS" 2>/dev/null
}
key good && key revoked && key old --faked-system-time 20200101T000000
release signed good
release by-revoked revoked
release by-expired old --faked-system-time 20200101T000100
fingerprint() { gpg --with-colons --list-keys "$1@example.org" 2>/dev/null | awk -F: '/^fpr:/ { print $10; exit }'; }
sed 's/^:-----/-----/' "$GNUPGHOME/openpgp-revocs.d/$(fingerprint revoked).rev" | gpg --batch --quiet --import 2>/dev/null
gpg --batch --armor --export good@example.org >good.asc
(GNUPGHOME=$work/other && mkdir -m 700 "$GNUPGHOME" && key stranger && release by-stranger stranger &&
  gpg --batch --armor --export stranger@example.org | GNUPGHOME=$work/gnupg gpg --batch --quiet --import 2>/dev/null
  gpgconf --kill gpg-agent)
echo "not a key" >junk.asc
mkdir bad
cp "$dist"/*.tar.gz "$dist/SHA256SUMS" bad/
x86=$(cd bad && ls *-x86_64.tar.gz)
cp "bad/$x86" "bad/${x86%.tar.gz} (1).tar.gz"
cp "bad/$x86" "bad/${x86/-linux-/.1-linux-}"
sed -i '/aarch64.tar.gz/d' bad/SHA256SUMS
# CASE|HOST|MESSAGE|OPTION...: the refusal's host, its message (a pattern
# of the message's stable parts) and the playbook's options.
refusals=(
  "bad|localhost|files that are not release tarballs: ${x86%.tar.gz} (1).tar.gz; more than one tarball for x86_64; not listed in SHA256SUMS: [^;]*-aarch64.tar.gz|-e release_dir=$work/bad"
  "expired|localhost|SHA256SUMS.asc is a signature made by an expired key ($(fingerprint old))|-e release_dir=$work/by-expired"
  "revoked|localhost|SHA256SUMS.asc is a signature made by a revoked key ($(fingerprint revoked))|-e release_dir=$work/by-revoked"
  "untrusted|localhost|SHA256SUMS.asc is a signature made by a key that the keyring does not trust fully or ultimately|-e release_dir=$work/by-stranger"
  "unimported|localhost|$work/junk.asc holds no OpenPGP public key that gpg can import|-e release_dir=$work/signed -e release_key=$work/junk.asc"
  "check|localhost|a run cannot be shown in check mode|--check"
  "unprepared|lost|the run was not prepared on the controller|--limit lost")
# (A bare wait would wait for lib.sh's watchdog too.)
pids=()
for refusal in "${refusals[@]}"; do
  IFS='|' read -r case _ _ options <<<"$refusal"
  # shellcheck disable=SC2086 # the options, split at spaces
  play "refused-$case" -e tables_dir="$work/refused-$case" $options &
  pids+=($!)
done
wait "${pids[@]}"
for refusal in "${refusals[@]}"; do
  IFS='|' read -r case host message _ <<<"$refusal"
  check "refused $case: playbook status 2" "playbook: status 2" "$(tail -n1 "refused-$case.log")"
  check "refused $case: its message, on $host" "yes" "$(grep -q "fatal: \[$host\]: FAILED.*$message" "refused-$case.log" && echo yes)"
  check "refused $case: the message alone, no exception shown" "0" "$(grep -c 'An exception occurred' "refused-$case.log")"
  check "refused $case: no run folder made" "none" "$([[ -e "refused-$case" ]] || echo none)"
done
check "refused: no host logged into" "none" "$([[ -e "$FLEET/marks/lost.logins" ]] || echo none)"

# The first run, with the collection's own programs. lost and back are cut
# off while the program comes in; back answers again 3 seconds later, and
# is collected in the same pass. So is late, which is down when the play
# starts. cut's link goes down while its run goes on. At the same time,
# retried's play, where Ansible sends a command again when its connection
# drops: the first run command's sshd is killed while its gzip waits.
# waiting_for FILE: whether FILE appeared within a minute.
waiting_for() {
  local _
  for _ in $(seq 600); do
    [[ -e "$1" ]] && return 0
    sleep 0.1
  done
  return 1
}
# TCP resets sent in HOST's namespace: one for each connection refused.
resets() {
  ip netns exec "$(fleet_ns "$1")" awk '$1 == "Tcp:" { if (!at) { for (i = 2; i <= NF; i++) if ($i == "OutRsts") at = i } else print $at }' \
    /proc/net/snmp
}
fleet_stop late
late_resets=$(resets late)
(for _ in $(seq 600); do
  for host in lost back; do
    [[ -e "$FLEET/homes/$host/waiting" ]] || continue
    fleet_stop "$host" && rm "$FLEET/homes/$host/waiting" "$FLEET/$host.setup"
    [[ "$host" == back ]] && sleep 3 && fleet_start back
  done
  [[ -e "$FLEET/lost.setup" || -e "$FLEET/back.setup" ]] || break
  sleep 0.1
done) &
cutters=($!)
(for _ in $(seq 600); do
  if (($(resets late) > late_resets)); then
    sleep 1 && fleet_start late && echo "late started after $(($(resets late) - late_resets)) refused" >late.started
    break
  fi
  sleep 0.1
done) &
cutters+=($!)
# The seconds from cut's link going down to its outcome in the journal.
(waiting_for "$FLEET/homes/cut/waiting" && ip -n "$(fleet_ns cut)" link set h0 down && start=$SECONDS &&
  for _ in $(seq 600); do
    grep -s '"host": "cut"' tables/*/.journal | grep -q '"collected"' && echo $((SECONDS - start)) >cut.seconds && break
    sleep 0.1
  done) &
cutters+=($!)
(waiting_for "$FLEET/marks/retried.waited" &&
  listener=$(fleet_sshd retried) &&
  ip netns pids "$(fleet_ns retried)" | grep -vx "$listener" | xargs -r kill -9) &
cutters+=($!)
collected=(small mixed large greeter homeless nopython hv1 hv2 east west back late chatty)
[[ -x /bin/csh ]] && collected+=(csh)
not_collected=(limited noexec lost alien ghost fish relative cut)
before "${collected[@]}" retried
ANSIBLE_SSH_RETRIES=3 FLEET_INVENTORY=$FLEET/retried.ini play retried -vv -e tables_dir="$work/retried" &
retried=$!
play first
wait $retried "${cutters[@]}"
first=$(newest)
cat first.report
check "first: playbook status 2" "playbook: status 2" "$(tail -n1 first.log)"
is_table first "$first" "${collected[@]}"
reported first limited "FAILED: arpexport reported: Cannot write output.txt. Error: The file size exceeds the limit"
reported first noexec "FAILED: running arpexport failed with status 126: .*Permission denied"
reported first lost "FAILED: lost during the run: .*; its temporary folder $FLEET/tmp/lost/arpexport\.[A-Za-z0-9]\{10\} is left there$"
reported first back "collected, [0-9]* lines$"
reported first alien "FAILED: no arpexport program in the collection arpexport.fleet [0-9.]* for the host's processor, mips64\\\\\\\\x1b\[8m\\\\\\\\x9bhidden$"
reported first ghost "FAILED: unreachable: .*\(No route to host\|timed out\)"
reported first fish "FAILED: its collect task failed before it could record an outcome"
reported first relative "FAILED: host_tmpdir must be an absolute path"
reported first late "collected, [0-9]* lines$"
check "first: late refused a connection before its sshd started" "yes" "$([[ -s late.started ]] && echo yes)"
reported first cut "FAILED: lost during the run: .*; its temporary folder /tmp/arpexport\.[A-Za-z0-9]\{10\} is left there$"
echo "cut: recorded lost $(cat cut.seconds 2>/dev/null) s after its link went down"
check "first: cut recorded lost within 20 s of its link going down" "yes" \
  "$( (($(cat cut.seconds 2>/dev/null || echo 999) <= 20)) && echo yes)"
check "first: the temporary folder named for cut is there" "$(grep -o "/tmp/arpexport\.[A-Za-z0-9]*" first.report)" \
  "$(nsenter -t "$(fleet_sshd cut)" -m sh -c 'ls -d /tmp/arpexport.*')"
reported first chatty "collected, [0-9]* lines$"
check "first: no failure shown as an exception" "0" "$(grep -c 'An exception occurred' first.log)"
check "first: the temporary folder named for lost is there" \
  "$(grep -o "$FLEET/tmp/lost/arpexport\.[A-Za-z0-9]*" first.report)" "$(ls -d "$FLEET"/tmp/lost/*)"
check "first: back's temporary folder was removed" "" "$(ls "$FLEET/tmp/back")"
check "first: the run's folder holds a file for each collected host and run.json, no other" \
  "$(printf '%s\n' $(grep -o '^[a-z0-9]*: collected' first.report | cut -d: -f1 | sed 's/$/.txt/') \
    run.json report | sort | tr '\n' ' ')" "$(ls "tables/$first" | sort | tr '\n' ' ')"
check "first: the report's folder holds fleet.csv, report.json and report.txt" \
  "fleet.csv report.json report.txt " "$(ls "tables/$first/report" | tr '\n' ' ')"
for host in "${hosts[@]}"; do
  [[ "$host" == lost || "$host" == cut ]] && continue
  check "first: nothing left on $host, its home as it was" "" "$(fleet_leftovers "$host")"
done
# retried's play: Ansible sent the run command again on a new connection
# (logins: the probe, the run, the run again), whose run removed the first
# one's folder and went on.
cat retried.report
check "retried: playbook status 0" "playbook: status 0" "$(tail -n1 retried.log)"
reported retried retried "collected, [0-9]* lines$"
is_table retried "../retried/$(readlink retried/latest)" retried
check "retried: the run command sent again, once" "3" "$(cat "$FLEET/marks/retried.logins")"
sed -n '/Sum up the fleet/,/^}/p' first.log | sed -n 's/^ *"\(.*\)",\?$/\1/p' >first.summary
cat first.summary
for file in first.log "tables/$first/run.json" "tables/$first/report/report.txt"; do
  check "first: no control character from a host in ${file##*/}" "0" "$(LC_ALL=C grep -c $'\x1b\|\xc2\x9b\|\r' "$file")"
done
# Only greeter and homeless disagree: hv1 and hv2 hold one own address in
# their network, east and west are in two sites.
check "first: the report's one disagreement, 10.66.9.9 between greeter and homeless" \
  "[('10.66.9.9', ['10.66.0.0/16'], {'0a:00:00:00:09:01': ['greeter'], '0a:00:00:00:09:66': ['homeless']})]" \
  "$(report "$first" '[(d["address"], d["networks"], d["hwaddresses"]) for d in r["disagreements"]]')"
check "first: the report's hardware address behind 10.66.9.9 and 10.66.9.66" "['10.66.9.9', '10.66.9.66']" \
  "$(report "$first" '[list(s["addresses"]) for s in r["shared_hwaddresses"] if s["network"] == "10.66.0.0/16"][0]')"
check "first: the report's own address of hv1 and hv2" "[('192.168.122.1', ['hv1', 'hv2'])]" \
  "$(report "$first" '[(s["address"], s["hosts"]) for s in r["shared_own_addresses"]]')"
inventory=$(awk '/^\[fleet\]$/ { on = 1; next } /^\[/ { on = 0 } on && NF { print $1 }' "$FLEET/inventory.ini" | sort)
check "first: run.json records every host of the inventory" "$inventory" \
  "$(report "tables/$first/run.json" '"\n".join(sorted(r["hosts"]))')"
check "first: run.json has the hosts not collected, and no other, as not collected" \
  "$(printf '%s\n' "${not_collected[@]}" | sort)" \
  "$(report "tables/$first/run.json" '"\n".join(sorted(h for h, o in r["hosts"].items() if not o["collected"]))')"
check "first: the summary's coverage counts every host of the inventory" "1" \
  "$(grep -c "^Coverage: ${#collected[@]} of $(wc -l <<<"$inventory") hosts collected, $(($(wc -l <<<"$inventory") - ${#collected[@]})) not" first.summary)"

# Again, a second later, with the release's tarballs, signed, verified
# against release_key: small is gone, limited has no limit, mixed more
# entries. The first run's folder stays as it was.
sleep 1
(cd "tables/$first" && find . -type f -exec sha256sum -- {} +) >first.sums
fleet_stop small
fleet_stop limited && fleet_start limited
netns_fill "$(fleet_ns mixed)" 20 1000
ip -n "$(fleet_ns homeless)" neigh replace 10.66.9.9 lladdr 0a:00:00:00:09:01 dev v0 nud permanent
before mixed large limited
play again -e release_dir="$work/signed" -e release_key="$work/good.asc" -e require_signature=true \
  -e arpexport_site=one
again=$(newest)
is_table again "$again" mixed large limited
reported again small "FAILED: unreachable"
check "again: the release's signature verified, tables in the run latest points at" "1" \
  "$(grep -c "^SHA256SUMS.asc verified; tables in $work/tables/$again\$" again.report)"
check "again: a run folder of its own, after the first" "yes" "$([[ "$again" > "$first" ]] && echo yes)"
check "again: no file for small" "none" "$([[ -e "tables/$again/small.txt" ]] || echo none)"
check "again: the first run's folder untouched" "ok" "$(cd "tables/$first" && sha256sum --quiet -c "$work/first.sums" && echo ok)"
cat "tables/$again/report/report.txt"
check "again: homeless's change of 10.66.9.9" \
  "[{'address': '10.66.9.9', 'old': ['0a:00:00:00:09:66'], 'new': ['0a:00:00:00:09:01']}]" \
  "$(report "$again" 'r["changes"]["homeless"]["changed"]')"
check "again: mixed's 20 new entries" "20" "$(report "$again" 'len(r["changes"]["mixed"]["added"])')"
check "again: east and west, in one site now, disagree on 172.16.0.254" "[('one', '172.16.0.254', ['east', 'west'])]" \
  "$(report "$again" '[(d["site"], d["address"], sorted(h for hs in d["hwaddresses"].values() for h in hs)) for d in r["disagreements"]]')"
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

# A re-pass into the second run: small, back again, is added; large, now
# down, keeps the table the run has of it, and the failure is noted.
fleet_start small
fleet_stop large
tables_sums "tables/$again" >again.sums
before small
play more --limit 'small,large,localhost' -e run="$again"
cat more.report
check "more: playbook status 2" "playbook: status 2" "$(tail -n1 more.log)"
is_table more "$again" small
check "more: large's table and the run's other tables kept" "ok" \
  "$(cd "tables/$again" && sha256sum --quiet -c "$work/again.sums" && echo ok)"
check "more: run.json has small collected" "True" "$(report "tables/$again/run.json" 'r["hosts"]["small"]["collected"]')"
check "more: run.json keeps large collected" "True" "$(report "tables/$again/run.json" 'r["hosts"]["large"]["collected"]')"
check "more: run.json notes large's failure since, unreachable" "True" \
  "$(report "tables/$again/run.json" 'r["hosts"]["large"]["failed_later"]["reason"].startswith("unreachable")')"
check "more: run.json keeps lost not collected" "False" "$(report "tables/$again/run.json" 'r["hosts"]["lost"]["collected"]')"

# Two runs started at once: a folder each, each whole, latest at the newer.
pids=()
for run in one two; do
  play "$run" --limit 'small,mixed,localhost' &
  pids+=($!)
done
wait "${pids[@]}"
mapfile -t pair < <(grep -ho "tables in $work/tables/[^ \"]*" one.report two.report | sed 's|.*/||')
for run in one two; do
  check "two runs at once: $run's playbook status 0" "playbook: status 0" "$(tail -n1 "$run.log")"
done
check "two runs at once: two folders" "2" "$(printf '%s\n' "${pair[@]}" | sort -u | wc -l)"
for run in "${pair[@]}"; do
  check "two runs at once: run.json of $run has both hosts, collected" "True" \
    "$(report "tables/$run/run.json" '(len(r["hosts"]) == 2 and all(h["collected"] for h in r["hosts"].values()))')"
  check "two runs at once: $run holds both tables and the report" "yes" \
    "$([[ -s "tables/$run/small.txt" && -s "tables/$run/mixed.txt" && -s "tables/$run/report/report.txt" ]] && echo yes)"
done
check "two runs at once: latest at the newer" "$(printf '%s\n' "${pair[@]}" | sort -t- -k1,1 -k2n | tail -n1)" "$(newest)"

# A fleet watched over time: six runs of small and mixed into a tables
# folder of their own. Their gateway 10.66.7.1 changes (a new finding, a
# line of findings.jsonl, and with alert_severity a run that ends with
# status 2 saying so); while small is not collected, small's last view
# counts and its findings are unchecked, not resolved; then the gateway is
# back (a flip-flop), stays (ongoing, no new line) and settles (resolved,
# settle_runs 2). small and mixed disagree about 10.66.7.5 until it is
# mended. A rebuild from the folders gives the same history; keep_runs
# removes the oldest folders while the history keeps their pairings.
watched=$work/watched
gateway() { for host in small mixed; do ip -n "$(fleet_ns "$host")" neigh replace 10.66.7.1 lladdr "$1" dev v0 nud permanent; done; }
watch() { # NAME ARG...: a run into $watched
  play "$1" --limit 'small,mixed,localhost' -e tables_dir="$watched" -e settle_runs=2 "${@:2}"
  readlink "$watched/latest" >"$1.run"
}
states() { # NAME: the kinds and states of its run's findings about 10.66.7.x
  report "$watched/$(cat "$1.run")/report/report.json" \
    'sorted((f["kind"], f["state"]) for f in r["findings"] if f["addresses"][0].startswith("10.66.7."))'
}
events() { # the lines of findings.jsonl about 10.66.7.x, by run: run's name, kind, state
  python3 -c 'import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
print(";".join(sorted(f"{e['"'"'run'"'"']} {e['"'"'kind'"'"']} {e['"'"'state'"'"']}" for e in lines if e["addresses"][0].startswith("10.66.7."))))' \
    "$watched/findings.jsonl"
}
history_py() { fleet_controller env PYTHONPATH="$FLEET/collections" python3 -c "import sys
from ansible_collections.arpexport.fleet.plugins.plugin_utils import history
$1" "${@:2}"; }
neighbour() { ip -n "$(fleet_ns "$1")" neigh replace "$2" lladdr "$3" dev v0 nud permanent; }
gateway 0a:00:00:00:07:01
neighbour small 10.66.7.5 0a:00:00:00:07:05
neighbour mixed 10.66.7.5 0a:00:00:00:07:06
watch w1
gateway 0a:00:00:00:07:66
watch w2 -e alert_severity=warning
gateway 0a:00:00:00:07:01
fleet_stop small
watch w3
fleet_start small
neighbour mixed 10.66.7.5 0a:00:00:00:07:05
watch w4
watch w5 -e alert_severity=warning
w=($(cat w1.run w2.run w3.run w4.run w5.run))
check "watched: the first run, a disagreement" "[('disagreement', 'new')]" "$(states w1)"
check "watched: the gateway changed" "[('changed', 'new'), ('disagreement', 'ongoing')]" "$(states w2)"
check "watched: a new warning, status 2 with its message" "playbook: status 2 yes" "$(tail -n1 w2.log) $(
  grep -q '1 new finding of severity warning or above: warning changed: 10.66.7.1: changed: 0a:00:00:00:07:01 -> 0a:00:00:00:07:66' w2.log && echo yes)"
check "watched: small not collected, its findings unchecked" "[('changed', 'unchecked'), ('disagreement', 'unchecked')]" "$(states w3)"
check "watched: back (flip-flop), the change and the mended disagreement resolved" \
  "[('changed', 'resolved'), ('disagreement', 'resolved'), ('flip_flop', 'new')]" "$(states w4)"
check "watched: the flip-flop ongoing" "[('flip_flop', 'ongoing')]" "$(states w5)"
check "watched: nothing new of warning, status 0" "playbook: status 0" "$(tail -n1 w5.log)"
check "watched: findings.jsonl, a line for each change of state" \
  "${w[0]} disagreement new;${w[1]} changed new;${w[3]} changed resolved;${w[3]} disagreement resolved;${w[3]} flip_flop new" \
  "$(events)"
cp "$watched/history.sqlite" watched.before
fleet_controller env PYTHONPATH="$FLEET/collections" \
  python3 -m ansible_collections.arpexport.fleet.plugins.plugin_utils.history rebuild "$watched" >rebuild.out 2>&1
check "watched: the rebuild from the folders, of five runs" "$watched/history.sqlite: rebuilt from 5 runs" "$(cat rebuild.out)"
check "watched: the rebuilt history the same" "True" \
  "$(history_py 'print(history.content(sys.argv[1]) == history.content(sys.argv[2]))' watched.before "$watched/history.sqlite")"
watch w6 -e keep_runs=3
check "watched: settled" "[('flip_flop', 'resolved')]" "$(states w6)"
check "watched: keep_runs=3 removed the three oldest folders" "${w[3]} ${w[4]} $(cat w6.run) latest" \
  "$(cd "$watched" && ls -d 2*Z* latest | tr '\n' ' ' | sed 's/ $//')"
check "watched: the history still knows the gateway's change in a removed run" "${w[1]} ${w[1]} 1" \
  "$(history_py 'import sqlite3
print(*sqlite3.connect(sys.argv[1]).execute("SELECT first_run, last_run, runs FROM seen WHERE address = ? AND hwaddress = ?",
      ("10.66.7.1", "0a:00:00:00:07:66")).fetchone())' "$watched/history.sqlite")"

# The README's cron line, run as cron runs it: from another folder, without
# a terminal, with cron's small environment and the collection where
# ansible-galaxy installs it; twice at once, one run after the other.
sched=$work/sched
mkdir -p "$sched" "$work/cronhome/.ansible/collections"
ln -s "$FLEET/collections/ansible_collections" "$work/cronhome/.ansible/collections/"
{ sed -n '/^\[fleet:vars\]$/,/^\[fleet\]$/p' "$FLEET/inventory.ini"; grep -E '^(small|mixed) ' "$FLEET/inventory.ini"; } >"$sched/hosts.ini"
cron=$(grep -m1 '^17 2 \* \* \* ' "$FLEET/collections/ansible_collections/arpexport/fleet/README.md" | cut -d' ' -f6- |
  sed "s|/var/lib/arpexport|$sched|g")
check "scheduled: the README's line, with an absolute tables_dir" "1" "$(grep -c " -e tables_dir=$sched/tables " <<<"$cron")"
pids=()
for n in 1 2; do
  (cd "$work/cronhome" && fleet_controller env -i HOME="$work/cronhome" LOGNAME=root SHELL=/bin/sh PATH=/usr/bin:/bin \
    setsid -w sh -c "$cron" </dev/null >"$work/cron$n.out" 2>&1; echo "status $?" >>"$work/cron$n.out") &
  pids+=($!)
done
wait "${pids[@]}"
for n in 1 2; do
  check "scheduled: run $n, status 0 and nothing to mail" "status 0" "$(cat "cron$n.out")"
done
check "scheduled: two runs, one after the other, in the history in the order they were made" "2 True" \
  "$(history_py 'import sqlite3
from ansible_collections.arpexport.fleet.plugins.plugin_utils import run_folder
runs = [r for r, in sqlite3.connect(sys.argv[1] + "/history.sqlite").execute("SELECT run FROM runs ORDER BY seq")]
print(len(runs), runs == sorted(runs, key=run_folder.made_order(sys.argv[1]).get))' "$sched/tables")"

# The report, from the installed collection, over a folder without
# run.json: a table as Windows writes it (CRLF) reads as the same table, a
# host name that is no plain CSV field is quoted, a file that is not a
# table is named with its first bad line and left out, the tables are
# untouched; where it cannot write, it says so, fails and leaves the folder
# as it was.
cp -r "tables/$again" copied && rm copied/run.json copied/.journal
sed 's/$/\r/' copied/greeter.txt >copied/windows.txt
cp copied/greeter.txt 'copied/we,ird "name".txt'
printf '10.0.0.1 - 0a:00:00:00:00:01\nnot a row\n' >copied/broken.txt
tables_sums copied >copied.sums
fleet_ansible ansible-playbook arpexport.fleet.report -e folder="$work/copied" >copied.log 2>&1
check "a folder: playbook status 0" "status 0" "status $?"
rows_of() { sed -n "s/^$1,//p" copied/report/fleet.csv; }
check "a folder: the CRLF table reads as its host's" "same" "$(rows_of windows | cmp -s - <(rows_of greeter) && echo same)"
check "a folder: the name that is no plain CSV field, quoted, reads as its host's" "same" \
  "$(rows_of '"we,ird ""name"""' | cmp -s - <(rows_of greeter) && echo same)"
check "a folder: the broken file named at line 2 and left out" "broken.txt is not a table (line 2: not a row); left out" \
  "$(report copied/report/report.json 'r["coverage"]["not_collected"]["broken"]')"
check "a folder: the report says it had no run.json" "False" "$(report copied/report/report.json 'r["coverage"]["from_run_json"]')"
check "a folder: the tables untouched" "ok" "$(cd copied && sha256sum --quiet -c ../copied.sums && echo ok)"
ls -l copied >copied.list && chmod 755 "$work" && chmod 555 copied
fleet_controller setpriv --reuid=nobody --regid=nogroup --clear-groups env PYTHONPATH="$FLEET/collections" \
  python3 -m ansible_collections.arpexport.fleet.plugins.plugin_utils.report copied >/dev/null 2>copied.error
check "a folder it cannot write: status 1" "status 1" "status $?"
check "a folder it cannot write: it says so" "1" "$(grep -c 'cannot write the report in' copied.error)"
check "a folder it cannot write: left as it was" "same" "$(ls -l copied | cmp -s - copied.list && echo same)"
chmod 755 copied
finish "fleet_check ($2)"

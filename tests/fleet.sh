# Sourced after lib.sh by the fleet test and its benchmark: SSH hosts of the
# suite's own, each a namespace with its own sshd and table, reached from a
# controller namespace, and an Ansible inventory of them ($FLEET/inventory.ini).
# The login is an unprivileged user that exists only in the hosts' own
# passwd, bound over /etc/passwd in their mount namespace.
#   fleet_init                  the controller, the login and its key, $FLEET
#   fleet_host NAME I ENTRIES [FSIZE]
#                               host NAME at 10.201.I.2 with ENTRIES entries
#   fleet_start NAME [FSIZE]    its sshd (again), files limited to FSIZE KiB
#   fleet_stop NAME             ends its sshd and sessions
#   fleet_ansible COMMAND...    ansible-playbook or ansible in the controller

FLEET_UID=4242

fleet_init() {
  FLEET=$(mktemp -d /tmp/arpx-fleet.XXXXXX)
  mkdir "$FLEET/home"
  chmod 755 "$FLEET" # the login reads its key through it
  chown "$FLEET_UID:$FLEET_UID" "$FLEET/home"
  { cat /etc/passwd; echo "arpxfleet:x:$FLEET_UID:$FLEET_UID::$FLEET/home:/bin/sh"; } >"$FLEET/passwd"
  ssh-keygen -q -t ed25519 -N '' -f "$FLEET/id"
  chmod 644 "$FLEET/id.pub"
  FLEET_CONTROLLER=$(netns_make fleet) || exit $?
  mkdir -p /run/sshd # sshd's own, for its unprivileged part
  printf '%s\n' "[fleet:vars]" "ansible_user=arpxfleet" "ansible_ssh_private_key_file=$FLEET/id" \
    "ansible_ssh_common_args='-o UserKnownHostsFile=$FLEET/known_hosts -o ConnectTimeout=3'" \
    "ansible_python_interpreter=/usr/bin/python3" "[fleet]" >"$FLEET/inventory.ini"
}

fleet_host() {
  local ns
  ns=$(netns_make "fleet-$1") || exit $?
  "$NETNS" link "$FLEET_CONTROLLER" "f$2" "10.201.$2.1/24" "$ns" h0 "10.201.$2.2/24"
  ((${3} == 0)) || netns_fill "$ns" "$3"
  ssh-keygen -q -t ed25519 -N '' -f "$FLEET/$1.key"
  echo "10.201.$2.2 $(cut -d' ' -f1-2 "$FLEET/$1.key.pub")" >>"$FLEET/known_hosts"
  printf '%s\n' "ListenAddress 10.201.$2.2" "HostKey $FLEET/$1.key" "UsePAM no" \
    "AuthorizedKeysFile $FLEET/id.pub" "AllowUsers arpxfleet" "StrictModes no" \
    "PasswordAuthentication no" "Subsystem sftp internal-sftp" "PidFile none" \
    "LogLevel ERROR" >"$FLEET/$1.sshd_config"
  fleet_start "$1" "${4:-}"
  echo "$1 ansible_host=10.201.$2.2" >>"$FLEET/inventory.ini"
}

fleet_start() {
  ip netns exec "$(fleet_ns "$1")" unshare -m bash -c 'mount --bind "$1/passwd" /etc/passwd &&
    ulimit -f "$3" && exec /usr/sbin/sshd -f "$1/$2.sshd_config"' bash "$FLEET" "$1" "${2:-unlimited}"
}

fleet_stop() { ip netns pids "$(fleet_ns "$1")" | xargs -r kill; }
fleet_ns() { echo "$NETNS_PREFIX-fleet-$1"; }

fleet_ansible() {
  ANSIBLE_HOME="$FLEET/ansible" ANSIBLE_LOCAL_TEMP="$FLEET/ansible/tmp" \
    ip netns exec "$FLEET_CONTROLLER" "$1" -i "$FLEET/inventory.ini" "${@:2}"
}

# What the login left: its files in the temporary folders, its home's.
fleet_leftovers() {
  find /tmp /var/tmp -path "$FLEET" -prune -o -user "$FLEET_UID" -print 2>/dev/null
  find "$FLEET/home" -mindepth 1
}

fleet_cleanup() {
  [[ -n "${FLEET:-}" ]] || return 0
  for ns in $(ip netns list | awk -v p="$NETNS_PREFIX-fleet-" 'index($1, p) == 1 { print $1 }'); do
    fleet_stop "${ns#"$NETNS_PREFIX-fleet-"}"
  done
  rm -rf "$FLEET"
}

# Sourced after lib.sh by the fleet test and its benchmark: SSH hosts of the
# suite's own, each a network namespace with its own sshd and neighbour
# table, reached from a controller namespace over a veth pair apiece, and an
# Ansible inventory of them. The login is an unprivileged user that exists
# only for the hosts' sshd (a passwd of their own, bound over /etc/passwd in
# their mount namespace); its key, the hosts' keys and everything else are
# made in $FLEET (fleet_init) and go with it (fleet_cleanup).
#
# fleet_init            the controller, the login's key and $FLEET
# fleet_host NAME I ENTRIES [FSIZE_KIB]
#                       host NAME at 10.201.I.2 (I from 1 to 254) with
#                       ENTRIES permanent entries besides the controller's,
#                       its sessions limited to files of FSIZE_KIB if given
# fleet_ghost NAME I    an inventory entry at 10.201.I.2, with no host behind
#                       the address
# fleet_stop NAME       ends host NAME's sshd and its sessions
# fleet_start NAME [FSIZE_KIB]
#                       starts it again
# fleet_playbook ARGS...
#                       ansible-playbook in the controller, on the inventory
# Hosts are listed in $FLEET/inventory.ini as they are made.

FLEET_USER=arpxfleet
FLEET_UID=4242

fleet_init() {
  FLEET=$(mktemp -d /tmp/arpx-fleet.XXXXXX)
  mkdir "$FLEET/home"
  # The login reads its keys through $FLEET and writes its home.
  chmod 755 "$FLEET"
  chown "$FLEET_UID:$FLEET_UID" "$FLEET/home"
  { cat /etc/passwd; echo "$FLEET_USER:x:$FLEET_UID:$FLEET_UID::$FLEET/home:/bin/sh"; } >"$FLEET/passwd"
  { cat /etc/group; echo "$FLEET_USER:x:$FLEET_UID:"; } >"$FLEET/group"
  ssh-keygen -q -t ed25519 -N '' -C fleet -f "$FLEET/id"
  cp "$FLEET/id.pub" "$FLEET/authorized_keys"
  chmod 644 "$FLEET/authorized_keys"
  : >"$FLEET/known_hosts"
  FLEET_CONTROLLER=$(netns_make fleet) || exit $?
  # sshd's own directory for its unprivileged part.
  mkdir -p /run/sshd
  cat >"$FLEET/inventory.ini" <<EOF
[fleet:vars]
ansible_user=$FLEET_USER
ansible_ssh_private_key_file=$FLEET/id
ansible_ssh_common_args='-o UserKnownHostsFile=$FLEET/known_hosts -o StrictHostKeyChecking=yes -o ConnectTimeout=3'
ansible_python_interpreter=/usr/bin/python3

[fleet]
EOF
}

fleet_host() {
  local name=$1 i=$2 entries=$3 fsize=${4:-unlimited} ns
  ns=$(netns_make "fleet-$name") || exit $?
  "$NETNS" link "$FLEET_CONTROLLER" "f$i" "10.201.$i.1/24" "$ns" h0 "10.201.$i.2/24"
  ((entries == 0)) || netns_fill "$ns" "$entries"
  ssh-keygen -q -t ed25519 -N '' -C "$name" -f "$FLEET/$name.key"
  echo "10.201.$i.2 $(cut -d' ' -f1-2 "$FLEET/$name.key.pub")" >>"$FLEET/known_hosts"
  cat >"$FLEET/$name.sshd_config" <<EOF
ListenAddress 10.201.$i.2
HostKey $FLEET/$name.key
PidFile $FLEET/$name.pid
AuthorizedKeysFile $FLEET/authorized_keys
AllowUsers $FLEET_USER
UsePAM no
StrictModes no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin no
Subsystem sftp internal-sftp
LogLevel ERROR
EOF
  fleet_start "$name" "$fsize"
  echo "$name ansible_host=10.201.$i.2" >>"$FLEET/inventory.ini"
}

# fleet_start NAME [FSIZE_KIB]: host NAME's sshd, in a mount namespace of its
# own where the login exists.
fleet_start() {
  ip netns exec "$(fleet_ns "$1")" unshare -m bash -c 'mount --bind "$1/passwd" /etc/passwd &&
    mount --bind "$1/group" /etc/group && ulimit -f "$3" &&
    exec /usr/sbin/sshd -f "$1/$2.sshd_config"' bash "$FLEET" "$1" "${2:-unlimited}"
}

fleet_ghost() {
  local ns
  ns=$(netns_make "fleet-$1") || exit $?
  "$NETNS" link "$FLEET_CONTROLLER" "f$2" "10.201.$2.1/24" "$ns" h0 "10.201.$2.3/24"
  echo "$1 ansible_host=10.201.$2.2" >>"$FLEET/inventory.ini"
}

fleet_stop() {
  ip netns pids "$(fleet_ns "$1")" | xargs -r kill
}

# The namespace of host NAME.
fleet_ns() { echo "$NETNS_PREFIX-fleet-$1"; }

fleet_playbook() {
  ANSIBLE_HOME="$FLEET/ansible" ANSIBLE_LOCAL_TEMP="$FLEET/ansible/tmp" \
    ip netns exec "$FLEET_CONTROLLER" ansible-playbook -i "$FLEET/inventory.ini" "$@"
}

# What the login left on the hosts: files of its own in the temporary
# folders, anything in its home.
fleet_leftovers() {
  find /tmp /var/tmp -path "$FLEET" -prune -o -user "$FLEET_UID" -print 2>/dev/null
  find "$FLEET/home" -mindepth 1
}

# Every host's sshd and session, and $FLEET.
fleet_cleanup() {
  local ns
  [[ -n "${FLEET:-}" ]] || return 0
  for ns in $(ip netns list | awk -v p="$NETNS_PREFIX-fleet-" 'index($1, p) == 1 { print $1 }'); do
    ip netns pids "$ns" | xargs -r kill
  done
  rm -rf "$FLEET"
}

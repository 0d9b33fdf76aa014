# Sourced after lib.sh by the fleet test and its benchmark: SSH hosts of the
# suite's own, each a namespace with its own sshd and table, reached from a
# controller namespace, and an Ansible inventory of them ($FLEET/inventory.ini)
# as users write it, without ansible_python_interpreter.
# The login is an unprivileged user that exists only in the hosts' own
# passwd, bound over /etc/passwd in each host's mount namespace, where the
# host also has a /tmp of its own. Its home is a folder of the host's.
#   fleet_init DIST [COMMAND...]
#                               the controller, the login's key, $FLEET, and
#                               the release's Ansible collection installed
#                               in $FLEET/collections; COMMAND, if given,
#                               runs the controller's commands in another
#                               Ansible (scripts/controller-root run)
#   fleet_host NAME I ENTRIES [FSIZE]
#                               host NAME at 10.201.I.2, its v0 at 10.66.0.I/16,
#                               with ENTRIES entries;
#                               FLEET_SHELL, FLEET_HOME and FLEET_TMP (the
#                               mount options of its /tmp) set the login's
#                               shell, home and temporary folder, FLEET_VARS
#                               its inventory variables
#   fleet_start NAME [FSIZE]    its sshd (again), files limited to FSIZE KiB;
#                               $FLEET/NAME.setup, if any, runs first in its
#                               mount namespace
#   fleet_stop NAME             ends its sshd and sessions
#   fleet_controller COMMAND... COMMAND in the controller, with the
#                               installed collection
#   fleet_ansible COMMAND...    ansible-playbook or ansible there, with the
#                               inventory ($FLEET_INVENTORY, if set)
#   fleet_snapshot NAME...      what each host's home holds now
#   fleet_leftovers NAME        what differs since: the files in the host's
#                               /tmp, and those added to or gone from its home
#   fleet_sshd NAME             the process id of its listening sshd

FLEET_UID=4242

fleet_init() {
  # Outside /tmp: each host mounts a /tmp of its own over it.
  FLEET=$(mktemp -d /var/tmp/arpx-fleet.XXXXXX)
  mkdir "$FLEET/homes"
  chmod 755 "$FLEET" "$FLEET/homes" # the login reads its key through it
  ssh-keygen -q -t ed25519 -N '' -f "$FLEET/id"
  chmod 644 "$FLEET/id.pub"
  FLEET_CONTROLLER=$(netns_make fleet) || exit $?
  mkdir -p /run/sshd # sshd's own, for its unprivileged part
  # A connection gives up after 3 s: set as Ansible's timeout, since ssh
  # takes the first ConnectTimeout it is given, and Ansible's comes first.
  printf '%s\n' "[fleet:vars]" "ansible_user=arpxfleet" "ansible_ssh_private_key_file=$FLEET/id" \
    "ansible_ssh_common_args='-o UserKnownHostsFile=$FLEET/known_hosts'" "ansible_ssh_timeout=3" \
    "[fleet]" >"$FLEET/inventory.ini"
  FLEET_RUN=("${@:2}")
  fleet_controller ansible-galaxy collection install --offline -p "$FLEET/collections" \
    "$1"/arpexport-fleet-*.tar.gz >/dev/null || exit 1
}

fleet_host() {
  local ns home=${FLEET_HOME:-$FLEET/homes/$1}
  ns=$(netns_make "fleet-$1" "10.66.0.$2/16") || exit $?
  "$NETNS" link "$FLEET_CONTROLLER" "f$2" "10.201.$2.1/24" "$ns" h0 "10.201.$2.2/24"
  ((${3} == 0)) || netns_fill "$ns" "$3"
  ssh-keygen -q -t ed25519 -N '' -f "$FLEET/$1.key"
  echo "10.201.$2.2 $(cut -d' ' -f1-2 "$FLEET/$1.key.pub")" >>"$FLEET/known_hosts"
  { cat /etc/passwd; echo "arpxfleet:x:$FLEET_UID:$FLEET_UID::$home:${FLEET_SHELL:-/bin/sh}"; } >"$FLEET/$1.passwd"
  if [[ "$home" == "$FLEET/homes/$1" ]]; then
    mkdir "$home"
    chown "$FLEET_UID:$FLEET_UID" "$home"
  fi
  echo "${FLEET_TMP:-}" >"$FLEET/$1.tmp"
  printf '%s\n' "ListenAddress 10.201.$2.2" "HostKey $FLEET/$1.key" "UsePAM no" \
    "AuthorizedKeysFile $FLEET/id.pub" "AllowUsers arpxfleet" "StrictModes no" \
    "PasswordAuthentication no" "Subsystem sftp internal-sftp" "PidFile none" \
    "LogLevel ERROR" >"$FLEET/$1.sshd_config"
  fleet_start "$1" "${4:-}"
  echo "$1 ansible_host=10.201.$2.2 ${FLEET_VARS:-}" >>"$FLEET/inventory.ini"
}

fleet_start() {
  ip netns exec "$(fleet_ns "$1")" unshare -m --propagation private bash -c '
    mount --bind "$1/$2.passwd" /etc/passwd &&
    mount -t tmpfs -o "mode=1777$(sed "s/^./,&/" "$1/$2.tmp")" tmpfs /tmp &&
    if [[ -f "$1/$2.setup" ]]; then source "$1/$2.setup"; fi &&
    ulimit -f "$3" && exec /usr/sbin/sshd -f "$1/$2.sshd_config"' bash "$FLEET" "$1" "${2:-unlimited}"
}

fleet_stop() { ip netns pids "$(fleet_ns "$1")" | xargs -r kill; }
fleet_ns() { echo "$NETNS_PREFIX-fleet-$1"; }

fleet_controller() {
  ANSIBLE_HOME="$FLEET/ansible" ANSIBLE_LOCAL_TEMP="$FLEET/ansible/tmp" \
    ANSIBLE_SSH_CONTROL_PATH_DIR="$FLEET/ansible/cp" ANSIBLE_COLLECTIONS_PATH="$FLEET/collections" \
    ip netns exec "$FLEET_CONTROLLER" "${FLEET_RUN[@]}" "$@"
}
fleet_ansible() { fleet_controller "$1" -i "${FLEET_INVENTORY:-$FLEET/inventory.ini}" "${@:2}"; }

fleet_home() { awk -F: -v u="$FLEET_UID" '$3 == u { print $6 }' "$FLEET/$1.passwd"; }
fleet_snapshot() {
  local host
  for host; do find "$(fleet_home "$host")" 2>/dev/null | sort >"$FLEET/$host.home"; done
}
# The listening sshd of host NAME, by process id: the oldest process that
# names its configuration (sshd retitles itself, its sessions too).
fleet_sshd() { pgrep -o -f "/usr/sbin/sshd -f $FLEET/$1\.sshd_config( |\$)"; }
fleet_leftovers() {
  local sshd
  sshd=$(fleet_sshd "$1") || { echo "no sshd for $1"; return; }
  nsenter -t "$sshd" -m find /tmp -mindepth 1
  comm -3 "$FLEET/$1.home" <(find "$(fleet_home "$1")" 2>/dev/null | sort)
}

fleet_cleanup() {
  [[ -n "${FLEET:-}" ]] || return 0
  for ns in $(ip netns list | awk -v p="$NETNS_PREFIX-fleet-" 'index($1, p) == 1 { print $1 }'); do
    fleet_stop "${ns#"$NETNS_PREFIX-fleet-"}"
  done
  rm -rf "$FLEET"
}

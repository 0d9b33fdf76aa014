# Copyright 2026 The arpexport developers. All rights reserved.
# The work is done by the action plugin of the same name, on the controller.

DOCUMENTATION = r"""
module: collect
short_description: Collect a host's neighbour table into a run's folder
description:
  - Runs arpexport on the host in a temporary folder of its own, with the
    program for the host's processor given on the command's standard input,
    and brings the table back into the run's folder as C(HOST.txt), checked
    against its line count and SHA-256; removes the temporary folder.
  - Needs nothing on the host but an SSH login, /bin/sh and a few POSIX
    tools; no Python, no root.
  - A host lost while the program runs is tried again, and its temporary
    folder removed if it answers.
version_added: 1.0.0
author:
  - arpexport developers (@arpexport)
extends_documentation_fragment:
  - arpexport.fleet.run
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.conn
  - ansible.builtin.action_common_attributes.flow
options:
  host_tmpdir:
    description:
      - The folder on the host for the temporary folder; by default the
        login's C($TMPDIR) where it is an absolute path, else C(/tmp).
    type: str
  lost_host_tries:
    description:
      - How often to reconnect to a host that does not answer, or whose
        connection dropped before its table was in, in all; once it answers
        again, a temporary folder left by a run that was cut off is removed
        and the host is collected.
    type: int
    default: 3
  lost_host_wait:
    description:
      - Seconds before each of those tries.
    type: float
    default: 5.0
  site:
    description:
      - "The host's site: hosts are compared only with hosts of their own site."
      - Recorded in C(run.json).
    type: str
attributes:
  action:
    support: full
  async:
    support: none
  become:
    support: none
    details: The commands run as the login; become is not used.
  bypass_host_loop:
    support: none
  check_mode:
    support: none
  connection:
    support: full
    details: The connection must give a command its input (C(ssh) or C(local)).
  delegation:
    support: none
    details: The table is the connected host's and is filed under the inventory name.
  diff_mode:
    support: none
  platform:
    platforms: linux
    details: Needs no Python on the host; the controller runs the action.
notes:
  - A host that is not collected fails the task; its outcome, with the
    reason, is still written in the run's folder for M(arpexport.fleet.record),
    also when the action refuses one of its options. A run that was not
    prepared records nothing.
seealso:
  - module: arpexport.fleet.prepare
  - module: arpexport.fleet.record
  - module: arpexport.fleet.report
"""

EXAMPLES = r"""
- name: Run arpexport on the host and bring its table into the run's folder
  arpexport.fleet.collect:
    run: "{{ hostvars.localhost.prepared.run }}"
    site: "{{ arpexport_site | default(omit) }}"
  register: collected
  # Failed hosts are recorded, and counted once the run is recorded.
  ignore_errors: true
  ignore_unreachable: true
"""

RETURN = r"""
outcome:
  description: What became of the host, as C(run.json) records it.
  returned: when the host's outcome was recorded, collected or not
  type: dict
  sample:
    pass: Q7VZ2KD9M4XW8HTA
    at: "2026-12-11T12:00:04Z"
    collected: true
    lines: 312
    addresses: [192.0.2.10/24, 198.51.100.7/32]
  contains:
    pass:
      description: The pass that collected the host, the I(run)'s I(pass).
      returned: always
      type: str
      sample: Q7VZ2KD9M4XW8HTA
    at:
      description: When the host was collected, in UTC.
      returned: always
      type: str
      sample: "2026-12-11T12:00:04Z"
    site:
      description: The host's site, I(site).
      returned: when I(site) is given
      type: str
      sample: berlin
    collected:
      description: Whether the host's table was brought back whole.
      returned: always
      type: bool
      sample: true
    lines:
      description: The table's line count.
      returned: when collected
      type: int
      sample: 312
    addresses:
      description: The host's own IPv4 addresses with their prefix lengths, as far as they could be read.
      returned: always
      type: list
      elements: str
      sample: [192.0.2.10/24, 198.51.100.7/32]
    reason:
      description: Why the host was not collected.
      returned: when not collected
      type: str
      sample: "unreachable: Failed to connect to the host via ssh"
    left:
      description: The temporary folder left on a host that stopped answering.
      returned: when one is left
      type: str
      sample: /tmp/arpexport.k3Q9xZ2mPa
"""

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
author: arpexport developers
extends_documentation_fragment:
  - arpexport.fleet.run
options:
  host_tmpdir:
    description: The folder on the host for the temporary folder; by default the login's C($TMPDIR), then C(/tmp).
    type: str
  lost_host_tries:
    description: How often to try to remove the temporary folder on a host that stopped answering.
    type: int
    default: 3
  site:
    description:
      - The host's site: hosts are compared only with hosts of their own site.
      - Recorded in C(run.json).
    type: str
  lost_host_wait:
    description: Seconds before each of those tries.
    type: float
    default: 5
"""

EXAMPLES = r"""
- name: Run arpexport on the host and bring its table into the run's folder
  arpexport.fleet.collect:
    run: "{{ hostvars.localhost.prepared.run }}"
"""

RETURN = r"""
outcome:
  description: Whether the host was collected, its table's line count or the reason it was not, and its IPv4 addresses.
  returned: always
  type: dict
"""

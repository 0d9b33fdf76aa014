# Copyright 2026 The arpexport developers. All rights reserved.
# The work is done by the action plugin of the same name, on the controller.

DOCUMENTATION = r"""
module: report
short_description: Report on a folder of neighbour tables
description:
  - "Writes C(fleet.csv), C(report.txt) and C(report.json) in the folder
    C(report) of a folder of C(HOST.txt) tables: coverage, addresses that
    hosts see at different hardware addresses, and each host's changes
    since its earlier table."
  - Hosts are compared only within their site, which C(run.json) records
    or, where it names none, the inventory variable C(arpexport_site) gives.
  - In a run's folder, the hosts of a pass that was stopped before it
    recorded them (its C(ansible-playbook) has ended) are first written
    into C(run.json), each with the temporary folder it may have left.
  - Runs on the controller; the tables are only read.
version_added: 1.0.0
author:
  - arpexport developers (@arpexport)
extends_documentation_fragment:
  - arpexport.fleet.controller
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.flow
options:
  folder:
    description:
      - A run's folder, or any folder of tables.
    type: path
    required: true
  latest:
    description:
      - Point the C(latest) link beside the folder at it, unless it names a newer run.
    type: bool
    default: false
seealso:
  - module: arpexport.fleet.record
  - module: arpexport.fleet.collect
"""

EXAMPLES = r"""
- name: Report on the newest run
  arpexport.fleet.report:
    folder: tables/latest
  register: reported

- name: Report on a run and point tables/latest at it
  arpexport.fleet.report:
    folder: "{{ prepared.run.folder }}"
    latest: true
"""

RETURN = r"""
summary:
  description: The lines of C(report.txt).
  returned: success
  type: list
  elements: str
  sample:
    - "Coverage: 2 of 3 hosts collected, 1 not; 624 rows."
    - "  db1: unreachable: Failed to connect to the host via ssh"
    - "Disagreements: 0 addresses that hosts see at different hardware addresses."
"""

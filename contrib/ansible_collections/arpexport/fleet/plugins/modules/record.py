# Copyright 2026 The arpexport developers. All rights reserved.
# The work is done by the action plugin of the same name, on the controller.

DOCUMENTATION = r"""
module: record
short_description: Write a run's run.json
description:
  - Writes C(run.json) in the run's folder from the outcomes of every pass
    over the run, under the run's lock, and removes the pass's programs.
  - Runs on the controller.
version_added: 1.0.0
author:
  - arpexport developers (@arpexport)
extends_documentation_fragment:
  - arpexport.fleet.controller
  - arpexport.fleet.run
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.flow
seealso:
  - module: arpexport.fleet.prepare
  - module: arpexport.fleet.collect
  - module: arpexport.fleet.report
"""

EXAMPLES = r"""
- name: Write run.json from each host's outcome
  arpexport.fleet.record:
    run: "{{ prepared.run }}"
  register: recorded
"""

RETURN = r"""
lines:
  description: How the programs were checked and where the tables are, then a line for each host of this pass, with its outcome.
  returned: success
  type: list
  elements: str
  sample:
    - SHA256SUMS.asc verified; tables in /srv/tables/20261211T120000Z
    - "db1: FAILED: unreachable: Failed to connect to the host via ssh"
    - "web1: collected, 312 lines"
failed_hosts:
  description: The hosts of this pass that were not collected.
  returned: success
  type: list
  elements: str
  sample: [db1]
"""

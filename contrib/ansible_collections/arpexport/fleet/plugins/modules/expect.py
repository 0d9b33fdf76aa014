# Copyright 2026 The arpexport developers. All rights reserved.
# The work is done by the action plugin of the same name, on the controller.

DOCUMENTATION = r"""
module: expect
short_description: Note the hosts that a pass over a run is to collect
description:
  - Notes in the run's journal the hosts that this pass is to collect, so
    that M(arpexport.fleet.record) records a host whose collect task
    failed before it could record an outcome (a shell that Ansible cannot
    find, for example) as not collected, with a reason, rather than
    leave it out of C(run.json).
  - Runs on the controller, once a pass.
version_added: 1.0.0
author:
  - arpexport developers (@arpexport)
extends_documentation_fragment:
  - arpexport.fleet.controller
  - arpexport.fleet.run
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.flow
options:
  hosts:
    description:
      - The hosts of this pass, as the play has them.
    type: list
    elements: str
    required: true
seealso:
  - module: arpexport.fleet.collect
  - module: arpexport.fleet.record
"""

EXAMPLES = r"""
- name: Note the hosts of this pass in the run's journal
  arpexport.fleet.expect:
    run: "{{ hostvars.localhost.prepared.run }}"
    hosts: "{{ ansible_play_hosts_all }}"
  run_once: true
  delegate_to: localhost
"""

RETURN = r"""
expected:
  description: How many hosts this pass is to collect.
  returned: success
  type: int
  sample: 12
"""

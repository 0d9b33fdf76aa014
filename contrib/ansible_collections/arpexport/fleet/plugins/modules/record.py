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
author: arpexport developers
extends_documentation_fragment:
  - arpexport.fleet.run
"""

EXAMPLES = r"""
- name: Write run.json from each host's outcome
  arpexport.fleet.record:
    run: "{{ prepared.run }}"
  register: recorded
"""

RETURN = r"""
lines:
  description: A line for each host of this pass, with its outcome.
  returned: success
  type: list
  elements: str
failed_hosts:
  description: The hosts of this pass that were not collected.
  returned: success
  type: list
  elements: str
"""

# Copyright 2026 The arpexport developers. All rights reserved.
# The work is done by the action plugin of the same name, on the controller.

DOCUMENTATION = r"""
module: report
short_description: Report on a folder of neighbour tables
description:
  - Writes C(fleet.csv), C(report.txt) and C(report.json) in the folder
    C(report) of a folder of C(HOST.txt) tables: coverage, addresses that
    hosts see at different hardware addresses, and each host's changes
    since its earlier table.
  - Hosts are compared only within their site, which C(run.json) records
    or, where it names none, the inventory variable C(arpexport_site) gives.
  - Runs on the controller; the tables are only read.
version_added: 1.0.0
author: arpexport developers
options:
  folder:
    description: A run's folder, or any folder of tables.
    type: path
    required: true
  latest:
    description: Point the C(latest) link beside the folder at it, unless it names a newer run.
    type: bool
    default: false
"""

EXAMPLES = r"""
- name: Report on the newest run
  arpexport.fleet.report:
    folder: tables/latest
  register: reported
"""

RETURN = r"""
summary:
  description: The lines of C(report.txt).
  returned: success
  type: list
  elements: str
"""

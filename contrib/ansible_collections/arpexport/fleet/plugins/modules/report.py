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
  - "Beside a run's folder, brings the history C(history.sqlite) up to
    date with the run, in one transaction: every pairing of address and
    hardware address each site has seen, and every finding with its state
    (C(new), C(ongoing), C(unchecked) where a host that saw it was not
    collected, C(resolved)); each finding that is new or resolved is a line
    of C(findings.jsonl). The collection's README gives its tables."
  - "A history that cannot be brought up to date (not a database, of a
    newer version, read-only, locked for long, a full disk) is left as it
    was, with a warning; the report is written all the same."
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
  history:
    description:
      - Bring the history beside a run's folder up to date. Nothing is
        kept for a folder that is not a run's.
    type: bool
    default: true
  settle_runs:
    description:
      - "A changed, flip-flopped or reused hardware address, and a new
        station, stays a finding until the address has kept that hardware
        address, every host that sees it agreeing, for this many runs after
        the one it was found in; it is resolved then, or as soon as the
        address is at another one."
    type: int
    default: 3
  syslog:
    description:
      - Also send each new finding to the local syslog (C(/dev/log)) at the
        priority of its severity, its text escaped as the report's.
    type: bool
    default: false
  alert_severity:
    description:
      - "A new finding of this severity or above makes the result's C(alert)
        a message, which the collect playbook ends with as a failure
        (status 2), for cron's C(MAILTO) or a timer's C(OnFailure=), before
        it fails for hosts not collected. C(none): never."
    type: str
    choices: [none, info, notice, warning, critical]
    default: none
  keep_runs:
    description:
      - "After the report, remove the oldest run folders beside a run's
        folder beyond this many (this one counted). With I(keep_days) too,
        a run either keeps is kept. Never this run, the one C(latest) names,
        a link, or anything but a folder with a run's name; with the
        history, never one it does not hold."
    type: int
  keep_days:
    description:
      - After the report, remove the run folders beside a run's folder
        that started more than this many days ago, as I(keep_runs) says.
    type: int
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

- name: Report, keep a month of runs and say when a warning is new
  arpexport.fleet.report:
    folder: "{{ prepared.run.folder }}"
    latest: true
    keep_days: 31
    alert_severity: warning
"""

RETURN = r"""
findings:
  description: How many findings the report has in each state (all 0 without a history).
  returned: success
  type: dict
  sample: {"new": 1, "ongoing": 3, "unchecked": 0, "resolved": 1}
alert:
  description: The message for new findings of I(alert_severity) or above; empty without any.
  returned: success
  type: str
  sample: "1 new finding of severity warning or above: warning changed: 10.0.0.1: changed: ..."
removed:
  description: The run folders removed by I(keep_runs) and I(keep_days).
  returned: success
  type: list
  elements: str
  sample: ["20261101T020000Z"]
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

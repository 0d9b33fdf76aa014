# Copyright 2026 The arpexport developers. All rights reserved.
# The work is done by the action plugin of the same name, on the controller.

DOCUMENTATION = r"""
module: prepare
short_description: Check the programs of a run and make its folder
description:
  - Checks the arpexport programs that a run sends to the hosts, the
    collection's own or those of a release folder, and makes the run's
    folder, exclusively, in I(tables_dir).
  - A release folder is refused, before any host is touched, when it has no
    tarball, a file that is not a release tarball, two tarballs for one
    processor, a tarball that C(SHA256SUMS) does not list or match, or a
    C(SHA256SUMS.asc) that is bad, expired, made by an expired or revoked
    key, or made by a key that is not trusted.
  - Runs on the controller.
version_added: 1.0.0
author:
  - arpexport developers (@arpexport)
extends_documentation_fragment:
  - arpexport.fleet.controller
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.flow
options:
  release_dir:
    description:
      - A release folder whose programs to send instead of the collection's own.
    type: path
  release_key:
    description:
      - "A file of OpenPGP public keys: C(SHA256SUMS.asc) is verified against these alone."
      - Without it, against the controller's keyring, counting only keys it
        trusts fully or ultimately.
    type: path
  require_signature:
    description:
      - Refuse a release folder whose C(SHA256SUMS.asc) does not verify.
    type: bool
    default: false
  tables_dir:
    description:
      - The folder of the run folders; a relative path is taken from the
        current folder.
    type: path
    default: tables
  run:
    description:
      - An earlier run's name, to collect more hosts into its folder.
    type: str
seealso:
  - module: arpexport.fleet.collect
  - module: arpexport.fleet.record
"""

EXAMPLES = r"""
- name: Check the release and make the run's folder
  arpexport.fleet.prepare:
    release_dir: /srv/arpexport/1.0.0
    require_signature: true
  register: prepared

- name: Collect more hosts into an earlier run
  arpexport.fleet.prepare:
    run: 20261211T120000Z
  register: prepared
"""

RETURN = r"""
run:
  description:
    - The run, which the collect and record actions take as their I(run)
      option; M(arpexport.fleet.collect) describes its keys.
  returned: success
  type: dict
  sample:
    name: 20261211T120000Z
    root: /srv/tables
    folder: /srv/tables/20261211T120000Z
    mark: ARPEXPORT-Q7VZ2KD9M4XW8HTA
    pass: Q7VZ2KD9M4XW8HTA
    programs:
      x86_64: /tmp/arpexport-programs.u2n8d0qk/arpexport-linux-x86_64.gz
    source: /srv/arpexport/1.0.0
    note: SHA256SUMS.asc verified
    staged: /tmp/arpexport-programs.u2n8d0qk
"""

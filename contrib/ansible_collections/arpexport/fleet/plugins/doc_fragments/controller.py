# Copyright 2026 The arpexport developers. All rights reserved.
# The attributes of the actions that run on the controller alone.


class ModuleDocFragment:
    DOCUMENTATION = r"""
attributes:
  action:
    support: full
  async:
    support: none
  bypass_host_loop:
    support: none
  check_mode:
    support: none
    details: Check mode is refused.
  diff_mode:
    support: none
  platform:
    platforms: all
    details: Runs on the controller; the task's host is not touched.
"""

# Copyright 2026 The arpexport developers. All rights reserved.
# The option that the collect and record actions share.


class ModuleDocFragment:
    DOCUMENTATION = r"""
options:
  run:
    description: The run, as the prepare action returns it.
    type: dict
    required: true
"""

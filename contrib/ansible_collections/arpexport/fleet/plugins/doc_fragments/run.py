# Copyright 2026 The arpexport developers. All rights reserved.
# The option that the collect and record actions share.


class ModuleDocFragment:
    DOCUMENTATION = r"""
options:
  run:
    description:
      - The run, as the prepare action returns it.
    type: dict
    required: true
    suboptions:
      name:
        description:
          - The run's name, the time it started, for example C(20261211T120000Z).
        type: str
        required: true
      root:
        description:
          - The folder of the run folders.
        type: path
        required: true
      folder:
        description:
          - The run's folder.
        type: path
        required: true
      mark:
        description:
          - The run's random mark, C(ARPEXPORT-) and 16 letters and digits.
        type: str
        required: true
      pass:
        description:
          - This pass's id, the last 16 characters of I(mark).
        type: str
        required: true
      programs:
        description:
          - For each processor, the path of its gzipped program on the controller.
        type: dict
        required: true
      source:
        description:
          - Where the programs come from, as shown.
        type: str
        required: true
      note:
        description:
          - How the programs were checked.
        type: str
        required: true
      staged:
        description:
          - The folder the programs were staged in for this pass, or an empty
            string when they were not staged.
        type: str
        required: true
"""

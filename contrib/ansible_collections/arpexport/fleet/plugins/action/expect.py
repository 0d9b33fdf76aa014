# Copyright 2026 The arpexport developers. All rights reserved.
"""Notes the hosts that a pass is to collect in the run's journal."""
import os

from ansible_collections.arpexport.fleet.plugins.plugin_utils import run_folder
from ansible_collections.arpexport.fleet.plugins.plugin_utils.action import Action, Refused


class ActionModule(Action):
    TAKES_RUN = True

    def act(self, args, task_vars):
        run = args["run"]
        try:
            # The worker's parent is the pass's ansible-playbook.
            run_folder.expect(run["folder"], run["pass"], args["hosts"], os.getppid())
        except OSError as error:
            raise Refused(f"cannot write in {run['folder']}: {error.strerror}") from None
        return {"changed": True, "expected": len(args["hosts"])}

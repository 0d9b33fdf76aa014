# Copyright 2026 The arpexport developers. All rights reserved.
"""Writes the report on a folder of tables, and points latest at its run."""
import os

from ansible_collections.arpexport.fleet.plugins.plugin_utils import report, run_folder
from ansible_collections.arpexport.fleet.plugins.plugin_utils.action import Action, Refused
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import shown


class ActionModule(Action):
    @staticmethod
    def _write(folder, sites):
        """The report. In a run's folder, the hosts of a pass that was
        stopped before it recorded them are recorded first, and the report
        is written under the run's lock, so that of passes at once the last
        report written is of the last record."""
        if not (run_folder.RUN_NAME.match(os.path.basename(folder))
                and os.path.lexists(os.path.join(folder, run_folder.JOURNAL))):
            return report.write_report(folder, sites)
        try:
            run_folder.record_stopped(folder)
        except ValueError as error:
            raise report.ReportError(f"cannot record {shown(folder)}: {error}") from None
        with run_folder.locked(folder):
            return report.write_report(folder, sites)

    def act(self, args, task_vars):
        folder = os.path.realpath(args["folder"])
        if not os.path.isdir(folder):
            raise Refused(f"{shown(folder)} is not a folder")
        # The inventory's sites, for hosts that run.json gives none.
        hostvars = task_vars.get("hostvars", {})
        sites = {h: str(hostvars[h]["arpexport_site"]) for h in hostvars
                 if "arpexport_site" in hostvars[h]}
        try:
            text = self._write(folder, sites)
        except report.ReportError as error:
            raise Refused(str(error)) from None
        except OSError as error:
            raise Refused(f"cannot take the run's lock in {shown(folder)}: {error.strerror}") from None
        try:
            if args["latest"] and run_folder.RUN_NAME.match(os.path.basename(folder)):
                run_folder.point_latest(os.path.dirname(folder), os.path.basename(folder))
        except OSError as error:
            raise Refused(f"cannot point latest at {shown(folder)}: {error.strerror}") from None
        return {"changed": True, "summary": text.splitlines(),
                "msg": f"report.txt, report.json and fleet.csv in {os.path.join(folder, run_folder.REPORT)}"}

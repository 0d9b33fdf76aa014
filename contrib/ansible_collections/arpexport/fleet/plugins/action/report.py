# Copyright 2026 The arpexport developers. All rights reserved.
"""Writes the report on a folder of tables, brings the history beside a
run's folder up to date, points latest at the run and removes runs beyond
the bounds it is given."""
import os

from ansible_collections.arpexport.fleet.plugins.plugin_utils import history, report, run_folder
from ansible_collections.arpexport.fleet.plugins.plugin_utils.action import Action, Refused
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import shown


class ActionModule(Action):
    @staticmethod
    def _write(folder, sites, options):
        """The report, and its report.json. In a run's folder, the hosts of
        a pass that was stopped before it recorded them are recorded first,
        and the report is written under the run's lock, so that of passes
        at once the last report written is of the last record."""
        if not (run_folder.RUN_NAME.match(os.path.basename(folder))
                and os.path.lexists(os.path.join(folder, run_folder.JOURNAL))):
            return report.report_run(folder, sites, options)
        try:
            run_folder.record_stopped(folder)
        except ValueError as error:
            raise report.ReportError(f"cannot record {shown(folder)}: {error}") from None
        with run_folder.locked(folder):
            return report.report_run(folder, sites, options)

    @staticmethod
    def _alert(findings, severity):
        """What the run says when it has new findings of severity or above; "" otherwise."""
        if severity == "none":
            return ""
        least = history.SEVERITIES.index(severity)
        new = [f for f in findings if f["state"] == history.NEW and history.SEVERITIES.index(f["severity"]) >= least]
        if not new:
            return ""
        shown_ones = "; ".join(f"{f['severity']} {f['kind']}: {f['message']}" for f in new[:report.SHOWN])
        more = f"; and {len(new) - report.SHOWN} more" if len(new) > report.SHOWN else ""
        return (f"{len(new)} new finding{'' if len(new) == 1 else 's'} of severity {severity} or above: "
                f"{shown_ones}{more} (report.txt, findings.jsonl)")

    @staticmethod
    def _prune(folder, args, known_runs):
        """Removes the run folders beside folder beyond keep_runs and keep_days."""
        root, run = os.path.split(folder)
        names = history.removable(root, run, args["keep_runs"], args["keep_days"], known_runs)
        return history.remove_runs(root, names)

    def act(self, args, task_vars):
        folder = os.path.realpath(args["folder"])
        if not os.path.isdir(folder):
            raise Refused(f"{shown(folder)} is not a folder")
        # The inventory's sites, for hosts that run.json gives none.
        hostvars = task_vars.get("hostvars", {})
        sites = {h: str(hostvars[h]["arpexport_site"]) for h in hostvars
                 if "arpexport_site" in hostvars[h]}
        for name in ("keep_runs", "keep_days", "settle_runs"):
            if args[name] is not None and args[name] < 1:
                raise Refused(f"{name} must be 1 or more, not {args[name]}")
        options = {"settle_runs": args["settle_runs"], "syslog": args["syslog"]} if args["history"] else None
        try:
            text, r, held = self._write(folder, sites, options)
        except report.ReportError as error:
            raise Refused(str(error)) from None
        except OSError as error:
            raise Refused(f"cannot take the run's lock in {shown(folder)}: {error.strerror}") from None
        try:
            if args["latest"] and run_folder.RUN_NAME.match(os.path.basename(folder)):
                run_folder.point_latest(os.path.dirname(folder), os.path.basename(folder))
        except OSError as error:
            raise Refused(f"cannot point latest at {shown(folder)}: {error.strerror}") from None
        result = {"changed": True, "summary": text.splitlines(),
                  "msg": f"report.txt, report.json and fleet.csv in {os.path.join(folder, run_folder.REPORT)}"}
        h, findings = r.get("history"), r.get("findings", [])
        if h and not h["brought_up_to_date"]:
            result["warnings"] = [f"the history was not brought up to date: {h['fault']}"]
        elif h and h["faults"]:
            result["warnings"] = list(h["faults"])
        result["findings"] = {state: sum(1 for f in findings if f["state"] == state)
                              for state in (history.NEW, history.ONGOING, history.UNCHECKED, history.RESOLVED)}
        result["alert"] = self._alert(findings, args["alert_severity"])
        if run_folder.RUN_NAME.match(os.path.basename(folder)):
            # Only runs the history holds: it keeps what they taught it.
            known = (held or set()) if args["history"] else None
            try:
                result["removed"], faults = self._prune(folder, args, known)
            except OSError as error:
                faults = [f"cannot look for old runs beside {shown(folder)}: {error.strerror}"]
                result["removed"] = []
            if faults:
                result.setdefault("warnings", []).extend(f"cannot remove an old run: {f}" for f in faults)
        return result

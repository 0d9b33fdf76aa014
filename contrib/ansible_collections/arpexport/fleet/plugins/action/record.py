# Copyright 2026 The arpexport developers. All rights reserved.
"""Writes a run's run.json from every pass's outcomes, and says this pass's."""
from ansible_collections.arpexport.fleet.plugins.plugin_utils import run_folder
from ansible_collections.arpexport.fleet.plugins.plugin_utils.action import Action, Refused
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import shown


def outcome_line(outcome, recorded):
    """One host's outcome, as the play shows it, with what run.json keeps."""
    if not outcome["collected"]:
        kept = f"; the run's table of it, of {recorded.get('at', 'an earlier pass')}, is kept"
        return "FAILED: " + outcome["reason"] + (kept if recorded.get("collected") else "")
    lines = outcome["lines"]
    left = f"; its temporary folder {outcome['left']} is left there" if outcome.get("left") else ""
    return f"collected, {lines} line{'' if lines == 1 else 's'}{left}"


class ActionModule(Action):
    TAKES_RUN = True

    def act(self, args, task_vars):
        run = args["run"]
        try:
            outcomes, hosts, cut = run_folder.record(run["folder"], run["note"], run["pass"])
        except (OSError, ValueError) as error:
            raise Refused(f"cannot write {run_folder.RECORD} in {run['folder']}: "
                          f"{getattr(error, 'strerror', None) or error}") from None
        finally:
            run_folder.remove_programs(run["staged"])
        ours = {o["host"]: o for o in outcomes if o.get("pass") == run["pass"]}
        failed = [h for h, o in sorted(ours.items()) if not o["collected"]]
        lines = [f"{run['note']}; tables in {run['folder']}"]
        if cut:
            lines.append(f"{cut} line{' was' if cut == 1 else 's were'} of the run's journal cut short "
                         "(a full disk, or a stop) and left out")
        lines += [f"{shown(h)}: {outcome_line(o, hosts.get(h, {}))}" for h, o in sorted(ours.items())]
        return {"changed": True, "failed_hosts": failed, "lines": lines,
                "msg": f"{len(failed)} of {len(ours)} hosts were not collected: {', '.join(map(shown, failed))}"}

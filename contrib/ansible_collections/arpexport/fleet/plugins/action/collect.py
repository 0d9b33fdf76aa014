# Copyright 2026 The arpexport developers. All rights reserved.
"""Collects one host's table into the run's folder, with nothing on the
host but /bin/sh and a few POSIX tools: two commands over the connection,
the program on the second one's standard input."""
import os
import time
from datetime import datetime, timezone

from ansible.errors import AnsibleActionFail, AnsibleError

from ansible_collections.arpexport.fleet.plugins.plugin_utils import host, runs
from ansible_collections.arpexport.fleet.plugins.plugin_utils.action import Action
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import one_line, shown

NOT_PREPARED = ("the run was not prepared on the controller: with --limit, name localhost "
                "too, as in --limit 'web1,localhost'")


class ActionModule(Action):
    ARGS = {
        "run": {"type": "dict"},
        "host_tmpdir": {"type": "str"},
        "lost_host_tries": {"type": "int", "default": 3},
        "lost_host_wait": {"type": "float", "default": 5.0},
        "site": {"type": "str"},
    }

    def act(self, args, task_vars):
        run = args["run"]
        if not run or not {"folder", "mark", "pass", "programs", "source"} <= set(run):
            raise AnsibleActionFail(NOT_PREPARED)
        tmpdir = args["host_tmpdir"]
        if tmpdir is not None and not host.tmpdir_ok(tmpdir):
            raise AnsibleActionFail("host_tmpdir must be an absolute path of plain characters, "
                                    "without . or .. parts")
        name = task_vars["inventory_hostname"]
        self._run, self._tmpdir = run, tmpdir
        self._tries, self._wait = max(args["lost_host_tries"], 0), max(args["lost_host_wait"], 0)
        outcome = {"pass": run["pass"], "at": datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")}
        if args["site"] is not None:
            outcome["site"] = args["site"]
        if not runs.HOST.match(name):
            outcome.update(self._failed("its inventory name is not safe as a file name"))
            table = None
        elif not getattr(self._connection, "has_pipelining", False):
            outcome.update(self._failed(f"the {self._connection.transport} connection cannot give a "
                                        "command its input: use ssh or local"))
            table = None
        else:
            try:
                fields, table = self._collect(run["folder"], name)
            except Exception as error:  # recorded as the host's failure, never lost
                fields, table = self._failed(f"collecting it failed: {one_line(repr(error))}"), None
            outcome.update(fields)
        try:
            runs.settle(run["folder"], name, outcome, table)
        except OSError as error:
            raise AnsibleActionFail(f"cannot write in {run['folder']}: {error.strerror}") from None
        finally:
            if table and os.path.lexists(table):
                os.unlink(table)
        collected = outcome["collected"]
        lines = outcome.get("lines", 0)
        return {"changed": True, "failed": not collected, "outcome": outcome, "msg": (
            f"collected, {lines} line{'' if lines == 1 else 's'}" if collected else outcome["reason"])}

    def _execute(self, script, in_data=None):
        """Runs script under /bin/sh on the host: its status, output and errors as bytes."""
        return self._connection.exec_command(host.command(script), in_data=in_data, sudoable=False)

    @staticmethod
    def _failed(reason, addresses=(), left=""):
        return dict({"collected": False, "reason": reason, "addresses": list(addresses)},
                    **({"left": left} if left else {}))

    def _collect(self, folder, name):
        """The outcome's fields, and the table at a temporary name in folder."""
        mark = self._run["mark"]
        try:
            probe = host.read_probe(mark, *self._execute(host.probe_script(mark, self._tmpdir)))
        except AnsibleError as error:
            return self._failed("unreachable: " + one_line(str(error))), None
        if probe.problem:
            return self._failed(probe.problem, probe.addresses), None
        processor = host.PROCESSORS.get(probe.machine)
        if processor not in self._run["programs"]:
            return self._failed(f"no arpexport program in {self._run['source']} for the host's "
                                f"processor, {shown(probe.machine)}", probe.addresses), None
        with open(self._run["programs"][processor], "rb") as f:
            program = f.read()
        temporary = host.new_folder_name()
        where = f"{probe.base or self._tmpdir or '$TMPDIR'}/{temporary}"
        try:
            answer = self._execute(host.run_script(mark, temporary, self._tmpdir), in_data=program)
        except AnsibleError as error:
            note, left = self._clean_up(temporary, where)
            return self._failed(f"lost during the run: {one_line(str(error))}; {note}",
                                probe.addresses, left), None
        got = host.read_run(mark, *answer, base=probe.base)
        note, left = "", ""
        if not got.removed and not got.problem.startswith("making a temporary folder"):
            note, left = self._clean_up(temporary, where)
        if got.problem:
            return self._failed(got.problem + (f"; {note}" if note else ""), probe.addresses, left), None
        fields = {"collected": True, "lines": got.lines, "addresses": probe.addresses}
        # The table, whole, at a temporary name beside its final one.
        table, _ = runs.temporary_file(folder, name + ".txt",
                                       lambda f: f.write(memoryview(answer[1])[got.start:got.end]), binary=True)
        return dict(fields, **({"left": left} if left else {})), table

    def _clean_up(self, temporary, where):
        """The temporary folder of a run that was cut off, or did not remove
        it: tried again lost_host_tries times, removed if the host answers.
        Gives what became of it, and the folder where it is left there."""
        for _ in range(self._tries):
            time.sleep(self._wait)
            try:
                self._connection.reset()
                status, out, _ = self._execute(host.cleanup_script(self._run["mark"], temporary, self._tmpdir))
            except AnsibleError:
                continue
            if status == 0 and "removed" in host.answers(self._run["mark"], out):
                return "its temporary folder was removed once it answered again", ""
            break
        return f"its temporary folder {where} is left there", where

# Copyright 2026 The arpexport developers. All rights reserved.
"""Collects one host's table into the run's folder, with nothing on the
host but /bin/sh and a few POSIX tools: two commands over the connection,
the program on the second one's standard input."""
import os
import time

from ansible.errors import AnsibleError

from ansible_collections.arpexport.fleet.plugins.plugin_utils import host, release, run_folder
from ansible_collections.arpexport.fleet.plugins.plugin_utils.action import Action, Refused
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import one_line, shown


KEEP_ALIVE = "-o ServerAliveInterval=15 -o ServerAliveCountMax=3"
# The connections that give a POSIX shell's command its input; winrm and
# psrp have pipelining too, to PowerShell.
POSIX_CONNECTIONS = ("ssh", "paramiko", "local")
# The exception that Ansible's task timeout raises in the action, by the
# name that ansible-core 2.14 and 2.19 both give it.
TIMED_OUT = "TaskTimeoutError"


def failed(reason, addresses=(), left=""):
    """The outcome's fields for a host that was not collected."""
    fields = {"collected": False, "reason": reason, "addresses": list(addresses)}
    if left:
        fields["left"] = left
    return fields


class ActionModule(Action):
    TAKES_RUN = True

    def act(self, args, task_vars):
        run = args["run"]
        tmpdir = args["host_tmpdir"]
        if tmpdir is not None and not host.tmpdir_ok(tmpdir):
            raise Refused("host_tmpdir must be an absolute path of plain characters, without . or .. parts")
        name = task_vars["inventory_hostname"]
        self._run, self._tmpdir, self._where = run, tmpdir, ""
        self._tries_left, self._wait = max(args["lost_host_tries"], 0), max(args["lost_host_wait"], 0)
        outcome = {"pass": run["pass"], "at": run_folder.now()}
        if args["site"] is not None:
            outcome["site"] = args["site"]
        table = None
        if not run_folder.HOST_NAME.match(name):
            outcome.update(failed("its inventory name is not safe as a file name"))
        elif self._connection.transport not in POSIX_CONNECTIONS or not self._connection.has_pipelining:
            outcome.update(failed(f"the {self._connection.transport} connection cannot give a "
                                  "command its input: use ssh or local"))
        else:
            try:
                self._keep_alive()
                fields, table = self._collect(run["folder"], name)
            except BaseException as error:
                # Ansible's time limit, or Ctrl+C, stops the action here: the
                # host is recorded first, with the folder it may leave.
                stopped = self._stopped(error)
                if stopped:
                    outcome.update(stopped)
                    run_folder.settle(run["folder"], name, outcome)
                    raise
                if not isinstance(error, Exception):
                    raise
                # Recorded as the host's failure, never lost.
                fields = failed(f"collecting it failed: {one_line(repr(error))}")
            outcome.update(fields)
        try:
            run_folder.settle(run["folder"], name, outcome, table)
        except OSError as error:
            raise Refused(f"cannot write in {run['folder']}: {error.strerror}") from None
        finally:
            if table and os.path.lexists(table):
                os.unlink(table)
        if not outcome["collected"]:
            return {"changed": True, "failed": True, "outcome": outcome, "msg": outcome["reason"]}
        lines = outcome["lines"]
        return {"changed": True, "failed": False, "outcome": outcome,
                "msg": f"collected, {lines} line{'' if lines == 1 else 's'}"}

    def _stopped(self, error):
        """The outcome's fields for a host whose collection Ansible's time
        limit or Ctrl+C stopped; {} for any other error."""
        if type(error).__name__ == TIMED_OUT:
            why = f"it did not answer within host_timeout, {self._task.timeout} s"
        elif isinstance(error, KeyboardInterrupt):
            why = run_folder.STOPPED + " (Ctrl+C)"
        else:
            return {}
        return failed(why + run_folder.may_be_left(self._where), left=self._where)

    def refused(self, message, task_vars):
        """A host refused for its options, in a run that was prepared, is
        recorded as not collected, with the refusal as its reason."""
        run = self._task.args.get("run")
        if not (isinstance(run, dict) and isinstance(run.get("folder"), str) and isinstance(run.get("pass"), str)
                and run_folder.RUN_NAME.match(os.path.basename(run["folder"])) and os.path.isdir(run["folder"])):
            return {}
        outcome = dict(failed(message), **{"pass": run["pass"], "at": run_folder.now()})
        try:
            run_folder.settle(run["folder"], task_vars["inventory_hostname"], outcome)
        except (OSError, KeyError):
            return {}
        return {"outcome": outcome}

    def _keep_alive(self):
        """SSH keep-alives, unless the inventory sets its own: a link that
        dies while a host's command runs is noticed within a minute, not
        after the kernel's two hours, and the host is tried again."""
        if self._connection.transport != "ssh":
            return
        given = " ".join(str(self._connection.get_option(o) or "")
                         for o in ("ssh_args", "ssh_common_args", "ssh_extra_args"))
        if "serveralive" not in given.lower():
            extra = str(self._connection.get_option("ssh_extra_args") or "")
            self._connection.set_option("ssh_extra_args", f"{extra} {KEEP_ALIVE}".strip())

    def _execute(self, script, in_data=None):
        """Runs script under /bin/sh on the host: its status, output and errors as bytes."""
        return self._connection.exec_command(host.command(script), in_data=in_data, sudoable=False)

    def _reconnect(self):
        """Waits lost_host_wait seconds and reconnects, while tries are left."""
        if self._tries_left <= 0:
            return False
        self._tries_left -= 1
        time.sleep(self._wait)
        self._connection.reset()
        return True

    def _probe(self):
        """The host's Probe, tried again while it does not answer; or None,
        and why it did not."""
        mark = self._run["mark"]
        while True:
            try:
                return host.read_probe(mark, *self._execute(host.probe_script(mark, self._tmpdir))), ""
            except AnsibleError as error:
                why = one_line(str(error))
            try:
                if not self._reconnect():
                    return None, why
            except AnsibleError:
                return None, why

    def _collect(self, folder, name):
        """The outcome's fields, and the table at a temporary name in folder."""
        mark = self._run["mark"]
        probe, why = self._probe()
        if probe is None:
            return failed("unreachable: " + why), None
        if probe.problem != host.OK:
            return failed(probe.reason, probe.addresses), None
        processor = release.MACHINES.get(probe.machine)
        if processor not in self._run["programs"]:
            return failed(f"no arpexport program in {self._run['source']} for the host's "
                          f"processor, {shown(probe.machine)}", probe.addresses), None
        with open(self._run["programs"][processor], "rb") as f:
            program = f.read()
        while True:
            temporary = host.new_folder_name()
            where = f"{probe.base or self._tmpdir or '$TMPDIR'}/{temporary}"
            self._where = where
            run_folder.started(folder, name, self._run["pass"], where)
            try:
                answer = self._execute(host.run_script(mark, temporary, self._tmpdir), in_data=program)
                break
            except AnsibleError as error:
                note, left = self._clean_up(temporary, where)
                # Back again, with tries left: collected in this pass after all.
                if not left and self._tries_left > 0:
                    continue
                return failed(f"lost during the run: {one_line(str(error))}; {note}", probe.addresses, left), None
        got = host.read_run(mark, *answer, base=probe.base)
        if got.removed:
            self._where = ""
        note, left = "", ""
        # Where the folder could not be made there is nothing to remove.
        if not got.removed and got.problem != host.NO_FOLDER:
            note, left = self._clean_up(temporary, where, connected=True)
        if got.problem != host.OK:
            return failed(got.reason + (f"; {note}" if note else ""), probe.addresses, left), None
        fields = {"collected": True, "lines": got.lines, "addresses": probe.addresses}
        if left:
            fields["left"] = left
        # The table, whole, at a temporary name beside its final one.
        table, dummy = run_folder.temporary_file(
            folder, name + ".txt", lambda f: f.write(memoryview(answer[1])[got.start:got.end]), binary=True)
        return fields, table

    def _clean_up(self, temporary, where, connected=False):
        """The temporary folder of a run that was cut off, or did not remove
        it: removed if the host answers, at once where it is still connected,
        else reconnecting while tries are left. Gives what became of it, and
        the folder where it is left there."""
        while True:
            try:
                if connected:
                    connected = False
                elif not self._reconnect():
                    break
                status, out, dummy = self._execute(host.cleanup_script(self._run["mark"], temporary, self._tmpdir))
            except AnsibleError:
                continue
            if status == 0 and "removed" in (host.answers(self._run["mark"], out) or []):
                return "its temporary folder was removed once it answered again", ""
            break
        return f"its temporary folder {where} is left there", where

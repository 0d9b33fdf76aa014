"""What the tests put in place of a host: commands run here under /bin/sh
as a login runs them, a stand-in for the program; and the run folders and
tables they work on. Nothing here imports Ansible: passes at once run it in
processes of their own."""
import gzip
import json
import os
import subprocess
import sys

from ansible_collections.arpexport.fleet.plugins.plugin_utils import host, run_folder
from ansible_collections.arpexport.fleet.plugins.plugin_utils import report as report_module

GW, ROGUE, BROADCAST = "0a:00:00:00:00:01", "0a:00:00:00:00:66", "ff:ff:ff:ff:ff:ff"
MARK = "ARPEXPORT-0123456789abcdef"
# The folder that holds ansible_collections, for a report run as its own process.
COLLECTIONS = os.path.abspath(os.path.join(os.path.dirname(report_module.__file__), *[os.pardir] * 5))


def rows(*entries):
    return "".join(f"{a} - {hw}\n" for a, hw in entries)


def write(path, text):
    """path holds text (str or bytes); its folder is made."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode())
    return path


def sh(command, stdin=b"", tmpdir=None):
    """A command line run here as a login runs it: status, output, errors."""
    env = dict(os.environ, **({"TMPDIR": tmpdir} if tmpdir else {}))
    done = subprocess.run(command, shell=True, input=stdin, capture_output=True, check=False, env=env)
    return done.returncode, done.stdout, done.stderr


def program(body):
    """A stand-in for arpexport, gzipped as the hosts get it."""
    return gzip.compress(b"#!/bin/sh\n" + body.encode())


def report_process(folder, *arguments):
    """The report run as python3 -m ...report FOLDER runs it."""
    return subprocess.run([sys.executable, "-m", report_module.__name__, *arguments, *([folder] if folder else [])],
                          capture_output=True, text=True, check=False,
                          env=dict(os.environ, PYTHONPATH=COLLECTIONS))


class Host:
    """A connection whose commands run here under /bin/sh, with the host's
    temporary folders in tmpdir. script: what the next commands get instead,
    in turn: an exception is raised (AnsibleConnectionFailure: the host is
    lost), a callable is called with the command and its input, None runs
    the command here."""

    transport = "ssh"
    has_pipelining = True

    def __init__(self, tmpdir, script=(), **options):
        self.tmpdir, self.script = tmpdir, list(script)
        self.commands, self.resets = [], 0
        self.options = options
        self._shell = type("Shell", (), {"tmpdir": None})()

    def get_option(self, name):
        return self.options.get(name)

    def set_option(self, name, value):
        self.options[name] = value

    def exec_command(self, cmd, in_data=None, sudoable=True):
        del sudoable
        self.commands.append(cmd)
        answer = self.script.pop(0) if self.script else None
        if answer is None:
            return sh(cmd, in_data or b"", self.tmpdir)
        if isinstance(answer, BaseException):
            # pylint counts the script's None entries here too.
            raise answer  # pylint: disable=raising-bad-type
        return answer(cmd, in_data)

    def reset(self):
        self.resets += 1


def new_run(root, programs):
    """A run as prepare gives it, in a new run folder in root."""
    name = run_folder.new_run(root)
    mark = host.new_mark()
    return {"name": name, "root": root, "folder": os.path.join(root, name), "mark": mark, "pass": mark[-16:],
            "programs": programs, "source": "the tests' programs", "note": "the tests' programs", "staged": ""}


def recorded(folder):
    with open(os.path.join(folder, run_folder.RECORD), encoding="utf-8") as f:
        return json.load(f)["hosts"]


def settle_many(folder, writer, hosts):
    """A pass over hosts, each table writer+1 lines long, and as many failures."""
    for name in hosts:
        path = os.path.join(folder, f".{name}.{writer}")
        with open(path, "w", encoding="ascii") as f:
            f.write("10.0.0.1 - 0a:00:00:00:00:01\n" * (writer + 1))
        run_folder.settle(folder, name, {"collected": True, "lines": writer + 1, "pass": str(writer)}, path)
        run_folder.settle(folder, "failing-" + name, {"collected": False, "reason": str(writer)})


def ended_process():
    """The process id of a process that has ended."""
    done = subprocess.run(["/bin/sh", "-c", "echo $$"], capture_output=True, check=True)
    return int(done.stdout)

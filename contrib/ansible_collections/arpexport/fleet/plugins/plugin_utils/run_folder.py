"""A run's folder on the controller: TABLES/RUN/HOST.txt, one a host, and
run.json, every host's outcome.

A run's folder is made exclusively, so that two runs started in the same
second get one each. Each pass over a run (the first, and any re-pass with
-e run=) puts a host's whole table in place and writes the host's outcome
to the run's journal, .journal, both under one lock on that file; run.json
is folded from the journal, under the same lock, at the end of each pass.
So passes at once lose no host and never leave a table beside an outcome
that is not its own. TABLES/latest names the newest run whose report is
written.
"""
import contextlib
import errno
import fcntl
import json
import os
import re
import secrets
import shutil
import stat
import tempfile
import time

RUN_NAME = re.compile(r"^[0-9]{8}T[0-9]{6}Z(?:-[1-9][0-9]{0,5})?$")
# Inventory names that are safe as file names, as HOST.txt.
HOST_NAME = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9._@+:-]*$")
# The names in a run's folder and beside it: no table's name can be one.
JOURNAL = ".journal"
RECORD = "run.json"
REPORT = "report"
LATEST = "latest"
LATEST_LOCK = ".lock"
PROGRAMS_PREFIX = ".programs."


def run_key(name):
    """Runs in the order they started: NAME-2 is the second run started in
    NAME's second, after NAME and before the next second's."""
    stamp, dummy, n = name.partition("-")
    return stamp, int(n or 1)


def new_run(root, now=None):
    """Makes a new run's folder in root and gives its name."""
    os.makedirs(root, mode=0o755, exist_ok=True)
    stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(now))
    for n in range(1, 1000):
        name = stamp if n == 1 else f"{stamp}-{n}"
        try:
            os.mkdir(os.path.join(root, name), 0o755)
            return name
        except FileExistsError:
            continue
    raise OSError(errno.EEXIST, f"no free run name for {stamp}", root)


def existing_run(root, name):
    """The folder of an earlier run, for a re-pass; ValueError when name is
    no run's, or no folder of that name is there."""
    path = os.path.join(root, name)
    if not RUN_NAME.match(name):
        raise ValueError(f"{name} is not a run's name, such as 20261210T120000Z")
    try:
        if stat.S_ISDIR(os.lstat(path).st_mode):
            return path
    except OSError:
        pass
    raise ValueError(f"there is no run folder {path}")


def programs_folder(folder):
    """A folder of its own in the run's folder for one pass's programs."""
    return tempfile.mkdtemp(prefix=PROGRAMS_PREFIX, dir=folder)


def remove_programs(folder, staged):
    """Removes a pass's programs: only from a folder that programs_folder made."""
    if staged and os.path.dirname(staged) == folder and os.path.basename(staged).startswith(PROGRAMS_PREFIX):
        shutil.rmtree(staged, ignore_errors=True)


def temporary_file(directory, name, fill, binary=False):
    """A file in directory under a temporary name of its own, beside name,
    holding what fill(f) writes (or fill itself), on disk, mode 644: its
    path and fill's result. Removed again where the writing fails."""
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", dir=directory)
    try:
        with os.fdopen(fd, "wb") if binary else os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            result = fill(f) if callable(fill) else f.write(fill)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o644)
        return temporary, result
    except BaseException:
        os.unlink(temporary)
        raise


def write_atomically(path, fill):
    """path holds what fill(f) writes, or what it held."""
    temporary, result = temporary_file(*os.path.split(path), fill)
    try:
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    return result


@contextlib.contextmanager
def locked(folder):
    """The run's lock, held on its journal; yields the journal's descriptor."""
    fd = os.open(os.path.join(folder, JOURNAL),
                 os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield fd
    finally:
        os.close(fd)


def settle(folder, host, outcome, table=None):
    """Puts host's table (a whole one, at a temporary name in folder) in
    place as HOST.txt and writes its outcome to the journal, under the lock."""
    line = (json.dumps(dict(outcome, host=host), sort_keys=True) + "\n").encode()
    with locked(folder) as fd:
        if table is not None:
            os.replace(table, os.path.join(folder, host + ".txt"))
        view = memoryview(line)
        while view:
            view = view[os.write(fd, view):]


def journal(fd):
    """The outcomes in the journal, in the order they were written."""
    data = bytearray()
    while True:
        chunk = os.pread(fd, 1 << 20, len(data))
        if not chunk:
            break
        data += chunk
    # A line cut short by a crash is no outcome; every whole one is.
    return [json.loads(line) for line in bytes(data).split(b"\n") if line.endswith(b"}")]


def fold(hosts, outcomes):
    """run.json's hosts: each outcome in turn over those recorded before.
    A host's table is that of its last collection; a pass that failed on a
    host collected earlier keeps that table and outcome, noting the failure."""
    hosts = dict(hosts)
    for outcome in outcomes:
        host = outcome["host"]
        entry = {k: v for k, v in outcome.items() if k not in ("host", "pass")}
        earlier = hosts.get(host)
        if entry["collected"] or not (isinstance(earlier, dict) and earlier.get("collected")):
            hosts[host] = entry
        else:
            hosts[host] = dict(earlier, failed_later={
                k: v for k, v in entry.items() if k in ("at", "reason", "left")})
    return hosts


def record(folder, note):
    """Writes run.json from the journal; gives every outcome of the run's
    passes, in order, and run.json's hosts."""
    path = os.path.join(folder, RECORD)
    with locked(folder) as fd:
        outcomes = journal(fd)
        hosts = {}
        if os.path.lexists(path):
            with open(path, encoding="utf-8") as f:
                hosts = json.load(f).get("hosts", {})
        hosts = fold(hosts, outcomes)
        write_atomically(path, json.dumps({"run": os.path.basename(folder), "release": note, "hosts": hosts},
                                          indent=2, sort_keys=True) + "\n")
    return outcomes, hosts


def point_latest(root, name):
    """root/latest names run name, unless it names a newer run already:
    replaced atomically, through a link of a name of its own, under a lock
    of the root's, so that runs that end at once leave the newest."""
    fd = os.open(os.path.join(root, LATEST_LOCK), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        latest = os.path.join(root, LATEST)
        try:
            now = os.readlink(latest)
        except OSError:
            now = ""
        if RUN_NAME.match(now) and run_key(now) > run_key(name) and os.path.isdir(os.path.join(root, now)):
            return now
        temporary = os.path.join(root, f".latest.{secrets.token_hex(8)}")
        os.symlink(name, temporary)
        try:
            os.replace(temporary, latest)
        except BaseException:
            os.unlink(temporary)
            raise
        return name
    finally:
        os.close(fd)

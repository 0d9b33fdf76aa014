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
import socket
import stat
import tempfile
import time

RUN_NAME = re.compile(r"^[0-9]{8}T[0-9]{6}Z(?:-[1-9][0-9]{0,5})?\Z")
# Inventory names that are safe as file names, as HOST.txt.
HOST_NAME = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9._@+:-]*\Z")
# The names in a run's folder and beside it: no table's name can be one.
JOURNAL = ".journal"
RECORD = "run.json"
REPORT = "report"
LATEST = "latest"
LATEST_LOCK = ".lock"
MADE = ".made"  # the runs made here, a name a line, in the order they were made
MADE_LIMIT = 16 << 20
RECORD_LIMIT = 64 << 20  # run.json: far more than any fleet's record
RECORD_ITEMS = 4 << 20  # objects and lists in run.json: some for each host
PROGRAMS_PREFIX = "arpexport-programs."


def now():
    """The time of an outcome, in UTC."""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def may_be_left(where):
    """What an outcome says of a temporary folder a stop may have left."""
    return f"; its temporary folder {where} may be left there" if where else ""


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
        except FileExistsError:
            continue
        try:
            with _root_locked(root):
                fd = _private(os.path.join(root, MADE), os.O_WRONLY | os.O_APPEND)
                try:
                    os.write(fd, (name + "\n").encode())
                finally:
                    os.close(fd)
        except OSError:
            os.rmdir(os.path.join(root, name))  # a run made, or none
            raise
        return name
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


def programs_folder():
    """A private folder for one pass's programs, in the controller's folder
    for temporary files: a pass that is stopped (Ctrl+C) leaves nothing of
    the controller's own in the run's folder."""
    return tempfile.mkdtemp(prefix=PROGRAMS_PREFIX)


def remove_programs(staged):
    """Removes a pass's programs: only a folder that programs_folder made."""
    if staged and os.path.dirname(staged) == tempfile.gettempdir() \
            and os.path.basename(staged).startswith(PROGRAMS_PREFIX):
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


def _private(path, flags):
    """A lock file opened for its owner alone: whoever could open it could
    hold the lock, and stop every run."""
    fd = os.open(path, flags | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    if os.fstat(fd).st_mode & 0o077:
        os.fchmod(fd, 0o600)
    return fd


@contextlib.contextmanager
def locked(folder):
    """The run's lock, held on its journal; yields the journal's descriptor."""
    fd = _private(os.path.join(folder, JOURNAL), os.O_RDWR | os.O_APPEND)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield fd
    finally:
        os.close(fd)


# A host of a pass that has no outcome in it: its task failed before the
# collect action ran, or the action could not write it; or its program had
# gone to it when the pass was stopped.
UNRECORDED = ("its collect task failed before it could record an outcome (its connection "
              "or shell, for example): the play's output says why")
STOPPED = "the run was stopped while it was being collected"


def _append(fd, entry):
    """Writes one journal line. A line that a full disk cut short ends
    where it ends: this one starts a line of its own."""
    line = (json.dumps(entry, sort_keys=True) + "\n").encode()
    size = os.fstat(fd).st_size
    if size and os.pread(fd, 1, size - 1) != b"\n":
        line = b"\n" + line
    write_all(fd, line)


def write_all(fd, data):
    """Writes all of data, however many writes it takes."""
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def settle(folder, host, outcome, table=None):
    """Puts host's table (a whole one, at a temporary name in folder) in
    place as HOST.txt and writes its outcome to the journal, under the lock."""
    with locked(folder) as fd:
        if table is not None:
            os.replace(table, os.path.join(folder, host + ".txt"))
        _append(fd, dict(outcome, host=host))


def expect(folder, pass_id, hosts, controller):
    """Notes in the journal the hosts that a pass is to collect, so that
    one that ends without an outcome is still recorded, and the
    ansible-playbook of the pass (its process id), so that a pass that was
    stopped can be told from one still going on."""
    with locked(folder) as fd:
        _append(fd, {"expected": sorted(hosts), "pass": pass_id, "by": [socket.gethostname(), controller]})


def started(folder, host, pass_id, where):
    """Notes in the journal that host's program goes to its temporary
    folder where: a pass stopped from now on leaves it there."""
    with locked(folder) as fd:
        _append(fd, {"host": host, "pass": pass_id, "started": where})


def _entry(line):
    """The outcome, the expected hosts or the start a journal line holds,
    or None for a line cut short."""
    try:
        entry = json.loads(line)
    except ValueError:
        return None
    if not isinstance(entry, dict) or not isinstance(entry.get("pass", ""), str):
        return None
    if isinstance(entry.get("host"), str) and ("collected" in entry or isinstance(entry.get("started"), str)):
        return entry
    if isinstance(entry.get("expected"), list) and all(isinstance(h, str) for h in entry["expected"]) \
            and "pass" in entry:
        return entry
    return None


def journal(fd):
    """The journal's entries (outcomes and expected hosts) in the order
    they were written, and how many lines were cut short (by a crash or a
    full disk) and left out."""
    data = bytearray()
    while True:
        chunk = os.pread(fd, 1 << 20, len(data))
        if not chunk:
            break
        data += chunk
    entries, cut = [], 0
    for line in bytes(data).split(b"\n"):
        if not line:
            continue
        entry = _entry(line)
        if entry is None:
            cut += 1
        else:
            entries.append(entry)
    return entries, cut


def _over(by):
    """Whether the ansible-playbook that an expected entry names has ended:
    known only for one of this computer's."""
    if not (isinstance(by, list) and len(by) == 2 and by[0] == socket.gethostname() and isinstance(by[1], int)):
        return False
    try:
        os.kill(by[1], 0)
    except ProcessLookupError:
        return True
    except OSError:  # there, another user's
        return False
    return False


def unrecorded(entries, own_pass):
    """Outcomes for the hosts that a pass expected or started and that have
    none in it: of this pass, and of passes whose ansible-playbook ended
    (a stop) without recording them; never of a pass still going on."""
    expected, by, begun, recorded = {}, {}, {}, set()
    for entry in entries:
        pass_id = entry.get("pass")
        if "expected" in entry:
            expected.setdefault(pass_id, set()).update(entry["expected"])
            by[pass_id] = entry.get("by")
        elif "started" in entry:
            expected.setdefault(pass_id, set()).add(entry["host"])
            begun[pass_id, entry["host"]] = entry["started"]
        else:
            recorded.add((pass_id, entry["host"]))
    at = now()
    missing = []
    for pass_id, hosts in expected.items():
        if pass_id != own_pass and not _over(by.get(pass_id)):
            continue
        for host in sorted(hosts):
            if (pass_id, host) in recorded:
                continue
            outcome = {"host": host, "pass": pass_id, "at": at, "collected": False, "reason": UNRECORDED,
                       "addresses": []}
            where = begun.get((pass_id, host))
            if where:
                outcome.update(reason=STOPPED + may_be_left(where), left=where)
            missing.append(outcome)
    return missing


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


def parse_record(data):
    """run.json's bytes as a run's record, an object with a "hosts" object;
    ValueError, saying why, where they are none, or more than any run's."""
    if len(data) > RECORD_LIMIT:
        raise ValueError("it is larger than any run's record")
    # Each object costs far more memory than its two bytes of text.
    if data.count(b"{") + data.count(b"[") > RECORD_ITEMS:
        raise ValueError("it holds more objects than any run's record")
    try:
        record = json.loads(data.decode("utf-8"))
    except RecursionError:
        raise ValueError("it is nested deeper than any run's record") from None
    if not isinstance(record, dict) or not isinstance(record.get("hosts"), dict):
        raise ValueError('it holds no "hosts" object')
    return record


def _recorded(path):
    """The release note and hosts of the run.json that record writes, ("",
    {}) without one; ValueError where it is no run's record."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except FileNotFoundError:
        return "", {}
    with open(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise ValueError(f"{RECORD} is not a regular file")
        data = f.read(RECORD_LIMIT + 1)
    try:
        record = parse_record(data)
    except ValueError as error:
        raise ValueError(f"{RECORD}: {error}") from None
    note = record.get("release") if isinstance(record.get("release"), str) else ""
    return note, {str(h): o for h, o in record["hosts"].items() if isinstance(o, dict)}


def _write_record(folder, fd, entries, missing, note):
    """run.json folded from the journal's outcomes and those of missing,
    which go to the journal first; note None keeps run.json's own. Gives
    the outcomes and run.json's hosts."""
    path = os.path.join(folder, RECORD)
    for outcome in missing:
        _append(fd, outcome)
    outcomes = [e for e in entries if "collected" in e] + missing
    recorded_note, hosts = _recorded(path)
    hosts = fold(hosts, outcomes)
    write_atomically(path, json.dumps({"run": os.path.basename(folder),
                                       "release": recorded_note if note is None else note, "hosts": hosts},
                                      indent=2, sort_keys=True) + "\n")
    return outcomes, hosts


def record(folder, note, own_pass=None):
    """Writes run.json from the journal; gives every outcome of the run's
    passes, in order, run.json's hosts, and how many journal lines were cut
    short and left out. own_pass: the pass that records, whose hosts
    without an outcome are recorded as not collected."""
    with locked(folder) as fd:
        entries, cut = journal(fd)
        outcomes, hosts = _write_record(folder, fd, entries, unrecorded(entries, own_pass), note)
    return outcomes, hosts, cut


def record_stopped(folder):
    """Writes into run.json the hosts of the passes that were stopped
    before they recorded them (their ansible-playbook has ended); leaves
    run.json as it is where there are none. Gives how many there were."""
    with locked(folder) as fd:
        entries, dummy = journal(fd)
        missing = unrecorded(entries, None)
        if missing:
            _write_record(folder, fd, entries, missing, None)
    return len(missing)


@contextlib.contextmanager
def _root_locked(root):
    """The lock of the folder of runs, for latest and the runs made there."""
    fd = _private(os.path.join(root, LATEST_LOCK), os.O_RDWR)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def made_order(root):
    """{run: its place among the runs made in root, in the order they were made}."""
    try:
        with open(os.path.join(root, MADE), "rb") as f:
            data = f.read(MADE_LIMIT)
    except FileNotFoundError:
        return {}
    order = {}
    for line in data.split(b"\n"):
        name = line.decode("ascii", "replace")
        if RUN_NAME.match(name):
            order.setdefault(name, len(order))
    return order


def newer(root, run, than):
    """Whether run was made after than: by the order the runs were made
    here, whatever their names say (a clock a year ahead once, or a folder
    made by hand); by their names for runs made before that was kept."""
    order = made_order(root)
    if run in order or than in order:
        return order.get(run, -1) > order.get(than, -1)
    return run_key(run) > run_key(than)


def point_latest(root, name):
    """root/latest names run name, unless it names a run made after it:
    replaced atomically, through a link of a name of its own, under a lock
    of the root's, so that runs that end at once leave the newest."""
    with _root_locked(root):
        latest = os.path.join(root, LATEST)
        try:
            now = os.readlink(latest)
        except OSError:
            now = ""
        if RUN_NAME.match(now) and newer(root, now, name) and os.path.isdir(os.path.join(root, now)):
            return now
        temporary = os.path.join(root, f".latest.{secrets.token_hex(8)}")
        os.symlink(name, temporary)
        try:
            os.replace(temporary, latest)
        except BaseException:
            os.unlink(temporary)
            raise
        return name

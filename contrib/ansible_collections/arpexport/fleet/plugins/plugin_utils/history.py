"""The history of a folder of runs, TABLES/history.sqlite: every pairing of
an address and a hardware address that a site's hosts have seen, with the
runs and hosts that saw it first and last; each address's hardware address
as arpwatch keeps one (the last and the one before); and every finding of
the reports, with its state. Each run's report brings it up to date in one
transaction, and each change of a finding's state is a line of
TABLES/findings.jsonl. The run folders stay the record: with the
collections folder on PYTHONPATH,

  python3 -m ansible_collections.arpexport.fleet.plugins.plugin_utils.history rebuild TABLES

makes the history again from the run folders there.
"""
import contextlib
import errno
import fcntl
import hashlib
import json
import logging
import logging.handlers
import os
import shutil
import signal
import sqlite3
import stat
import sys
import time

from ansible_collections.arpexport.fleet.plugins.plugin_utils import run_folder
from ansible_collections.arpexport.fleet.plugins.plugin_utils.tables import ADDRESS, HWADDRESS
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import one_line, shown

HISTORY = "history.sqlite"
EVENTS = "findings.jsonl"
LOCK = ".history.lock"
LOCK_WAIT = 600  # seconds a run waits for another run's update
BUSY_WAIT = 30  # seconds to wait for another program that reads it (sqlite3, say)
APPLICATION = 0x61727078  # "arpx": PRAGMA application_id, what tells our file from another database
VERSION = 1  # PRAGMA user_version: the schema below
SETTLE_RUNS = 3
NAMED = 5  # hosts named under each hardware address of a disagreement's message

NEW, ONGOING, UNCHECKED, RESOLVED = "new", "ongoing", "unchecked", "resolved"
STATE_NAMES = (NEW, ONGOING, UNCHECKED, RESOLVED)
SEVERITIES = ("info", "notice", "warning", "critical")
# Each kind of finding, with its severity.
KINDS = {
    "disagreement": "warning",
    "changed": "warning",
    "flip_flop": "warning",
    "reused": "warning",
    "new_station": "info",
    "several_hwaddresses": "notice",
    "shared_own_address": "notice",
    "shared_hwaddress": "notice",
}
MOVES = ("changed", "flip_flop", "reused")  # an address at a hardware address other than its last
# Findings of a change that stand until the address has kept its new
# hardware address for some runs.
SETTLING = MOVES + ("new_station",)

SCHEMA = """
CREATE TABLE runs (
  seq INTEGER PRIMARY KEY,          -- the order runs came into the history
  run TEXT NOT NULL UNIQUE,         -- the run folder's name
  time TEXT NOT NULL,               -- its start, from its name (UTC)
  hosts INTEGER NOT NULL,           -- hosts in the run
  collected INTEGER NOT NULL,       -- of them, collected
  rows INTEGER NOT NULL,            -- rows of the tables collected
  not_collected TEXT NOT NULL       -- JSON list of the hosts not collected
);
CREATE TABLE hostsets (
  id INTEGER PRIMARY KEY,
  hosts TEXT NOT NULL UNIQUE        -- JSON list of host names, in order
);
CREATE TABLE pairings (
  site TEXT NOT NULL,
  address TEXT NOT NULL,
  hwaddress TEXT NOT NULL,
  first_seq INTEGER NOT NULL REFERENCES runs (seq),
  last_seq INTEGER NOT NULL REFERENCES runs (seq),
  runs INTEGER NOT NULL,            -- runs that saw it
  first_hosts INTEGER NOT NULL REFERENCES hostsets (id),
  last_hosts INTEGER NOT NULL REFERENCES hostsets (id),
  PRIMARY KEY (site, address, hwaddress)
) WITHOUT ROWID;
CREATE TABLE stations (
  site TEXT NOT NULL,
  address TEXT NOT NULL,
  hwaddress TEXT NOT NULL,          -- its hardware address now
  previous TEXT,                    -- the one before, if it had one
  held TEXT NOT NULL,               -- JSON list of every one it had before
  since_seq INTEGER NOT NULL REFERENCES runs (seq),
  PRIMARY KEY (site, address)
) WITHOUT ROWID;
CREATE TABLE findings (
  id TEXT PRIMARY KEY,              -- stable: its kind, site and what it is about
  kind TEXT NOT NULL,
  severity TEXT NOT NULL,
  site TEXT NOT NULL,
  detail TEXT NOT NULL,             -- JSON: addresses, hwaddresses, and what its kind adds
  hosts INTEGER NOT NULL REFERENCES hostsets (id),  -- the hosts that saw it last
  state TEXT NOT NULL,              -- new, ongoing, unchecked or resolved
  first_seq INTEGER NOT NULL REFERENCES runs (seq),
  last_seq INTEGER NOT NULL REFERENCES runs (seq),  -- the last run it was found in
  state_seq INTEGER NOT NULL REFERENCES runs (seq), -- the run its state began
  settled INTEGER NOT NULL DEFAULT 0,               -- a move's runs at its new hardware address since
  settled_seq INTEGER
);
CREATE INDEX findings_open ON findings (state) WHERE state != 'resolved';
CREATE VIEW seen AS
  SELECT p.site, p.address, p.hwaddress, f.run AS first_run, f.time AS first_time,
         l.run AS last_run, l.time AS last_time, p.runs,
         fh.hosts AS first_hosts, lh.hosts AS last_hosts
  FROM pairings p JOIN runs f ON f.seq = p.first_seq JOIN runs l ON l.seq = p.last_seq
  JOIN hostsets fh ON fh.id = p.first_hosts JOIN hostsets lh ON lh.id = p.last_hosts;
CREATE VIEW finding_states AS
  SELECT x.id, x.kind, x.severity, x.site, x.state, x.detail, h.hosts,
         f.run AS first_run, l.run AS last_run, s.run AS state_run
  FROM findings x JOIN runs f ON f.seq = x.first_seq JOIN runs l ON l.seq = x.last_seq
  JOIN runs s ON s.seq = x.state_seq JOIN hostsets h ON h.id = x.hosts;
"""

# What each failure of the database means, by SQLite's result code.
FAULTS = {
    5: "it is locked by another program",  # SQLITE_BUSY
    6: "it is locked by another program",  # SQLITE_LOCKED
    8: "it is read-only",  # SQLITE_READONLY
    10: "it cannot be read or written",  # SQLITE_IOERR
    11: "it is damaged",  # SQLITE_CORRUPT
    13: "the disk is full",  # SQLITE_FULL
    14: "it cannot be opened",  # SQLITE_CANTOPEN
    26: "it is not a database",  # SQLITE_NOTADB
}


class HistoryError(Exception):
    """The history could not be brought up to date: it is as it was."""


class EventsError(Exception):
    """findings.jsonl could not be written."""


def fault(path, error):
    """A HistoryError for a failure of SQLite or of the file system."""
    if isinstance(error, sqlite3.Error):
        why = FAULTS.get(getattr(error, "sqlite_errorcode", 0) & 0xff, f"SQLite: {error}")
    else:
        why = error.strerror or str(error)
    return HistoryError(f"{shown(path)}: {why}")


# Findings: their identities, and what they say.

def stored_text(text):
    """Text as the history stores it: as it is where it is UTF-8, escaped
    where it holds bytes that are not (a site from a run.json)."""
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return shown(text)


def finding(kind, site, key, addresses, hwaddresses, hosts, **more):
    """A finding: kind, site and key (what it is about) make its identity."""
    site = stored_text(site)
    text = "\0".join([kind, site] + [",".join(k) if isinstance(k, list) else k for k in key])
    ident = hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()[:16]
    detail = dict(more, addresses=list(addresses), hwaddresses=list(hwaddresses))
    return {"id": ident, "kind": kind, "severity": KINDS[kind], "site": site,
            "detail": detail, "hosts": sorted(hosts)}


def of_report(r):
    """The findings of a report's comparisons."""
    found = []
    for d in r["disagreements"]:
        hosts = {h for names in d["hwaddresses"].values() for h in names}
        found.append(finding("disagreement", d["site"], [d["address"], d["compared"], d["networks"]],
                             [d["address"]], list(d["hwaddresses"]), hosts,
                             seen={hw: {"hosts": names[:NAMED], "count": len(names)}
                                   for hw, names in d["hwaddresses"].items()},
                             where=", ".join(d["networks"]) or d["compared"]))
    for d in r["several_hwaddresses"]:
        found.append(finding("several_hwaddresses", d["site"], [d["host"], d["address"]],
                             [d["address"]], d["hwaddresses"], [d["host"]]))
    for d in r["shared_own_addresses"]:
        found.append(finding("shared_own_address", d["site"], [d["address"], d["network"]],
                             [d["address"]], [], d["hosts"], network=d["network"]))
    for d in r["shared_hwaddresses"]:
        hosts = {h for names in d["addresses"].values() for h in names}
        found.append(finding("shared_hwaddress", d["site"], [d["hwaddress"], d["network"]],
                             list(d["addresses"]), [d["hwaddress"]], hosts, network=d["network"]))
    return found


def _some(names, count):
    more = f" and {count - len(names)} more" if count > len(names) else ""
    return ", ".join(map(shown, names)) + more


def describe(kind, detail):
    """What a finding says, on one line, escaped."""
    a, hw = detail["addresses"], detail["hwaddresses"]
    if kind == "disagreement":
        seen = "; ".join(f"{h} by {_some(by['hosts'], by['count'])}" for h, by in detail["seen"].items())
        return f"{a[0]} ({shown(detail['where'])}): {seen}"
    if kind in MOVES:
        what = {"changed": "changed", "flip_flop": "flip-flop, back", "reused": "back to an older one"}[kind]
        return f"{a[0]}: {what}: {hw[0]} -> {hw[1]}"
    if kind == "new_station":
        return f"{a[0]}: new station at {hw[0]}"
    if kind == "several_hwaddresses":
        return f"{a[0]} at {', '.join(hw)} on one host"
    if kind == "shared_own_address":
        return f"{a[0]} ({shown(detail['network'])}) held by several hosts"
    return f"{hw[0]} ({shown(detail['network'])}) behind {', '.join(a)}"


# Moves: an address at another hardware address than its last, as arpwatch
# tells them, across a site's hosts.

def most_seen(hws, current=None, absent=0):
    """The hardware address that most hosts see an address at, absent
    more for current: of equals, current, else the first."""
    def support(hw):
        return len(hws.get(hw, ())) + (absent if hw == current else 0)
    return max(sorted(set(hws) | ({current} if absent else set())), key=lambda hw: (support(hw), hw == current))


def moves(db, seq, site, addresses, names, collected, hostsets):
    """The moves and new stations of one site's addresses ({address: {hw:
    host indexes}}), and what the site's stations become. An address moves
    when most of the site's hosts that see it see it at another hardware
    address than its last; a host that saw it there in the run before and
    was not collected now (down, or left out of the pass) is taken to see
    what it saw. A few hosts that see another one (a stale entry, or a
    poisoned host) are a disagreement, not a move."""
    stations = {row[0]: row[1:] for row in db.execute(
        """SELECT s.address, s.hwaddress, s.previous, s.held, s.since_seq, p.last_hosts FROM stations s
           LEFT JOIN pairings p ON p.site = s.site AND p.address = s.address AND p.hwaddress = s.hwaddress
           WHERE s.site = ?""", (site,))}
    baseline = not stations  # a site's first run: what it sees is what it has
    found, updates = [], []
    for address, hws in addresses.items():
        station = stations.get(address)
        if station is None:
            to = most_seen(hws)
            updates.append((site, address, to, None, "[]", seq))
            if not baseline:
                found.append(finding("new_station", site, [address], [address], [to], named(hws[to], names), to=to))
            continue
        current, previous, held, since, last_hosts = station
        if since == seq:  # moved in this run, by an earlier report on it
            continue
        absent = hostsets.absent(last_hosts, collected) if last_hosts else 0
        to = most_seen(hws, current, absent)
        if to == current:
            continue
        held = valid_hwaddresses(json.loads(held))
        kind = "flip_flop" if to == previous else "reused" if to in held else "changed"
        found.append(finding(kind, site, [address, current, to], [address], [current, to],
                             named(hws[to], names), to=to))
        updates.append((site, address, to, current, json.dumps(sorted(set(held) | {current})), seq))
    return found, updates


def named(members, names):
    return [names[m] for m in members]


# States.

def next_state(stored, present, checked, seq):
    """A finding's state in run seq: stored is its (state, state_seq) so
    far or None; present, whether this run found it; checked, whether every
    host that saw it last was collected. None: no finding, and none before."""
    if present:
        if stored is None or stored[0] == RESOLVED:
            return NEW
        return NEW if stored == (NEW, seq) else ONGOING
    if stored is None or stored[0] == RESOLVED:
        return stored and stored[0]
    return RESOLVED if checked else UNCHECKED


def settling(row, hws, seq, settle_runs):
    """Whether a move or new station found before still stands: its address
    is still at its hardware address, in fewer than settle_runs runs since
    in which every host that sees the address agrees; and its count."""
    to = row["detail"].get("to")
    settled = row["settled"]
    if to not in hws:
        return False, settled
    if set(hws) == {to} and row["settled_seq"] != seq:
        settled += 1
    return settled < settle_runs, settled


# The database.

def _lock(root, wait):
    """The history's lock, taken within wait seconds; its descriptor."""
    fd = run_folder._private(os.path.join(root, LOCK), os.O_RDWR)  # pylint: disable=protected-access
    deadline = time.monotonic() + wait
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        except OSError as error:
            if error.errno not in (errno.EAGAIN, errno.EACCES) or time.monotonic() > deadline:
                os.close(fd)
                if error.errno in (errno.EAGAIN, errno.EACCES):
                    raise HistoryError(f"another run has held the history's lock for {wait} s") from None
                raise
            time.sleep(0.2)


@contextlib.contextmanager
def locked(root, wait=LOCK_WAIT):
    fd = _lock(root, wait)
    try:
        yield
    finally:
        os.close(fd)


def connect(path):
    """The history at path, made if there is none; HistoryError for a file
    that is not one of ours or is of a newer version."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        raise HistoryError(f"{shown(path)} is not a regular file")
    try:
        db = sqlite3.connect(path, timeout=BUSY_WAIT, isolation_level=None)
        db.row_factory = sqlite3.Row
        application, version = (db.execute(f"PRAGMA {p}").fetchone()[0] for p in ("application_id", "user_version"))
        if application == 0 and version == 0 and db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] == 0:
            return db  # empty: made on the first update
        if application != APPLICATION:
            db.close()
            raise HistoryError(f"{shown(path)} is a database, but not a history of runs")
        if version > VERSION:
            db.close()
            raise HistoryError(f"{shown(path)} is of a newer version of this collection ({version}; this one reads {VERSION})")
        return db
    except sqlite3.Error as error:
        raise fault(path, error) from None


def _made(db):
    if db.execute("PRAGMA user_version").fetchone()[0] == 0:
        # One statement at a time: executescript would commit the transaction first.
        for statement in SCHEMA.split(";\n"):
            if statement.strip():
                db.execute(statement)
        db.execute(f"PRAGMA application_id = {APPLICATION}")
        db.execute(f"PRAGMA user_version = {VERSION}")


class Hostsets:
    """Each list of hosts stored once: a pairing that every host sees names them all."""

    def __init__(self, db):
        self.db, self.ids, self.lists, self.absents = db, {}, {}, {}

    def absent(self, ident, collected):
        """How many hosts of a set were not collected in this run."""
        if ident not in self.absents:
            self.absents[ident] = sum(1 for h in self.hosts_of(ident) if h not in collected)
        return self.absents[ident]

    def hosts_of(self, ident):
        """The hosts of a set, decoded once; the same list for each finding of it."""
        if ident not in self.lists:
            row = self.db.execute("SELECT hosts FROM hostsets WHERE id = ?", (ident,)).fetchone()
            hosts = json.loads(row[0]) if row else None
            if not (isinstance(hosts, list) and all(isinstance(h, str) for h in hosts)):
                raise ValueError(f"hosts of set {ident} are not a list of names")
            self.lists[ident] = hosts
        return self.lists[ident]

    def id_of(self, hosts):
        key = tuple(hosts)
        if key not in self.ids:
            text = json.dumps(list(key))
            row = self.db.execute("SELECT id FROM hostsets WHERE hosts = ?", (text,)).fetchone()
            self.ids[key] = row[0] if row else self.db.execute(
                "INSERT INTO hostsets (hosts) VALUES (?)", (text,)).lastrowid
        return self.ids[key]


def run_time(run):
    stamp = run.partition("-")[0]
    return f"{stamp[0:4]}-{stamp[4:6]}-{stamp[6:8]}T{stamp[9:11]}:{stamp[11:13]}:{stamp[13:15]}Z"


def _run_seq(db, run, coverage):
    """The run's place in the history, added if it is not there, its coverage as this report has it."""
    row = db.execute("SELECT seq FROM runs WHERE run = ?", (run,)).fetchone()
    values = (coverage["hosts"], coverage["collected"], coverage["rows"],
              json.dumps(sorted(coverage["not_collected"])))
    if row:
        db.execute("UPDATE runs SET hosts = ?, collected = ?, rows = ?, not_collected = ? WHERE seq = ?",
                   values + (row[0],))
        return row[0]
    return db.execute("INSERT INTO runs (run, time, hosts, collected, rows, not_collected) VALUES (?, ?, ?, ?, ?, ?)",
                      (run, run_time(run)) + values).lastrowid


def _pairings(db, seq, observations, names, hostsets):
    rows = ((site, address, hw, seq, seq, hostsets.id_of(named(members, names)))
            for site, addresses in observations.items()
            for address, hws in addresses.items() for hw, members in hws.items())
    db.executemany("""INSERT INTO pairings (site, address, hwaddress, first_seq, last_seq, runs, first_hosts, last_hosts)
                      VALUES (?1, ?2, ?3, ?4, ?5, 1, ?6, ?6)
                      ON CONFLICT (site, address, hwaddress) DO UPDATE SET
                        runs = runs + (last_seq != excluded.last_seq),
                        last_seq = excluded.last_seq, last_hosts = excluded.last_hosts""", rows)


def _stations(db, updates):
    db.executemany("""INSERT INTO stations (site, address, hwaddress, previous, held, since_seq)
                      VALUES (?, ?, ?, ?, ?, ?)
                      ON CONFLICT (site, address) DO UPDATE SET hwaddress = excluded.hwaddress,
                        previous = excluded.previous, held = excluded.held, since_seq = excluded.since_seq""",
                   updates)


def valid_hwaddresses(hws):
    """A list of hardware addresses read back from the history, checked."""
    if not (isinstance(hws, list) and all(isinstance(hw, str) and HWADDRESS.fullmatch(hw) for hw in hws)):
        raise ValueError("a list of hardware addresses that is none")
    return hws


def _detail(row):
    """A finding's detail read back from the history, checked: what is
    shown of it is an address or a hardware address, or escaped."""
    detail = json.loads(row["detail"])
    if row["kind"] not in KINDS or row["state"] not in STATE_NAMES or not isinstance(detail, dict):
        raise ValueError(f"finding {shown(str(row['id']))} is of no kind or state of ours")
    addresses = detail.get("addresses")
    if not (isinstance(addresses, list) and addresses and all(isinstance(a, str) and ADDRESS.fullmatch(a)
                                                              for a in addresses)):
        raise ValueError(f"finding {shown(str(row['id']))} has no addresses")
    valid_hwaddresses(detail.get("hwaddresses"))
    if row["kind"] in SETTLING and not valid_hwaddresses([detail.get("to")]):
        raise ValueError(f"finding {shown(str(row['id']))} has no hardware address it moved to")
    return detail


def _open_findings(db, hostsets):
    rows = db.execute("""SELECT id, kind, site, detail, state, state_seq, first_seq, last_seq, settled, settled_seq,
                                hosts FROM findings WHERE state != 'resolved'""")
    return {r["id"]: dict(r, detail=_detail(r), hosts=hostsets.hosts_of(r["hosts"])) for r in rows}


def _stored(db, ident, open_findings):
    """A finding's (state, state_seq, first_seq), or None for one never found."""
    row = open_findings.get(ident)
    if row is None:
        row = db.execute("SELECT state, state_seq, first_seq FROM findings WHERE id = ?", (ident,)).fetchone()
    return row and (row["state"], row["state_seq"], row["first_seq"])


def _carried(row, settled):
    """An open finding found before, as one of this run's."""
    return {"id": row["id"], "kind": row["kind"], "severity": KINDS[row["kind"]], "site": row["site"],
            "detail": row["detail"], "hosts": row["hosts"], "settled": settled}


def _unfound(row, observations, collected, seq, settle_runs):
    """An open finding this run did not find: (its state now, its settled
    count), or (None, count) for a move or new station that still stands."""
    checked = set(row["hosts"]) <= collected
    if row["kind"] not in SETTLING:
        return next_state((row["state"], row["state_seq"]), False, checked, seq), row["settled"]
    hws = observations.get(row["site"], {}).get(row["detail"]["addresses"][0], {})
    stands, settled = settling(row, hws, seq, settle_runs)
    if stands:
        return None, settled
    if row["detail"].get("to") in hws:  # settled: the address's own hardware address now
        return RESOLVED, settled
    # An address that no table has is not back where it was: nothing says the move is over.
    return next_state((row["state"], row["state_seq"]), False, checked and bool(hws), seq), settled


def states(db, seq, found, observations, collected, settle_runs, hostsets):
    """Every finding of this run and every open one before, with its
    state in this run, written to the history; the changes of state."""
    found = {f["id"]: f for f in found}
    listed, changes = [], []
    open_findings = _open_findings(db, hostsets)
    for ident, row in open_findings.items():
        if ident in found:
            continue
        state, settled = _unfound(row, observations, collected, seq, settle_runs)
        if state is None:
            found[ident] = _carried(row, settled)
            continue
        if state != row["state"]:
            db.execute("UPDATE findings SET state = ?, state_seq = ?, settled = ? WHERE id = ?",
                       (state, seq, settled, ident))
            changes.append((state, row))
        listed.append(dict(_carried(row, settled), state=state, first_seq=row["first_seq"], last_seq=row["last_seq"]))
    for ident, f in found.items():
        stored = _stored(db, ident, open_findings)
        state = next_state(stored and stored[:2], True, True, seq)
        hosts, detail = hostsets.id_of(f["hosts"]), json.dumps(f["detail"])
        if stored is None:
            db.execute("""INSERT INTO findings (id, kind, severity, site, detail, hosts, state, first_seq, last_seq,
                          state_seq, settled_seq) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)""",
                       (ident, f["kind"], f["severity"], f["site"], detail, hosts, state, seq, seq, seq, seq))
        else:
            db.execute("""UPDATE findings SET detail = ?, hosts = ?, state = ?, last_seq = ?, state_seq = ?,
                          settled = ?, settled_seq = ? WHERE id = ?""",
                       (detail, hosts, state, seq, seq if state != stored[0] else stored[1],
                        f.get("settled", 0), seq, ident))
        if stored is None or state != stored[0]:
            changes.append((state, f))
        listed.append(dict(f, state=state, first_seq=stored[2] if stored else seq, last_seq=seq))
    return listed, changes


def newest_run(db):
    row = db.execute("SELECT run FROM runs ORDER BY seq DESC LIMIT 1").fetchone()
    return row and row[0]


def apply(db, root, run, analysis, settle_runs=SETTLE_RUNS, announce=True):
    """Brings the history up to date with one run's analysis, in one
    transaction, and appends the run's new and resolved findings to
    findings.jsonl (announce) just before it is committed, with no stop
    between the two: its findings with their states, and the events; None
    for a run older than the history's newest, which is left out."""
    observations = {}
    for site, addresses in analysis["observations"].items():
        observations.setdefault(stored_text(site), {}).update(addresses)
    names, collected = analysis["names"], analysis["collected"]
    db.execute("BEGIN IMMEDIATE")
    try:
        _made(db)
        newest = newest_run(db)
        if newest and newest != run and run_folder.newer(root, newest, run):
            db.execute("ROLLBACK")
            return None
        seq = _run_seq(db, run, analysis["report"]["coverage"])
        hostsets = Hostsets(db)
        found, updates = of_report(analysis["report"]), []
        for site, addresses in observations.items():
            more, changed = moves(db, seq, site, addresses, names, collected, hostsets)
            found += more
            updates += changed
        listed, changes = states(db, seq, found, observations, collected, settle_runs, hostsets)
        _stations(db, updates)
        _pairings(db, seq, observations, names, hostsets)
        at = run_folder.now()
        events = [event(state, f, run, at) for state, f in changes if state in (NEW, RESOLVED)]
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})
        try:
            if announce:
                write_events(root, events)
            db.execute("COMMIT")
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    except BaseException:
        with contextlib.suppress(sqlite3.Error):
            db.execute("ROLLBACK")
        raise
    return {"seq": seq, "findings": listed, "events": events}


def runs_of(db):
    return {row[1]: row[0] for row in db.execute("SELECT seq, run FROM runs")}


# Events: a line of findings.jsonl for each finding that is new or resolved.

def event(state, f, run, at):
    d = f["detail"]
    return {"time": at, "run": run, "id": f["id"], "kind": f["kind"], "severity": KINDS[f["kind"]],
            "state": state, "site": stored_text(f["site"]), "addresses": d["addresses"], "hwaddresses": d["hwaddresses"],
            "hosts": [stored_text(h) for h in f["hosts"]], "message": describe(f["kind"], d)}


def write_events(root, events):
    """Appends each event as one line to findings.jsonl, under the
    history's lock (held by the caller); a line a full disk cuts short is
    taken back, so that every line is whole. EventsError where it cannot."""
    if not events:
        return
    data = "".join(json.dumps(e, sort_keys=True) + "\n" for e in events).encode("ascii")
    try:
        # Never through a link, and never waiting for a FIFO's reader.
        fd = os.open(os.path.join(root, EVENTS),
                     os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o644)
    except OSError as error:
        raise EventsError("it is a link" if error.errno == errno.ELOOP else error.strerror) from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise EventsError("it is not a regular file")
        size = os.fstat(fd).st_size
        try:
            run_folder.write_all(fd, data)
        except OSError as error:
            os.ftruncate(fd, size)
            raise EventsError(error.strerror) from None
    finally:
        os.close(fd)


NOTICE = 25  # syslog's notice, between logging's INFO and WARNING
LEVELS = {"info": logging.INFO, "notice": NOTICE, "warning": logging.WARNING, "critical": logging.CRITICAL}
SYSLOG_LIMIT = 1024  # characters of a message: the rest is in findings.jsonl


class _Syslog(logging.handlers.SysLogHandler):
    """Syslog at each finding's own severity, and its failures raised, not printed."""

    priority_map = dict(logging.handlers.SysLogHandler.priority_map, NOTICE="notice")

    def handleError(self, record):
        raise  # pylint: disable=misplaced-bare-raise


def to_syslog(events, address="/dev/log"):
    """Each new finding to the local syslog at its severity, its text
    escaped as the report's; OSError where it cannot be sent."""
    logging.addLevelName(NOTICE, "NOTICE")
    log = logging.getLogger("arpexport.fleet.findings")
    log.propagate = False
    log.setLevel(logging.INFO)
    handler = _Syslog(address=address)
    try:
        handler.ident = "arpexport: "
        log.addHandler(handler)
        for e in events:
            if e["state"] == NEW:
                site = f"[{e['site']}] " if e["site"] else ""
                log.log(LEVELS[e["severity"]], "%s", one_line(
                    f"{e['severity']} finding {e['id']} {e['kind']} {site}{e['message']} (run {e['run']})",
                    SYSLOG_LIMIT))
    finally:
        log.removeHandler(handler)
        handler.close()


# Removing old runs.

REMOVING = ".removing."  # a run folder's name while it is removed


def runs_made(root):
    """The run folders of root (real folders with run names), in the order
    they were made; those made before that was kept first, by name."""
    order = run_folder.made_order(root)
    with os.scandir(root) as entries:
        runs = [e.name for e in entries if run_folder.RUN_NAME.match(e.name) and e.is_dir(follow_symlinks=False)]
    return sorted(runs, key=lambda n: (order.get(n, -1), run_folder.run_key(n)))


def removable(root, current, keep_runs, keep_days, known_runs, now=None):
    """The run folders of root beyond both bounds (those given), oldest
    first: real folders with run names, never the current run, the one
    latest names, or one the history does not hold."""
    if keep_runs is None and keep_days is None:
        return []
    try:
        latest = os.readlink(os.path.join(root, run_folder.LATEST))
    except OSError:
        latest = None
    runs = runs_made(root)
    kept = set(runs[-keep_runs:]) if keep_runs else set()
    if keep_days is not None:
        limit = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime((now or time.time()) - keep_days * 86400))
        kept |= {n for n in runs if n.partition("-")[0] >= limit}
    return [n for n in runs if n not in kept and n not in (current, latest)
            and (known_runs is None or n in known_runs)]


def remove_runs(root, names):
    """Removes run folders: each first renamed out of the runs' names, so
    that a stop leaves no part of a run under its name; never through a link."""
    removed, faults = [], []
    for name in names:
        hidden = os.path.join(root, REMOVING + name)
        try:
            if not stat.S_ISDIR(os.lstat(os.path.join(root, name)).st_mode):
                continue
            os.rename(os.path.join(root, name), hidden)
            _remove_tree(hidden)
            removed.append(name)
        except OSError as error:
            faults.append(f"{name}: {error.strerror or error}")
    with os.scandir(root) as entries:  # what a stop left before
        for e in entries:
            if e.name.startswith(REMOVING) and run_folder.RUN_NAME.match(e.name[len(REMOVING):]) \
                    and e.is_dir(follow_symlinks=False):
                with contextlib.suppress(OSError):
                    _remove_tree(e.path)
    return removed, faults


def _remove_tree(path):
    if not shutil.rmtree.avoids_symlink_attacks:
        raise OSError(errno.ENOTSUP, "this system cannot remove a folder safely")
    shutil.rmtree(path)


# Bringing up to date, and rebuilding.

def bring_up_to_date(root, run, analysis, settle_runs=SETTLE_RUNS, wait=LOCK_WAIT):
    """The history brought up to date with a run, and its new and resolved
    findings appended to findings.jsonl; what apply gives, with the runs
    the history holds; HistoryError where it is left as it was."""
    path = os.path.join(root, HISTORY)
    try:
        with locked(root, wait):
            db = connect(path)
            try:
                applied = apply(db, root, run, analysis, settle_runs)
                if applied is not None:
                    applied["known_runs"] = runs_of(db)
                return applied
            finally:
                db.close()
    except EventsError as error:
        raise HistoryError(f"{shown(os.path.join(root, EVENTS))} cannot be written ({error}), "
                           "so the history is left as it was") from None
    except (sqlite3.Error, OSError) as error:
        raise fault(path, error) from None
    except (ValueError, KeyError, TypeError) as error:
        raise HistoryError(f"{shown(path)} holds what this collection did not write ({error}); "
                           "move it aside and rebuild it") from None


def rebuild(root, analyse, settle_runs=SETTLE_RUNS):
    """Makes the history again from the run folders in root, in the order
    they were made, under a new name put in place once whole; analyse(folder)
    gives a run's analysis. The run folders it took in."""
    path = os.path.join(root, HISTORY)
    runs = runs_made(root)
    taken = []
    with locked(root):
        temporary = os.path.join(root, f".{HISTORY}.rebuild")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        try:
            db = connect(temporary)
            try:
                for run in runs:
                    analysis = analyse(os.path.join(root, run))
                    if analysis is not None and apply(db, root, run, analysis, settle_runs, announce=False) is not None:
                        taken.append(run)
            finally:
                db.close()
            os.replace(temporary, path)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
            raise
    return taken


def content(path):
    """Every row of a history, table by table: what two histories are compared by."""
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return {t: db.execute(f"SELECT * FROM {t} ORDER BY 1").fetchall()  # nosec: our own names
                for t in ("runs", "hostsets", "pairings", "stations", "findings")}
    finally:
        db.close()


USAGE = """usage: python3 -m ansible_collections.arpexport.fleet.plugins.plugin_utils.history
         rebuild [--settle-runs N] TABLES

Makes TABLES/history.sqlite again from the run folders in TABLES, in the
order they were made; the old one is replaced once the new one is whole.
Give the settle_runs that the runs had (3). A rebuild knows only the run
folders that are there: runs already removed are no longer in it.
"""


def _arguments(argv):
    """(settle_runs, folder) of the command line, or None."""
    if len(argv) == 3 and argv[1] == "rebuild":
        return SETTLE_RUNS, argv[2]
    if len(argv) == 5 and argv[1] == "rebuild" and argv[2] == "--settle-runs" and argv[3].isdigit() \
            and int(argv[3]) > 0:
        return int(argv[3]), argv[4]
    return None


def main(argv):
    # The report's module imports this one; imported here, not at the top.
    from ansible_collections.arpexport.fleet.plugins.plugin_utils import report  # pylint: disable=import-outside-toplevel
    if len(argv) == 2 and argv[1] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return 0
    arguments = _arguments(argv)
    if arguments is None:
        sys.stderr.write(USAGE)
        return 2
    settle_runs, folder = arguments
    root = os.path.realpath(folder)
    if not os.path.isdir(root):
        sys.stderr.write(f"history: {shown(folder)} is not a folder\n")
        return 1
    path = os.path.join(root, HISTORY)
    try:
        taken = rebuild(root, report.analysis_of, settle_runs)
    except HistoryError as error:
        sys.stderr.write(f"history: {error}\n")
        return 1
    except (sqlite3.Error, OSError) as error:
        sys.stderr.write(f"history: {fault(path, error)}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("history: stopped; the history is as it was\n")
        return 130
    sys.stdout.write(f"{shown(path)}: rebuilt from {len(taken)} runs\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""The history over runs in a row: arpwatch's verdicts across a site's
hosts, findings with their states, events once a change, a rebuild that
gives the same history, and a history that cannot be used left as it was;
old runs removed within bounds and nothing else."""
import calendar
import fcntl
import json
import os
import sqlite3

import pytest

from ansible_collections.arpexport.fleet.plugins.plugin_utils import history, report, run_folder
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import GW, ROGUE, rows, write

OTHER = "0a:00:00:00:00:77"
OPTIONS = {"settle_runs": 2}


def run_name(n):
    return f"20261211T0000{n:02d}Z"


def a_run(root, n, tables, run_json=None, settle_runs=2):
    """Run n with {host: [(address, hwaddress)]}; its report and history: (report.json, summary)."""
    folder = os.path.join(root, run_name(n))
    for host, entries in tables.items():
        write(os.path.join(folder, host + ".txt"), rows(*entries))
    if run_json is not None:
        write(os.path.join(folder, "run.json"), json.dumps({"hosts": run_json}))
    text, r, dummy = report.report_run(folder, None, {"settle_runs": settle_runs})
    return r, text


def states(r, kind=None):
    return sorted((f["kind"], f["state"], f["hwaddresses"][-1] if f["hwaddresses"] else None)
                  for f in r["findings"] if kind in (None, f["kind"]))


def events(root):
    with open(os.path.join(root, history.EVENTS), encoding="ascii") as f:
        return [json.loads(line) for line in f]


def gateway_at(*hws):
    """Two hosts that see the gateway at each hardware address in turn, each its own neighbour too."""
    return [{"a": [("10.0.0.1", hw), ("10.0.0.11", "0a:00:00:00:00:11")],
             "b": [("10.0.0.1", hw), ("10.0.0.10", "0a:00:00:00:00:10")]} for hw in hws]


def test_a_gateway_changes_flips_back_stays_and_settles(tmp_path):
    root = str(tmp_path)
    got = [a_run(root, n, tables)[0] for n, tables in enumerate(gateway_at(GW, ROGUE, GW, GW, GW))]
    assert got[0]["findings"] == []  # the first run is what the fleet has
    assert states(got[1]) == [("changed", "new", ROGUE)]
    assert states(got[2]) == [("changed", "resolved", ROGUE), ("flip_flop", "new", GW)]
    assert states(got[3]) == [("flip_flop", "ongoing", GW)]
    assert states(got[4]) == [("flip_flop", "resolved", GW)]
    lines = [(e["run"], e["kind"], e["state"]) for e in events(root)]
    assert lines == [(run_name(1), "changed", "new"), (run_name(2), "changed", "resolved"),
                     (run_name(2), "flip_flop", "new"), (run_name(4), "flip_flop", "resolved")]
    assert events(root)[0]["message"] == f"10.0.0.1: changed: {GW} -> {ROGUE}"
    ids = {f["kind"]: f["id"] for r in got for f in r["findings"]}
    assert len(set(ids.values())) == 2 and all(len(i) == 16 for i in ids.values())


def test_an_older_hardware_address_again_is_reused_and_a_new_address_a_new_station(tmp_path):
    root = str(tmp_path)
    for n, tables in enumerate(gateway_at(GW, ROGUE, OTHER)):
        a_run(root, n, tables)
    tables = gateway_at(GW)[0]
    tables["a"].append(("10.0.0.99", "0a:00:00:00:00:99"))
    r, text = a_run(root, 3, tables)
    assert ("reused", "new", GW) in states(r) and ("new_station", "new", "0a:00:00:00:00:99") in states(r)
    assert text.startswith("New findings: 2; 0 ongoing")
    assert f"  warning reused: 10.0.0.1: back to an older one: {OTHER} -> {GW} (a, b)" in text


def test_a_few_hosts_that_see_another_hardware_address_disagree_and_most_move_the_address(tmp_path):
    root = str(tmp_path)
    three = dict(gateway_at(GW)[0], c=[("10.0.0.1", GW)])
    a_run(root, 0, three)
    poisoned = dict(three, b=[("10.0.0.1", ROGUE)])
    for n in (1, 2):  # b alone: the others still see the gateway where it was
        r, dummy = a_run(root, n, poisoned)
        assert states(r) == [("disagreement", "new" if n == 1 else "ongoing", ROGUE)]
    moved = dict(poisoned, c=[("10.0.0.1", ROGUE)])
    r, dummy = a_run(root, 3, moved)
    assert states(r) == [("changed", "new", ROGUE), ("disagreement", "ongoing", ROGUE)]
    assert [f["hosts"] for f in r["findings"] if f["kind"] == "changed"] == [["b", "c"]]
    r, dummy = a_run(root, 4, dict(moved, a=[("10.0.0.1", ROGUE)]))
    assert states(r) == [("changed", "ongoing", ROGUE), ("disagreement", "resolved", ROGUE)]


def test_a_finding_of_a_host_not_collected_is_unchecked_not_resolved(tmp_path):
    root = str(tmp_path)
    record = {"a": {"collected": True}, "b": {"collected": True}}
    a_run(root, 0, gateway_at(GW)[0], record)
    poisoned = gateway_at(GW)[0]
    poisoned["b"][0] = ("10.0.0.1", ROGUE)
    a_run(root, 1, poisoned, record)
    missed = {"a": {"collected": True}, "b": {"collected": False, "reason": "unreachable"}}
    r, text = a_run(root, 2, {"a": gateway_at(GW)[0]["a"]}, missed)
    assert states(r) == [("disagreement", "unchecked", ROGUE)]
    assert "Unchecked: 1" in text
    r, dummy = a_run(root, 3, gateway_at(GW)[0], record)
    assert states(r) == [("disagreement", "resolved", ROGUE)]
    assert [e["state"] for e in events(root)] == ["new", "resolved"]


def test_a_host_not_collected_is_taken_to_see_what_it_saw_last(tmp_path):
    root = str(tmp_path)
    record = {"a": {"collected": True}, "b": {"collected": True}}
    a_run(root, 0, gateway_at(GW)[0], record)
    missed = {"a": {"collected": True}, "b": {"collected": False, "reason": "unreachable"}}
    r, dummy = a_run(root, 1, {"a": gateway_at(ROGUE)[0]["a"]}, missed)
    assert states(r) == []  # a alone, against b's last view: no move yet
    r, dummy = a_run(root, 2, {"a": gateway_at(ROGUE)[0]["a"]}, {"a": {"collected": True}})
    assert states(r) == []  # nor with b left out of the pass
    r, dummy = a_run(root, 3, gateway_at(ROGUE)[0], record)
    assert states(r) == [("changed", "new", ROGUE)]
    r, dummy = a_run(root, 4, {"a": [], "b": []}, record)
    assert states(r) == [("changed", "unchecked", ROGUE)]  # no table has it: not over
    r, dummy = a_run(root, 5, gateway_at(ROGUE)[0], record)
    assert states(r) == [("changed", "ongoing", ROGUE)]


def test_a_run_reported_again_changes_nothing_and_an_older_one_is_left_out(tmp_path):
    root = str(tmp_path)
    for n, tables in enumerate(gateway_at(GW, ROGUE)):
        a_run(root, n, tables)
    before = history.content(os.path.join(root, history.HISTORY))
    dummy, again, held = report.report_run(os.path.join(root, run_name(1)), None, OPTIONS)
    assert states(again) == [("changed", "new", ROGUE)] and held == {run_name(0), run_name(1)}
    assert history.content(os.path.join(root, history.HISTORY)) == before
    assert len(events(root)) == 1
    text, older, held = report.report_run(os.path.join(root, run_name(0)), None, OPTIONS)
    assert held is None and "findings" not in older
    assert text.startswith("History: not brought up to date: it holds a run made after this one")


def test_a_rebuild_from_the_run_folders_gives_the_same_history(tmp_path):
    root = str(tmp_path)
    runs = gateway_at(GW, ROGUE, GW, OTHER, GW)
    runs[2]["c"] = [("10.0.0.1", ROGUE)]
    for n, tables in enumerate(runs):
        a_run(root, n, tables, settle_runs=history.SETTLE_RUNS)
    path = os.path.join(root, history.HISTORY)
    before = history.content(path)
    assert history.rebuild(root, report.analysis_of) == [run_name(n) for n in range(5)]
    assert history.content(path) == before
    for n in range(5, 7):  # settled sooner: the rebuild given the same settle_runs gives the same
        a_run(root, n, runs[-1], settle_runs=1)
    before = history.content(path)
    history.rebuild(root, report.analysis_of, 1)
    assert history.content(path) == before
    assert not [n for n in os.listdir(root) if n.startswith(".history") and n != history.LOCK]
    db = sqlite3.connect(path)
    assert db.execute("SELECT runs, first_run, last_run FROM seen WHERE address = '10.0.0.1' AND hwaddress = ?",
                      (GW,)).fetchone() == (5, run_name(0), run_name(6))


def spoiled_row(path, sql):
    """A history of our own with one open finding, then spoiled by sql."""
    root = os.path.dirname(path)
    a_run(root, 0, gateway_at(GW)[0])
    poisoned = gateway_at(GW)[0]
    poisoned["b"][0] = ("10.0.0.1", ROGUE)
    a_run(root, 1, poisoned)
    db = sqlite3.connect(path)
    db.execute(sql)
    db.commit()
    db.close()


@pytest.mark.parametrize("spoil, says", [
    (lambda path: write(path, "not a database\n" * 100), "it is not a database"),
    (lambda path: sqlite3.connect(path).execute("CREATE TABLE mine (x)"), "is a database, but not a history of runs"),
    (lambda path: sqlite3.connect(path).execute(f"PRAGMA application_id = {history.APPLICATION}")
     .execute("PRAGMA user_version = 99"), "is of a newer version of this collection (99; this one reads 1)"),
    (lambda path: os.symlink("/etc/passwd", path), "is not a regular file"),
    (lambda path: spoiled_row(path, "UPDATE findings SET kind = 'bogus'"), "holds what this collection did not write"),
    (lambda path: spoiled_row(path, "UPDATE findings SET detail = '{\"addresses\": [\"\u001b[8m\"]}'"),
     "holds what this collection did not write"),
    (lambda path: spoiled_row(path, "UPDATE hostsets SET hosts = 'no' || id"), "holds what this collection did not write"),
])
def test_a_history_that_cannot_be_used_is_left_as_it_was_and_the_report_written(tmp_path, spoil, says):
    root = str(tmp_path)
    path = os.path.join(root, history.HISTORY)
    spoil(path)
    before = os.readlink(path) if os.path.islink(path) else open(path, "rb").read()  # pylint: disable=consider-using-with
    r, text = a_run(root, 2, gateway_at(GW)[0])
    assert r["history"]["brought_up_to_date"] is False and says in r["history"]["fault"]
    assert text.startswith(f"History: not brought up to date: {path}")
    assert os.path.exists(os.path.join(root, run_name(2), "report", "report.json"))
    assert (os.readlink(path) if os.path.islink(path) else open(path, "rb").read()) == before  # pylint: disable=consider-using-with


def test_a_history_locked_by_another_run_is_waited_for_then_left(tmp_path, monkeypatch):
    root = str(tmp_path)
    monkeypatch.setattr(history, "LOCK_WAIT", 0.3)
    fd = os.open(os.path.join(root, history.LOCK), os.O_RDWR | os.O_CREAT, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    try:
        with pytest.raises(history.HistoryError, match="another run has held the history's lock for 0.3 s"):
            history.bring_up_to_date(root, run_name(0), {}, wait=0.3)
    finally:
        os.close(fd)


def test_a_stop_while_the_history_is_brought_up_to_date_leaves_it_as_it_was(tmp_path, monkeypatch):
    root = str(tmp_path)
    a_run(root, 0, gateway_at(GW)[0])
    path = os.path.join(root, history.HISTORY)
    before = history.content(path)

    def stopped(*args):
        raise KeyboardInterrupt
    monkeypatch.setattr(history, "_pairings", stopped)
    with pytest.raises(KeyboardInterrupt):
        a_run(root, 1, gateway_at(ROGUE)[0])
    assert history.content(path) == before
    assert not os.path.exists(os.path.join(root, history.EVENTS))


def test_findings_jsonl_that_cannot_be_written_leaves_the_history_as_it_was(tmp_path):
    root = str(tmp_path)
    a_run(root, 0, gateway_at(GW)[0])
    before = history.content(os.path.join(root, history.HISTORY))
    os.mkfifo(os.path.join(root, history.EVENTS))  # no reader: never waited for
    r, text = a_run(root, 1, gateway_at(ROGUE)[0])
    assert text.startswith(f"History: not brought up to date: {root}/{history.EVENTS} cannot be written")
    assert history.content(os.path.join(root, history.HISTORY)) == before
    os.unlink(os.path.join(root, history.EVENTS))
    dummy, r, held = report.report_run(os.path.join(root, run_name(1)), None, OPTIONS)
    assert states(r) == [("changed", "new", ROGUE)] and [e["kind"] for e in events(root)] == ["changed"]


def test_events_are_whole_lines_of_escaped_json(tmp_path):
    root = str(tmp_path)
    site = "east\n\x1b[8m\u2028\udcff"
    record = {"a": {"collected": True, "site": site}, "b": {"collected": True, "site": site}}
    a_run(root, 0, gateway_at(GW)[0], record)
    poisoned = gateway_at(GW)[0]
    poisoned["b"][0] = ("10.0.0.1", ROGUE)
    a_run(root, 1, poisoned, record)
    with open(os.path.join(root, history.EVENTS), "rb") as f:
        data = f.read()
    assert data.count(b"\n") == 1 and data.isascii()
    assert {e["site"] for e in events(root)} == {"east\\n\\x1b[8m\\u2028\\xff"}  # escaped, as it is not UTF-8


def test_each_new_finding_goes_to_syslog_escaped(tmp_path):
    import socket  # pylint: disable=import-outside-toplevel
    path = str(tmp_path / "log")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    try:
        f = history.finding("changed", "east\x1b", ["10.0.0.1", GW, ROGUE], ["10.0.0.1"], [GW, ROGUE], ["b"], to=ROGUE)
        history.to_syslog([history.event(history.NEW, f, run_name(1), "now"),
                           history.event(history.RESOLVED, f, run_name(2), "now")], address=path)
        sock.settimeout(1)
        got = sock.recv(4096)
        sock.setblocking(False)
        with pytest.raises(BlockingIOError):  # resolved ones are not sent
            sock.recv(4096)
    finally:
        sock.close()
    assert b"arpexport: warning finding " in got and b"[east\\x1b] 10.0.0.1: changed" in got


def test_next_state():
    seq = 5
    cases = [((None, True, True), history.NEW), (((history.RESOLVED, 2), True, True), history.NEW),
             (((history.NEW, 5), True, True), history.NEW), (((history.NEW, 4), True, True), history.ONGOING),
             (((history.UNCHECKED, 4), True, True), history.ONGOING),
             (((history.ONGOING, 4), False, True), history.RESOLVED),
             (((history.ONGOING, 4), False, False), history.UNCHECKED),
             (((history.RESOLVED, 4), False, True), history.RESOLVED), ((None, False, True), None)]
    assert [history.next_state(*args, seq) for args, dummy in cases] == [want for dummy, want in cases]


def make_runs(root, names):
    for name in names:
        os.makedirs(os.path.join(root, name, "report"))
        write(os.path.join(root, name, "a.txt"), "")


def test_old_runs_beyond_the_bounds_are_removed_and_nothing_else(tmp_path):
    root = str(tmp_path / "tables")
    names = [f"2026120{d}T000000Z" for d in range(1, 8)]
    make_runs(root, names)
    os.symlink(names[0], os.path.join(root, run_folder.LATEST))  # latest stays, whatever its age
    os.symlink(str(tmp_path / "elsewhere"), os.path.join(root, "20261101T000000Z"))  # a link with a run's name
    os.makedirs(tmp_path / "elsewhere" / "keep")
    write(os.path.join(root, "20261102T000000Z"), "a file with a run's name")
    os.makedirs(os.path.join(root, "notarun"))
    known = set(names) - {names[1]}  # the history does not hold names[1]
    gone = history.removable(root, names[-1], 3, None, known)
    assert gone == [names[2], names[3]]
    now = calendar.timegm((2026, 12, 8, 0, 0, 0))
    assert history.removable(root, names[-1], None, 3, known, now=now) == gone
    assert history.removable(root, names[-1], 1, 5, None, now=now) == [names[1]]
    removed, faults = history.remove_runs(root, gone)
    assert removed == gone and faults == []
    assert sorted(os.listdir(root)) == sorted(["20261101T000000Z", "20261102T000000Z", "latest", "notarun",
                                               names[0], names[1], names[4], names[5], names[6]])
    assert os.listdir(tmp_path / "elsewhere") == ["keep"]
    # A removal that a stop cut short is finished by the next.
    os.makedirs(os.path.join(root, f".removing.{names[4]}", "report"))
    history.remove_runs(root, [])
    assert not os.path.exists(os.path.join(root, f".removing.{names[4]}"))


def test_the_readmes_queries_run_on_a_history(tmp_path):
    root = str(tmp_path)
    for n, tables in enumerate(gateway_at(GW, ROGUE)):
        a_run(root, n, tables)
    readme = os.path.join(os.path.dirname(history.__file__), *[os.pardir] * 2, "README.md")
    with open(readme, encoding="utf-8") as f:
        block = f.read().split("```sql\n", 1)[1].split("```", 1)[0]
    queries = [line for line in block.splitlines() if line.startswith("SELECT")]
    db = sqlite3.connect(f"file:{os.path.join(root, history.HISTORY)}?mode=ro", uri=True)
    got = [db.execute(q).fetchall() for q in queries]
    assert len(got) == 4
    assert got[2] == [("new", "warning", "changed", "", run_name(1), run_name(1), '["a", "b"]')]
    assert [row[0] for row in got[3]] == [run_name(0), run_name(1)]

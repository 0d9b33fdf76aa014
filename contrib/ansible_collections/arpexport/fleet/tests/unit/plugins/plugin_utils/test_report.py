"""The report over a folder of tables: coverage, changes since earlier
runs, the summary; and a folder in any shape: every table reported on,
everything else named and left out, nothing opened but regular files,
memory within the tables, no formula in the CSV, no control character
shown, the tables untouched."""
import json
import os
import stat
import subprocess
import sys
import tracemalloc

import pytest

from ansible_collections.arpexport.fleet.plugins.plugin_utils import report
from ansible_collections.arpexport.fleet.tests.unit.plugins.plugin_utils.conftest import RUN1, RUN2, reported
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import BROADCAST, COLLECTIONS, GW, ROGUE, \
    report_process, rows, write


def test_a_run_named_by_latest_or_by_its_name_is_reported_alike(three_runs):
    root, by_latest = three_runs
    by_name = reported(os.path.join(root, RUN2))
    assert by_name == by_latest


def test_coverage_names_each_host_not_collected_with_its_reason(three_runs):
    dummy, (got, unused) = three_runs
    assert got["coverage"]["not_collected"] == {
        "gone": "unreachable: no route to host",
        "listed": "run.json lists it collected, but there is no table for it"}


@pytest.mark.parametrize("line", [
    "Coverage: 16 of 18 hosts collected, 2 not", "Disagreements: 3 addresses",
    f"[no site] 10.0.0.1 (10.0.0.0/23, 10.0.0.0/24): {GW} by a, c, wide; {ROGUE} by b",
    "Empty tables: 1: new", "(the newest, 20261210T000000Z): 3 hosts changed, 12 with no"])
def test_the_summary_says(three_runs, line):
    dummy, (unused, text) = three_runs
    assert line in text


def test_changes_are_taken_from_each_hosts_newest_earlier_table(three_runs):
    # d's table is the same in both runs; the later run is no earlier one.
    dummy, (got, unused) = three_runs
    assert got["changes"] == {
        "a": {"since": RUN1, "added": [], "removed": ["10.0.0.2 - 0a:00:00:00:00:02"], "changed": []},
        "b": {"since": RUN1, "added": ["10.0.0.7 - 0a:00:00:00:00:07", f"10.0.0.66 - {ROGUE}"],
              "removed": [], "changed": [{"address": "10.0.0.1", "old": [GW], "new": [ROGUE]}]},
        "c": {"since": RUN1, "added": [f"10.0.0.254 - {BROADCAST}"], "removed": [], "changed": []}}


def test_the_first_run_has_no_changes_to_show(three_runs):
    root, dummy = three_runs
    assert "Changes: no earlier run beside this one to compare with." in reported(os.path.join(root, RUN1))[1]


# "\\xff-name" beside a file named with the byte \xff: two hosts, both read.
NAMES = ["good", "report", "=HYPERLINK(1)", "+cmd", "-2+3", "@SUM(1+1)", "\x1b[8mhidden", "lab;=1+2+cmd|calc!A0",
         "\\xff-name"]


def unchanged_by_a_reader(path):
    """What a reader must leave as it was: not the access time, which the
    kernel sets on a read."""
    st = os.lstat(path)
    contents = None
    if stat.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            contents = f.read()
    elif stat.S_ISLNK(st.st_mode):
        contents = os.readlink(path)
    return contents, st.st_size, st.st_mode, st.st_mtime_ns, st.st_ino


@pytest.fixture(scope="module", name="shape")
def a_folder_in_any_shape(tmp_path_factory):
    """The folder, what it held before the report, the report's peak of
    memory, report.json and the summary."""
    folder = str(tmp_path_factory.mktemp("shape"))
    table = rows(("10.0.0.1", GW))
    for name in NAMES:
        write(os.path.join(folder, f"{name}.txt"), table)
    write(os.path.join(folder, "bom.txt"), "\ufeff" + table)
    write(os.path.join(folder, "garbage.txt"), b"ab\n" * (5 << 20))
    with open(os.path.join(os.fsencode(folder), b"\xff-name.txt"), "w", encoding="ascii") as f:
        f.write(table)
    os.symlink("/etc/shadow", os.path.join(folder, "link.txt"))
    os.mkfifo(os.path.join(folder, "fifo.txt"))
    os.mkdir(os.path.join(folder, "dir.txt"))
    if os.geteuid() == 0:
        os.mknod(os.path.join(folder, "dev.txt"), 0o600 | stat.S_IFCHR, os.makedev(1, 5))
    before = {n: unchanged_by_a_reader(os.path.join(os.fsencode(folder), n)) for n in os.listdir(os.fsencode(folder))}
    tracemalloc.start()
    try:
        text = report.write_report(folder)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    with open(os.path.join(folder, "report", "report.json"), encoding="utf-8") as f:
        got = json.load(f)
    return folder, before, peak, got, text


def test_a_large_file_is_read_within_a_few_megabytes(shape):
    assert shape[2] < 8 << 20  # beside 15 MB of garbage


def test_what_is_no_table_is_named_and_left_out(shape):
    expected = {"link": "link.txt is a link; left out", "fifo": "fifo.txt is a FIFO; left out",
                "dir": "dir.txt is a folder; left out", "bom": "bom.txt is not a table",
                "garbage": "garbage.txt is not a table"}
    if os.geteuid() == 0:
        expected["dev"] = "dev.txt is a device; left out"
    assert {h: why.split(" (")[0] for h, why in shape[3]["coverage"]["not_collected"].items()} == expected


def test_every_table_is_reported_on_whatever_its_name(shape):
    assert shape[3]["coverage"]["collected"] == len(NAMES) + 1


def test_no_host_name_in_the_csv_is_a_formula(shape):
    with open(os.path.join(shape[0], "report", "fleet.csv"), newline="", encoding="utf-8") as f:
        fields = [line.split(",")[0] for line in f.read().splitlines()[1:]]
    # A name with a separator that a spreadsheet may split at (; in much
    # of Europe) is quoted, so that no part of it is a field of its own.
    assert sorted(fields) == sorted(['"\'+cmd"', '"\'-2+3"', '"\'=HYPERLINK(1)"', '"\'@SUM(1+1)"',
                                     '"lab;=1+2+cmd|calc!A0"', "\\x1b[8mhidden", "\\xff-name", "\\xff-name", "good", "report"])


def test_the_summary_shows_no_control_character(shape):
    assert not any(c in shape[4] for c in "\x1b\r\x9b")


def test_the_report_leaves_the_folder_as_it_was(shape):
    folder, before = os.fsencode(shape[0]), shape[1]
    assert {n: unchanged_by_a_reader(os.path.join(folder, n)) for n in os.listdir(folder) if n != b"report"} == before


@pytest.mark.parametrize("record", ['{"hosts": {', b"\xff\xfe", "[]", "[" * 100000 + "]" * 100000,
                                    "[" + "{}," * (4 << 20) + "{}]"],
                         ids=["cut short", "not UTF-8", "no hosts", "nested deep", "millions of objects"])
def test_a_run_json_that_is_no_runs_record_stops_the_report(tmp_path, record):
    write(os.path.join(tmp_path, "a.txt"), rows(("10.0.0.1", GW)))
    write(os.path.join(tmp_path, "run.json"), record)
    done = report_process(str(tmp_path))
    assert done.returncode == 1
    assert "cannot be read as a run's record" in done.stderr


def test_the_report_tells_its_usage():
    done = report_process(None, "--help")
    assert (done.returncode, done.stdout[:6]) == (0, "usage:")


def test_a_report_stopped_while_it_writes_leaves_the_last_one_whole(tmp_path):
    folder = str(tmp_path)
    write(os.path.join(folder, "a.txt"), rows(("10.0.0.1", GW)))
    report.write_report(folder)
    out = os.path.join(folder, "report")
    before = {}
    for name in os.listdir(out):
        with open(os.path.join(out, name), "rb") as f:
            before[name] = f.read()
    # The sites' lookup, made while the tables are read, stops it.
    stop = ("import os, sys; from ansible_collections.arpexport.fleet.plugins.plugin_utils import report\n"
            "class Stop(dict):\n  def get(self, *a): os.kill(os.getpid(), 15)\n"
            "report.write_report(sys.argv[1], Stop(x=1))")
    stopped = subprocess.run([sys.executable, "-c", stop, folder], capture_output=True, check=False,
                             env=dict(os.environ, PYTHONPATH=COLLECTIONS))
    assert stopped.returncode == 143
    after = {}
    for name in os.listdir(out):
        with open(os.path.join(out, name), "rb") as f:
            after[name] = f.read()
    assert after == before
    assert sorted(after) == ["fleet.csv", "report.json", "report.txt"]


def test_a_file_that_turns_out_no_table_takes_no_part_in_any_finding(tmp_path):
    write(os.path.join(tmp_path, "a.txt"), rows(("10.0.0.1", GW)))
    write(os.path.join(tmp_path, "b.txt"), rows(("10.0.0.9", ROGUE)) + "not a row\n")
    write(os.path.join(tmp_path, "c.txt"), rows(("10.0.0.9", GW)))
    report.write_report(str(tmp_path))
    with open(os.path.join(tmp_path, "report", "report.json"), encoding="utf-8") as f:
        got = json.load(f)
    assert (got["disagreements"], list(got["coverage"]["not_collected"])) == ([], ["b"])


def test_changes_are_found_whether_a_table_kept_its_order_or_not():
    old = [f"10.0.{i >> 8}.{i & 255} - 0a:00:00:00:00:01" for i in range(1, 200)]
    in_order = old[:50] + ["10.0.0.51 - 0a:00:00:00:00:02"] + old[51:]
    moved = in_order[1:] + ["10.9.9.9 - 0a:00:00:00:00:09"]
    assert (report.in_place(old, in_order), report.in_place(old, moved)) == (True, False)
    assert report.changes(old, in_order) == {
        "added": [], "removed": [],
        "changed": [{"address": "10.0.0.51", "old": ["0a:00:00:00:00:01"], "new": ["0a:00:00:00:00:02"]}]}
    assert report.changes(old, moved) == {
        "added": ["10.9.9.9 - 0a:00:00:00:00:09"], "removed": ["10.0.0.1 - 0a:00:00:00:00:01"],
        "changed": [{"address": "10.0.0.51", "old": ["0a:00:00:00:00:01"], "new": ["0a:00:00:00:00:02"]}]}

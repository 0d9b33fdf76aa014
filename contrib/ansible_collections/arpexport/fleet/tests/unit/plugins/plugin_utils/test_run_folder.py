"""A run's folder on the controller: its name, latest, passes at once
under the run's lock, and run.json folded from every pass."""
import multiprocessing
import os

import pytest

from ansible_collections.arpexport.fleet.plugins.plugin_utils import run_folder
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import ended_process, recorded, settle_many

HOSTS = [f"h{i}" for i in range(30)]
WRITERS = 4


@pytest.fixture(name="names")
def eleven_runs_in_one_second(tmp_path):
    return [run_folder.new_run(str(tmp_path), now=0) for dummy in range(11)]


def test_runs_started_in_one_second_get_folders_of_their_own(names):
    assert names[:3] == ["19700101T000000Z", "19700101T000000Z-2", "19700101T000000Z-3"]
    assert len(set(names)) == 11


def test_run_names_sort_in_the_order_the_runs_started(names):
    assert sorted(reversed(names), key=run_folder.run_key) == names


def test_latest_is_not_moved_back_to_an_older_run(tmp_path, names):
    run_folder.point_latest(str(tmp_path), names[10])
    assert run_folder.point_latest(str(tmp_path), names[9]) == names[10]
    assert os.readlink(os.path.join(tmp_path, "latest")) == names[10]


@pytest.mark.parametrize("name", ["latest", "20991231T000000Z"], ids=["not a run's name", "no such run"])
def test_a_re_pass_needs_an_existing_run(tmp_path, names, name):
    del names
    with pytest.raises(ValueError):
        run_folder.existing_run(str(tmp_path), name)


@pytest.fixture(scope="module", name="passes")
def passes_at_once(tmp_path_factory):
    """Four passes over 30 hosts at once, started while the run's lock is
    held here: whether the first waited, and the run's folder after."""
    root = str(tmp_path_factory.mktemp("runs"))
    folder = os.path.join(root, run_folder.new_run(root))
    # Spawned: a forked child would share the lock held here.
    spawn = multiprocessing.get_context("spawn")
    writers = [spawn.Process(target=settle_many, args=(folder, w, HOSTS)) for w in range(WRITERS)]
    with run_folder.locked(folder):
        for writer in writers:
            writer.start()
        writers[0].join(0.5)
        waited = writers[0].is_alive() and not os.path.exists(os.path.join(folder, "h0.txt"))
    for writer in writers:
        writer.join()
    run_folder.record(folder, "note")
    return waited, folder, [writer.exitcode for writer in writers]


def test_no_table_is_put_in_place_while_another_holds_the_lock(passes):
    assert passes[0]


def test_passes_at_once_lose_no_host(passes):
    dummy, folder, exits = passes
    assert exits == [0] * WRITERS
    assert sorted(recorded(folder)) == sorted(HOSTS + ["failing-" + h for h in HOSTS])


def test_each_table_lies_beside_its_own_outcome(passes):
    dummy, folder, unused = passes
    hosts = recorded(folder)
    for name in HOSTS:
        with open(os.path.join(folder, name + ".txt"), encoding="ascii") as f:
            assert len(f.readlines()) == hosts[name]["lines"], name


def test_passes_at_once_leave_no_temporary_table(passes):
    assert [n for n in os.listdir(passes[1]) if n.startswith(".h")] == []


OK = {"collected": True, "lines": 1, "at": "1"}
BAD = {"collected": False, "reason": "unreachable", "at": "2"}
PASS = [dict(BAD, host="old"), dict(OK, host="gone")]


def test_a_failed_pass_keeps_a_table_collected_earlier():
    assert run_folder.fold({"old": OK, "gone": BAD}, PASS) == {
        "old": dict(OK, failed_later={"at": "2", "reason": "unreachable"}), "gone": OK}


def test_folding_a_pass_again_changes_nothing():
    # Each pass's record folds the whole journal over run.json again.
    folded = run_folder.fold({"old": OK, "gone": BAD}, PASS)
    assert run_folder.fold(folded, PASS) == folded


def test_a_journal_line_cut_short_loses_only_itself(tmp_path):
    """A full disk cuts a line where it cuts it: the outcomes after it count."""
    folder = str(tmp_path)
    run_folder.settle(folder, "web1", OK)
    with open(os.path.join(folder, run_folder.JOURNAL), "ab") as f:
        f.write(b'{"at": "202')
    run_folder.settle(folder, "web2", OK)
    outcomes, hosts, cut = run_folder.record(folder, "note")
    assert ([o["host"] for o in outcomes], sorted(hosts), cut) == (["web1", "web2"], ["web1", "web2"], 1)


def test_the_locks_are_their_owners_alone(tmp_path):
    folder = os.path.join(tmp_path, run_folder.new_run(str(tmp_path)))
    run_folder.settle(folder, "web1", OK)
    run_folder.point_latest(str(tmp_path), os.path.basename(folder))
    for path in (os.path.join(folder, run_folder.JOURNAL), os.path.join(tmp_path, run_folder.LATEST_LOCK)):
        assert os.stat(path).st_mode & 0o777 == 0o600, path


@pytest.mark.parametrize("pattern, name", [(run_folder.RUN_NAME, "20261210T000000Z\n"),
                                           (run_folder.HOST_NAME, "web2\n")], ids=["run", "host"])
def test_a_name_with_a_line_feed_after_it_is_no_name(pattern, name):
    assert pattern.match(name) is None
    assert pattern.match(name[:-1])


def test_latest_follows_the_run_made_last_whatever_its_name(tmp_path):
    """A run named a year ahead (a clock wrong once) does not hold latest."""
    root = str(tmp_path)
    ahead = run_folder.new_run(root, now=2 ** 31 - 1)
    run_folder.point_latest(root, ahead)
    later = run_folder.new_run(root, now=0)
    assert run_folder.point_latest(root, later) == later
    assert run_folder.point_latest(root, ahead) == later


def test_a_host_a_pass_expected_without_an_outcome_is_recorded_not_collected(tmp_path):
    folder = str(tmp_path)
    run_folder.expect(folder, "p1", ["web1", "fish"], os.getpid())
    run_folder.settle(folder, "web1", dict(OK, **{"pass": "p1"}))
    outcomes, hosts, dummy = run_folder.record(folder, "note", "p1")
    assert [o["host"] for o in outcomes] == ["web1", "fish"]
    assert (hosts["fish"]["collected"], hosts["fish"]["reason"]) == (False, run_folder.UNRECORDED)
    assert run_folder.record(folder, "note", "p1")[1] == hosts  # written once, not again each pass


def test_a_pass_going_on_beside_loses_nothing_to_anothers_record(tmp_path):
    folder = str(tmp_path)
    run_folder.expect(folder, "p1", ["web1"], os.getpid())
    run_folder.expect(folder, "p2", ["web2"], os.getpid())  # still going on: this process
    run_folder.settle(folder, "web1", dict(OK, **{"pass": "p1"}))
    assert sorted(run_folder.record(folder, "note", "p1")[1]) == ["web1"]


def test_a_pass_that_was_stopped_is_recorded_with_the_folders_it_may_leave(tmp_path):
    folder = str(tmp_path)
    run_folder.expect(folder, "p1", ["web1", "web2"], ended_process())
    run_folder.started(folder, "web1", "p1", "/tmp/arpexport.abc")
    hosts = run_folder.record(folder, "note", "p2")[1]
    assert (hosts["web1"]["left"], hosts["web1"]["reason"]) == (
        "/tmp/arpexport.abc", f"{run_folder.STOPPED}; its temporary folder /tmp/arpexport.abc may be left there")
    assert hosts["web2"]["reason"] == run_folder.UNRECORDED

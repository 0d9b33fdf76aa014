"""A run's folder on the controller: its name, latest, passes at once
under the run's lock, and run.json folded from every pass."""
import multiprocessing
import os

import pytest

from ansible_collections.arpexport.fleet.plugins.plugin_utils import run_folder
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import recorded, settle_many

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

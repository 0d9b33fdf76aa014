"""The report action: the report written over a run's folder, latest
pointed at the run, the inventory's sites used; a refusal as a result."""
import json
import os

from ansible_collections.arpexport.fleet.plugins.action import report
from ansible_collections.arpexport.fleet.plugins.plugin_utils import run_folder
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import GW, ended_process, rows, write

RUN = "20261211T000000Z"


def report_on(make_action, folder, task_vars=None, **args):
    return make_action(report, dict({"folder": folder}, **args)).run(task_vars=task_vars or {})


def test_the_report_is_written_and_summed_up(make_action, tmp_path):
    write(os.path.join(tmp_path, RUN, "a.txt"), rows(("10.0.0.1", GW)))
    result = report_on(make_action, str(tmp_path / RUN))
    assert not result.get("failed"), result
    assert sorted(os.listdir(tmp_path / RUN / "report")) == ["fleet.csv", "report.json", "report.txt"]
    assert result["summary"][:3] == [
        "New findings: 0; 0 ongoing, 0 unchecked (a host that saw it was not collected), 0 resolved; "
        "history of 1 run.", "", "Coverage: 1 of 1 tables read, no run.json; 1 rows."]


def test_latest_is_pointed_at_the_run_when_asked(make_action, tmp_path):
    write(os.path.join(tmp_path, RUN, "a.txt"), rows(("10.0.0.1", GW)))
    report_on(make_action, str(tmp_path / RUN), latest=True)
    assert os.readlink(tmp_path / "latest") == RUN


def test_the_inventorys_sites_are_taken_for_hosts_run_json_gives_none(make_action, tmp_path):
    for name in ("a", "b"):
        write(os.path.join(tmp_path, RUN, f"{name}.txt"), rows(("10.0.0.1", GW)))
    hostvars = {"a": {"arpexport_site": "east"}, "b": {}}
    report_on(make_action, str(tmp_path / RUN), {"hostvars": hostvars})
    with open(tmp_path / RUN / "report" / "report.json", encoding="utf-8") as f:
        assert json.load(f)["sites"] == ["", "east"]


def test_a_folder_that_is_not_there_is_refused_as_a_result(make_action, tmp_path):
    result = report_on(make_action, str(tmp_path / "gone"))
    assert result["failed"]
    assert result["msg"] == f"{tmp_path / 'gone'} is not a folder"


def test_a_pass_that_was_stopped_is_recorded_by_the_report_on_its_run(make_action, tmp_path):
    folder = os.path.join(tmp_path, RUN)
    write(os.path.join(folder, "a.txt"), rows(("10.0.0.1", GW)))
    run_folder.expect(folder, "p1", ["a", "b"], ended_process())
    run_folder.settle(folder, "a", {"collected": True, "lines": 1, "pass": "p1"})
    run_folder.started(folder, "b", "p1", "/tmp/arpexport.abc")
    result = report_on(make_action, folder, history=False)
    assert result["summary"][:2] == [
        "Coverage: 1 of 2 hosts collected, 1 not; 1 rows.",
        f"  b: {run_folder.STOPPED}; its temporary folder /tmp/arpexport.abc may be left there"]

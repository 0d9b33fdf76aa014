"""The record action: run.json written from every pass, this pass's
outcomes said a line a host, and the hosts that were not collected."""
import os

from ansible_collections.arpexport.fleet.plugins.action import expect, record
from ansible_collections.arpexport.fleet.plugins.plugin_utils import run_folder
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import new_run, recorded


def a_run(root):
    run = new_run(str(root), {})
    run["staged"] = run_folder.programs_folder()
    return run


def collected(run, name, lines, at="2026-12-11T00:00:00Z", **more):
    run_folder.settle(run["folder"], name, dict({"collected": True, "lines": lines, "pass": run["pass"], "at": at},
                                                **more))


def failed(run, name, reason):
    run_folder.settle(run["folder"], name, {"collected": False, "reason": reason, "pass": run["pass"],
                                            "at": "2026-12-11T00:01:00Z"})


def record_of(make_action, run):
    return make_action(record, {"run": run}).run(task_vars={})


def test_each_host_of_this_pass_gets_a_line(make_action, tmp_path):
    run = a_run(tmp_path)
    collected(run, "web1", 2)
    collected(run, "web3", 1, left="/tmp/arpexport.x")
    failed(run, "web2", "unreachable: no route to host")
    assert record_of(make_action, run)["lines"] == [
        f"the tests' programs; tables in {run['folder']}", "web1: collected, 2 lines",
        "web2: FAILED: unreachable: no route to host",
        "web3: collected, 1 line; its temporary folder /tmp/arpexport.x is left there"]


def test_the_hosts_not_collected_are_listed(make_action, tmp_path):
    run = a_run(tmp_path)
    collected(run, "web1", 2)
    failed(run, "web2", "unreachable")
    result = record_of(make_action, run)
    assert (result["failed_hosts"], result["msg"]) == (["web2"], "1 of 2 hosts were not collected: web2")


def test_a_host_that_failed_again_keeps_its_earlier_table(make_action, tmp_path):
    run = a_run(tmp_path)
    collected(run, "web1", 2, at="2026-12-10T00:00:00Z")
    record_of(make_action, run)
    run["pass"] = "a-later-pass"
    failed(run, "web1", "unreachable")
    line = record_of(make_action, run)["lines"][1]
    assert line == "web1: FAILED: unreachable; the run's table of it, of 2026-12-10T00:00:00Z, is kept"
    assert recorded(run["folder"])["web1"]["collected"]


def test_only_this_pass_is_said(make_action, tmp_path):
    run = a_run(tmp_path)
    collected(run, "web1", 2)
    run["pass"] = "a-later-pass"
    collected(run, "web2", 2)
    result = record_of(make_action, run)
    assert [line.split(":")[0] for line in result["lines"][1:]] == ["web2"]
    assert sorted(recorded(run["folder"])) == ["web1", "web2"]


def test_the_pass_s_programs_are_removed(make_action, tmp_path):
    run = a_run(tmp_path)
    record_of(make_action, run)
    assert not os.path.exists(run["staged"])


def test_a_run_folder_that_is_gone_is_refused_as_a_result(make_action, tmp_path):
    run = a_run(tmp_path)
    run["folder"] = str(tmp_path / "gone")
    result = record_of(make_action, run)
    assert result["failed"]
    assert result["msg"].startswith(f"cannot write run.json in {tmp_path / 'gone'}")


def test_a_host_the_pass_expected_without_an_outcome_fails_with_a_reason(make_action, tmp_path):
    run = a_run(tmp_path)
    make_action(expect, {"run": run, "hosts": ["web1", "fish"]}).run(task_vars={})
    collected(run, "web1", 2)
    result = record_of(make_action, run)
    assert result["failed_hosts"] == ["fish"]
    assert result["lines"][1] == f"fish: FAILED: {run_folder.UNRECORDED}"


def test_a_name_from_the_inventory_is_shown_escaped(make_action, tmp_path):
    run = a_run(tmp_path)
    failed(run, "web\u202e1", "unreachable")
    result = record_of(make_action, run)
    assert (result["lines"][1], result["msg"]) == (
        "web\\u202e1: FAILED: unreachable", "1 of 1 hosts were not collected: web\\u202e1")

"""The collect action over a connection whose commands run here under
/bin/sh, a host's temporary folders in a folder of the test's own; a host
lost when the connection raises AnsibleConnectionFailure."""
import os

import pytest
from ansible.errors import AnsibleConnectionFailure

from ansible_collections.arpexport.fleet.plugins.action import collect
from ansible_collections.arpexport.fleet.plugins.plugin_utils import release, run_folder
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import Host, new_run, program, recorded, sh, \
    write

TABLE = "10.0.0.1 - 0a:00:00:00:00:01\n10.0.0.2 - 0a:00:00:00:00:02\n"
# A program whose host is lost while it runs: its shell is gone, and so is
# the rest of the command, the removal of its temporary folder included.
LOST = "kill -9 $PPID"
PROCESSOR = release.MACHINES.get(os.uname().machine)


@pytest.fixture(name="world")
def a_controller_and_a_host(tmp_path):
    """(the run's root, the host's folder for temporary ones)."""
    if PROCESSOR is None:
        pytest.skip(f"no release program runs on {os.uname().machine}")
    (tmp_path / "tables").mkdir()
    (tmp_path / "host").mkdir()
    return str(tmp_path / "tables"), str(tmp_path / "host")


def prepared(root, body):
    return new_run(root, {PROCESSOR: write(os.path.join(root, "program.gz"), program(body))})


def collect_on(make_action, connection, run, name="web1", **args):
    args = dict({"run": run, "lost_host_wait": 0}, **args)
    return make_action(collect, args, connection).run(task_vars={"inventory_hostname": name})


def lost_host(tmpdir, *after):
    """A host lost while the program runs, then answering as after says."""
    def lost_while_running(cmd, in_data):
        sh(cmd, in_data, tmpdir)
        raise AnsibleConnectionFailure("Failed to connect to the host via ssh: Connection reset")
    return Host(tmpdir, [None, lost_while_running, *after])


def test_a_collected_host_has_its_table_in_the_run_folder_whole(make_action, world):
    root, tmpdir = world
    run = prepared(root, f"printf '{TABLE}' >output.txt")
    result = collect_on(make_action, Host(tmpdir), run)
    assert (result["failed"], result["msg"]) == (False, "collected, 2 lines")
    with open(os.path.join(run["folder"], "web1.txt"), encoding="ascii") as f:
        assert f.read() == TABLE


def test_a_collected_host_is_recorded_with_its_line_count(make_action, world):
    root, tmpdir = world
    run = prepared(root, f"printf '{TABLE}' >output.txt")
    collect_on(make_action, Host(tmpdir), run)
    run_folder.record(run["folder"], run["note"])
    assert (recorded(run["folder"])["web1"]["collected"], recorded(run["folder"])["web1"]["lines"]) == (True, 2)


def test_a_collected_host_is_left_as_it_was(make_action, world):
    root, tmpdir = world
    collect_on(make_action, Host(tmpdir), prepared(root, f"printf '{TABLE}' >output.txt"))
    assert os.listdir(tmpdir) == []


def test_a_run_that_was_not_prepared_is_refused_as_a_result(make_action, world):
    dummy, tmpdir = world
    connection = Host(tmpdir)
    result = collect_on(make_action, connection, None)
    assert result["failed"]
    assert result["msg"].startswith("the run was not prepared on the controller")
    assert connection.commands == []


@pytest.mark.parametrize("name", ["../web1", ".hidden", "web 1", "web1/x"])
def test_a_host_whose_name_is_no_file_name_is_not_collected(make_action, world, name):
    root, tmpdir = world
    connection = Host(tmpdir)
    run = prepared(root, f"printf '{TABLE}' >output.txt")
    result = collect_on(make_action, connection, run, name=name)
    assert (result["failed"], result["msg"]) == (True, "its inventory name is not safe as a file name")
    assert connection.commands == []
    assert os.listdir(run["folder"]) == [run_folder.JOURNAL]
    assert sorted(n for n in os.listdir(root) if not n.startswith(".")) == [run["name"], "program.gz"]


@pytest.mark.parametrize("transport, pipelining", [("paramiko", False), ("winrm", True)])
def test_a_connection_that_gives_no_shell_command_its_input_is_not_used(make_action, world, transport, pipelining):
    root, tmpdir = world
    connection = Host(tmpdir)
    connection.has_pipelining, connection.transport = pipelining, transport
    result = collect_on(make_action, connection, prepared(root, ": >output.txt"))
    assert result["failed"]
    assert result["msg"].startswith(f"the {transport} connection cannot give a command its input")
    assert connection.commands == []


def test_a_host_unreachable_from_the_start_is_named_so_after_its_tries(make_action, world):
    root, tmpdir = world
    connection = Host(tmpdir, [AnsibleConnectionFailure("no route to host")] * 3)
    result = collect_on(make_action, connection, prepared(root, ": >output.txt"), lost_host_tries=2)
    assert (result["failed"], result["msg"], connection.resets) == (True, "unreachable: no route to host", 2)


def test_a_host_down_at_the_start_and_back_is_collected(make_action, world):
    root, tmpdir = world
    connection = Host(tmpdir, [AnsibleConnectionFailure("no route to host")])
    result = collect_on(make_action, connection, prepared(root, f"printf '{TABLE}' >output.txt"))
    assert (result["failed"], result["msg"], connection.resets) == (False, "collected, 2 lines", 1)


def test_a_host_lost_during_the_run_and_back_is_collected_in_the_same_pass(make_action, world):
    root, tmpdir = world
    connection = lost_host(tmpdir, AnsibleConnectionFailure("still away"), None, None)
    run = prepared(root, f"[ -e {tmpdir}/lost-once ] || {{ : >{tmpdir}/lost-once; {LOST}; }}; "
                         f"printf '{TABLE}' >output.txt")
    result = collect_on(make_action, connection, run)
    assert (result["failed"], result["msg"], connection.resets) == (False, "collected, 2 lines", 2)
    assert sorted(os.listdir(tmpdir)) == ["lost-once"]


def test_a_host_lost_during_the_run_has_its_folder_removed_once_it_answers(make_action, world):
    root, tmpdir = world
    connection = lost_host(tmpdir, AnsibleConnectionFailure("still away"), None)
    result = collect_on(make_action, connection, prepared(root, LOST), lost_host_tries=2)
    assert result["failed"]
    assert result["msg"].startswith("lost during the run: ")
    assert result["msg"].endswith("; its temporary folder was removed once it answered again")
    assert "left" not in result["outcome"]
    assert (os.listdir(tmpdir), connection.resets) == ([], 2)


def test_a_host_that_stays_lost_has_its_folder_named(make_action, world):
    root, tmpdir = world
    failure = AnsibleConnectionFailure("still away")
    connection = lost_host(tmpdir, failure, failure, failure)
    result = collect_on(make_action, connection, prepared(root, LOST), lost_host_tries=3)
    (left,) = os.listdir(tmpdir)
    where = os.path.join(tmpdir, left)
    assert result["failed"]
    assert result["msg"].endswith(f"; its temporary folder {where} is left there")
    assert (result["outcome"]["left"], connection.resets) == (where, 3)


def test_a_run_that_made_nothing_on_the_host_sends_no_clean_up(make_action, world):
    root, tmpdir = world
    connection = Host(tmpdir)
    result = collect_on(make_action, connection, prepared(root, ": >output.txt"), host_tmpdir="/nonexistent")
    assert result["failed"]
    assert result["msg"].startswith("making a temporary folder in /nonexistent failed")
    assert (len(connection.commands), connection.resets) == (2, 0)


@pytest.mark.parametrize("option, message", [
    ({"host_tmpdir": "/tmp/../etc"}, "host_tmpdir must be an absolute path"),
    ({"host_tmpdir": "var/tmp"}, "host_tmpdir must be an absolute path"),
    ({"lost_host_tries": "many"}, "argument 'lost_host_tries' is of type"),
    ({"lost_host_wait": "soon"}, "argument 'lost_host_wait' is of type"),
], ids=["dots", "relative", "tries", "wait"])
def test_a_host_refused_for_its_options_is_recorded_with_the_refusal(make_action, world, option, message):
    root, tmpdir = world
    connection = Host(tmpdir)
    run = prepared(root, ": >output.txt")
    result = collect_on(make_action, connection, run, **option)
    run_folder.record(run["folder"], run["note"])
    assert (result["failed"], connection.commands) == (True, [])
    assert result["msg"].startswith(message)
    assert result["outcome"]["reason"] == result["msg"]
    assert recorded(run["folder"])["web1"]["reason"] == result["msg"]


@pytest.mark.parametrize("given, extra", [
    ({}, collect.KEEP_ALIVE),
    ({"ssh_extra_args": "-o Compression=yes"}, "-o Compression=yes " + collect.KEEP_ALIVE),
    ({"ssh_common_args": "-o ServerAliveInterval=5"}, None),
], ids=["none given", "others given", "the inventory's own"])
def test_ssh_keep_alives_notice_a_dead_link_unless_the_inventory_sets_them(make_action, world, given, extra):
    root, tmpdir = world
    connection = Host(tmpdir, **given)
    collect_on(make_action, connection, prepared(root, ": >output.txt"))
    assert connection.options.get("ssh_extra_args") == extra


class TaskTimeoutError(BaseException):
    """What Ansible's task timeout raises in the action (ansible-core 2.14's kind)."""


@pytest.mark.parametrize("stop, reason", [
    (TaskTimeoutError, "it did not answer within host_timeout"),
    (KeyboardInterrupt, "the run was stopped while it was being collected (Ctrl+C)"),
], ids=["time limit", "ctrl-c"])
def test_a_host_stopped_mid_run_is_recorded_with_the_folder_it_may_leave(make_action, world, stop, reason):
    """Ansible stops the action where it is: the host is recorded first."""
    root, tmpdir = world
    run = prepared(root, ": >output.txt")
    with pytest.raises(stop):
        collect_on(make_action, Host(tmpdir, [None, stop()]), run)
    run_folder.record(run["folder"], run["note"])
    outcome = recorded(run["folder"])["web1"]
    assert outcome["reason"].startswith(reason)
    assert "; its temporary folder " in outcome["reason"]
    assert outcome["left"].startswith(os.path.join(tmpdir, "arpexport."))

"""What the collect action asks a host, run here under /bin/sh as a login
runs it, and how the answers are read."""
import os

import pytest

from ansible_collections.arpexport.fleet.plugins.plugin_utils import host
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import MARK, program, sh

TABLE = "10.0.0.1 - 0a:00:00:00:00:01\n10.0.0.2 - 00:00:00:00:00:00\n"


def probe(tmp_path):
    return sh(host.command(host.probe_script(MARK)), tmpdir=str(tmp_path))


def run(tmp_path, body="", stdin=None, tmpdir=None):
    """A run of a stand-in program: what read_run makes of it, the output,
    and the temporary folder's name."""
    folder = host.new_folder_name()
    rc, out, err = sh(host.command(host.run_script(MARK, folder, tmpdir)),
                      program(body) if stdin is None else stdin, str(tmp_path))
    return host.read_run(MARK, rc, out, err, base=tmpdir or str(tmp_path)), out, folder


def test_probe_reads_the_answers_under_the_mark(tmp_path):
    rc, out, err = probe(tmp_path)
    greeting = f"Welcome\r\nARPEXPORT-forged machine mips\n{MARK}machine x\n".encode()
    got = host.read_probe(MARK, rc, greeting + out, err)
    assert (got.problem, got.machine, got.base) == (host.OK, os.uname().machine, str(tmp_path))


def test_probe_gives_the_hosts_interface_addresses(tmp_path):
    rc, out, err = probe(tmp_path)
    assert all(a.count("/") == 1 for a in host.read_probe(MARK, rc, out, err).addresses)


def test_probe_leaves_out_what_is_no_interface_address():
    said = (f"{MARK} machine x86_64\n{MARK} addr 2: e inet 999.0.0.1/24 brd x\n"
            f"{MARK} addr 3: f inet 10.0.0.5/33\n{MARK} addr 4: g inet 10.1.2.3/24 brd 10.1.2.255\n"
            "addr 5: h inet 10.9.9.9/24\n").encode()
    assert host.read_probe(MARK, 0, said, b"").addresses == ["10.1.2.3/24"]


@pytest.mark.parametrize("more, said", [(True, f"{MARK} machine \x1b[8mx86_64\n".encode()), (False, b"\x1b[8m hello\n")],
                         ids=["two machines", "none"])
def test_probe_guesses_nothing_from_two_answers_or_none(tmp_path, more, said):
    dummy, out, unused = probe(tmp_path)
    got = host.read_probe(MARK, 0, out + said if more else said, b"")
    assert got.problem == host.UNREADABLE
    assert got.reason.startswith("its answers cannot be read (exit status 0): ")
    assert "\x1b" not in got.reason


def test_a_run_brings_the_table_whole(tmp_path):
    got, out, dummy = run(tmp_path, f"printf '{TABLE}' >output.txt")
    assert (got.problem, out[got.start:got.end].decode(), got.lines, got.removed) == (host.OK, TABLE, 2, True)


@pytest.mark.parametrize("cut", [lambda out, got: out.replace(b"10.0.0.2", b"10.0.0.3"),
                                 lambda out, got: out[:got.end - 5],
                                 lambda out, got: out.replace(b"0a:00", b"0a:00\n")],
                         ids=["a line changed", "cut short", "a line split"])
def test_a_table_that_did_not_come_whole_is_refused(tmp_path, cut):
    got, out, dummy = run(tmp_path, f"printf '{TABLE}' >output.txt")
    assert host.read_run(MARK, 0, cut(out, got), b"").problem == host.NOT_WHOLE


def test_an_empty_table_comes_back_empty(tmp_path):
    got, out, dummy = run(tmp_path, ": >output.txt")
    assert (got.problem, got.lines, got.start, got.end) == (host.OK, 0, got.end, out.index(f"{MARK} end".encode()))


@pytest.mark.parametrize("body, stdin, tmpdir, problem, reason", [
    ("printf 'Cannot write output.txt.\\n\\tError: \\033[8mFull.\\n'", None, None, host.REPORTED,
     "arpexport reported: Cannot write output.txt. Error: \\x1b[8mFull."),
    ("echo denied; exit 126", None, None, host.FAILED, "running arpexport failed with status 126: denied"),
    ("", b"not gzip", None, host.NO_COPY, "copying the program failed: gzip: stdin: not in gzip format"),
    ("", None, "/nonexistent", host.NO_FOLDER,
     "making a temporary folder in /nonexistent failed with status 1: mkdir: "),
    ("exit 0", None, None, host.NOT_WHOLE, "its table did not come back whole"),
], ids=["reported", "failed", "no copy", "no folder", "no table"])
def test_a_failed_run_says_what_failed(tmp_path, body, stdin, tmpdir, problem, reason):
    got, dummy, unused = run(tmp_path, body, stdin, tmpdir)
    assert got.problem == problem
    assert got.reason.startswith(reason), got.reason


@pytest.mark.parametrize("body, stdin", [(f"printf '{TABLE}' >output.txt", None), ("exit 3", None),
                                         ("", b"not gzip")], ids=["collected", "failed", "no copy"])
def test_a_run_removes_its_temporary_folder(tmp_path, body, stdin):
    got, dummy, folder = run(tmp_path, body, stdin)
    assert got.removed
    assert not os.path.exists(os.path.join(tmp_path, folder))


def test_a_folder_left_by_a_lost_run_is_removed_by_name(tmp_path):
    folder = host.new_folder_name()
    os.mkdir(os.path.join(tmp_path, folder))
    rc, out, dummy = sh(host.command(host.cleanup_script(MARK, folder)), tmpdir=str(tmp_path))
    assert (rc, host.answers(MARK, out), os.listdir(tmp_path)) == (0, ["removed"], [])


@pytest.mark.parametrize("path, ok", [("/tmp/../etc", False), ("tmp", False), ("/a b", False), ("/a/./b", False),
                                      ("/var/tmp", True), ("/home/u/.cache-1", True)])
def test_only_a_plain_absolute_folder_is_taken_for_the_temporary_one(path, ok):
    assert host.tmpdir_ok(path) is ok


def test_a_relative_tmpdir_of_the_login_is_not_taken(tmp_path):
    """A relative $TMPDIR would name another folder once the run is in /."""
    rc, out, err = sh(host.command(host.probe_script(MARK)), tmpdir="tmp")
    assert host.read_probe(MARK, rc, out, err).base == "/tmp"


@pytest.mark.parametrize("said", [
    f"{MARK} machine x86_64\n{MARK} base /{'x' * host.ANSWER_LIMIT}\n",
    f"{MARK} machine x86_64\n" + f"{MARK} addr 2: e inet 10.1.2.3/24\n" * host.ANSWERS_LIMIT,
], ids=["one answer too long", "too many answers"])
def test_answers_beyond_their_bounds_fail_the_host(said):
    got = host.read_probe(MARK, 0, said.encode(), b"")
    assert (got.problem, got.addresses, got.base) == (host.TOO_LONG, [], "")


def test_what_a_login_prints_beside_the_answers_is_shown_cut(tmp_path):
    junk = b"junk " * (1 << 20)
    got = host.read_probe(MARK, 0, junk, junk)
    assert got.problem == host.UNREADABLE
    assert len(got.reason) < 400


def test_a_run_whose_report_is_too_long_fails_the_host(tmp_path):
    got, dummy, unused = run(tmp_path, f"head -c {host.ANSWER_LIMIT + 1} /dev/zero | tr '\\\\0' x; exit 1")
    assert got.problem == host.TOO_LONG


def test_a_run_made_again_by_ansible_after_a_drop_carries_on(tmp_path):
    """Ansible's ssh retries send the same command again: its own folder from
    the first try is there, and is no reason to fail."""
    folder = host.new_folder_name()
    os.mkdir(os.path.join(tmp_path, folder))
    rc, out, err = sh(host.command(host.run_script(MARK, folder)), program(f"printf '{TABLE}' >output.txt"),
                      str(tmp_path))
    got = host.read_run(MARK, rc, out, err, base=str(tmp_path))
    assert (got.problem, got.lines, os.listdir(tmp_path)) == (host.OK, 2, [])


def test_a_greeting_without_a_line_end_runs_into_no_answer(tmp_path):
    rc, out, err = sh(host.command(host.run_script(MARK, host.new_folder_name())),
                      program(f"printf '{TABLE}' >output.txt"), str(tmp_path))
    got = host.read_run(MARK, rc, b"Welcome" + out, err, base=str(tmp_path))
    assert (got.problem, got.lines) == (host.OK, 2)

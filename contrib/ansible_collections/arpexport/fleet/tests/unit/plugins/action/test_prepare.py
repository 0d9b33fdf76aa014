"""The prepare action: a run's folder and the programs it sends, or a
refusal given as the task's result."""
import gzip
import hashlib
import io
import os
import tarfile

from ansible_collections.arpexport.fleet.plugins.action import prepare
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import write

TARBALL = "arpexport-1.0.0-linux-x86_64"


def release_folder(folder, tarball=TARBALL, program=b"#!/bin/sh\n"):
    """A release folder of one tarball, with its SHA256SUMS."""
    os.makedirs(folder)
    path = os.path.join(folder, tarball + ".tar.gz")
    with tarfile.open(path, "w:gz") as tar:
        member = tarfile.TarInfo(f"{TARBALL}/arpexport")
        member.size, member.mode = len(program), 0o755
        tar.addfile(member, io.BytesIO(program))
    with open(path, "rb") as f:
        write(os.path.join(folder, "SHA256SUMS"), f"{hashlib.sha256(f.read()).hexdigest()}  {tarball}.tar.gz\n")
    return folder


def prepare_with(make_action, check_mode=False, **args):
    return make_action(prepare, args, check_mode=check_mode).run(task_vars={})


def test_check_mode_is_refused_as_a_result(make_action, tmp_path):
    tables = str(tmp_path / "tables")
    result = prepare_with(make_action, check_mode=True, tables_dir=tables)
    assert result["failed"]
    assert result["msg"].startswith("a run cannot be shown in check mode")
    assert not os.path.exists(tables)


def test_a_release_folder_with_faults_is_refused_and_no_run_made(make_action, tmp_path):
    tables = str(tmp_path / "tables")
    release = release_folder(str(tmp_path / "release"))
    write(os.path.join(release, "arpexport-1.0.0-linux-aarch64 (1).tar.gz"), "copy")
    result = prepare_with(make_action, release_dir=release, tables_dir=tables)
    assert result["failed"]
    assert "files that are not release tarballs: arpexport-1.0.0-linux-aarch64 (1).tar.gz" in result["msg"]
    assert not os.path.exists(tables)


def test_a_release_folder_gives_a_run_with_its_programs(make_action, tmp_path):
    release = release_folder(str(tmp_path / "release"), program=b"#!/bin/sh\n: >output.txt\n")
    result = prepare_with(make_action, release_dir=release, tables_dir=str(tmp_path / "tables"))
    run = result["run"]
    assert not result.get("failed"), result
    assert os.path.isdir(run["folder"]) and run["pass"] == run["mark"][-16:]
    with open(run["programs"]["x86_64"], "rb") as f:
        assert gzip.decompress(f.read()) == b"#!/bin/sh\n: >output.txt\n"


def test_a_re_pass_into_a_run_that_is_not_there_is_refused(make_action, tmp_path):
    release = release_folder(str(tmp_path / "release"))
    result = prepare_with(make_action, release_dir=release, tables_dir=str(tmp_path), run="20991231T000000Z")
    assert result["failed"]
    assert result["msg"].startswith("there is no run folder")

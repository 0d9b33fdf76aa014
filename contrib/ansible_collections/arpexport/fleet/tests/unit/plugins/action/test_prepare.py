"""The prepare action: a run's folder and the programs it sends, or a
refusal given as the task's result."""
import gzip
import hashlib
import io
import os
import shutil
import tarfile
import tempfile

import pytest

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


@pytest.fixture(name="private")
def a_temporary_folder_of_its_own(tmp_path, monkeypatch):
    """The folder where prepare makes its private folders."""
    folder = str(tmp_path / "tmp")
    os.mkdir(folder)
    monkeypatch.setattr(tempfile, "tempdir", folder)
    return folder


def test_a_tarball_swapped_after_its_check_is_not_the_one_sent(make_action, tmp_path, monkeypatch, private):
    # A folder of links to the downloads, as users make; while gpg runs,
    # another tarball, with a SHA256SUMS of its own, is renamed into place.
    downloads = release_folder(str(tmp_path / "downloads"), program=b"checked")
    other = release_folder(str(tmp_path / "other"), program=b"another")
    folder = str(tmp_path / "release")
    os.mkdir(folder)
    os.symlink(os.path.join(downloads, TARBALL + ".tar.gz"), os.path.join(folder, TARBALL + ".tar.gz"))
    shutil.copy(os.path.join(downloads, "SHA256SUMS"), folder)
    write(os.path.join(folder, "SHA256SUMS.asc"), "a signature")
    swapped = []

    def gpg_swapping(*arguments):
        os.replace(os.path.join(other, TARBALL + ".tar.gz"), os.path.join(downloads, TARBALL + ".tar.gz"))
        os.replace(os.path.join(other, "SHA256SUMS"), os.path.join(folder, "SHA256SUMS"))
        swapped.append(arguments)
        return [["NEWSIG"], ["GOODSIG", "12FE9F79B8216037", "r"], ["VALIDSIG", "F" * 40], ["TRUST_ULTIMATE"]]
    monkeypatch.setattr(prepare.release, "gpg_status", gpg_swapping)
    run = prepare_with(make_action, release_dir=folder, tables_dir=str(tmp_path / "tables"))["run"]
    assert swapped and run["note"] == "SHA256SUMS.asc verified"
    with open(run["programs"]["x86_64"], "rb") as f:
        assert gzip.decompress(f.read()) == b"checked"
    # The release's copies are gone; the pass's programs wait for record.
    assert os.listdir(private) == [os.path.basename(run["staged"])]


@pytest.mark.parametrize("damage", [
    lambda data: data[:-8],
    lambda data: data[:-8] + bytes([data[-8] ^ 1]) + data[-7:],
], ids=["truncated", "CRC"])
@pytest.mark.parametrize("run", ["", "20261210T000000Z"], ids=["new run", "re-pass"])
def test_a_tarball_that_is_not_whole_is_refused_leaving_nothing(make_action, tmp_path, private, damage, run):
    release = release_folder(str(tmp_path / "release"))
    os.unlink(os.path.join(release, "SHA256SUMS"))
    path = os.path.join(release, TARBALL + ".tar.gz")
    with open(path, "rb") as f:
        data = f.read()
    write(path, damage(data))
    tables = str(tmp_path / "tables")
    if run:
        os.makedirs(os.path.join(tables, run))
    result = prepare_with(make_action, release_dir=release, tables_dir=tables, run=run)
    assert result["failed"]
    assert result["msg"].startswith(f"{TARBALL}.tar.gz is not a whole gzipped tarball: ")
    if run:
        assert os.listdir(tables) == [run] and os.listdir(os.path.join(tables, run)) == []
    else:
        assert not os.path.exists(tables)
    assert os.listdir(private) == []

"""The release check: gpg's verdicts on a signature, a release folder's
names and sums, and the program taken from a whole tarball."""
import gzip
import hashlib
import io
import os
import shutil
import subprocess
import tarfile

import pytest

from ansible_collections.arpexport.fleet.plugins.plugin_utils import release
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import write

FPR = "ECDEF94207AE86E2467CF9C712FE9F79B8216037"
GOOD = [["NEWSIG"], ["GOODSIG", "12FE9F79B8216037", "good"], ["VALIDSIG", FPR]]


@pytest.mark.parametrize("status, keyring, expected", [
    (GOOD + [["TRUST_ULTIMATE", "0", "pgp"]], True, release.GOOD),
    (GOOD + [["TRUST_FULLY", "0", "pgp"]], True, release.GOOD),
    (GOOD + [["TRUST_UNDEFINED", "0", "pgp"]], True, release.UNTRUSTED),
    (GOOD, False, release.GOOD),
    ([["NEWSIG"], ["EXPKEYSIG", "B3E9", "old"], ["VALIDSIG", FPR]], False, release.KEY_EXPIRED),
    ([["NEWSIG"], ["REVKEYSIG", "B639", "r"], ["VALIDSIG", FPR], ["KEYREVOKED"]], False, release.REVOKED),
    ([["NEWSIG"], ["EXPSIG", "B639", "r"], ["VALIDSIG", FPR]], False, release.EXPIRED),
    ([["NEWSIG"], ["BADSIG", "B639", "r"]], False, release.BAD),
    ([["NEWSIG"], ["ERRSIG", "B639"], ["NO_PUBKEY", "B639"]], False, release.KEY_MISSING),
    # An old signing subkey of the key expired; the new one made the signature.
    ([["NEWSIG"], ["KEYEXPIRED", "1764547200"], ["GOODSIG", "17EC", "g"], ["VALIDSIG", FPR],
      ["KEYEXPIRED", "1764547200"]], False, release.GOOD),
], ids=["ultimate", "fully", "untrusted", "own keys", "expired key", "revoked", "expired", "bad", "no key",
        "an old subkey expired"])
def test_a_signature_counts_only_when_good_valid_and_trusted(status, keyring, expected):
    assert release.verdict(status, keyring)[0] == expected


# gpg 2.2's status lines for a detached verify of SHA256SUMS.asc.
@pytest.mark.parametrize("status, expected", [
    ([], release.REFUSED),  # a clear-signed or signed message
    ([["NODATA", "2"], ["FAILURE", "verify", "4294967295"]], release.REFUSED),  # an empty file
    ([["NODATA", "1"], ["NODATA", "2"]], release.REFUSED),  # no OpenPGP data
    ([["NEWSIG"], ["ERRSIG", "B639"], ["NO_PUBKEY", "B639"]], release.NO_KEY),
    (GOOD + [["TRUST_ULTIMATE", "0", "pgp"]], release.GOOD),
], ids=["message", "empty", "not OpenPGP", "no key", "detached"])
def test_only_a_detached_signature_is_judged_by_its_key(tmp_path, monkeypatch, status, expected):
    write(os.path.join(tmp_path, "SHA256SUMS.asc"), "as gpg has it")
    monkeypatch.setattr(release, "gpg_status", lambda *arguments: status)
    assert release.verify_signature(str(tmp_path))[0] == expected


X86 = "arpexport-1.0.0-linux-x86_64.tar.gz"


@pytest.fixture(name="faults")
def a_release_folder_with_every_fault(tmp_path):
    for name in (X86, "arpexport-1.0.1-linux-x86_64.tar.gz", "arpexport-1.0.0-linux-aarch64 (1).tar.gz",
                 "arpexport-fleet-1.0.0.tar.gz"):
        write(os.path.join(tmp_path, name), name)
    write(os.path.join(tmp_path, "SHA256SUMS"), "0" * 64 + f"  {X86}\n")
    os.mkdir(tmp_path / "copies")
    return release.check(str(tmp_path), str(tmp_path / "copies"))


@pytest.mark.parametrize("problem", [
    "files that are not release tarballs: arpexport-1.0.0-linux-aarch64 (1).tar.gz",
    "more than one tarball for x86_64",
    "not listed in SHA256SUMS: arpexport-1.0.1-linux-x86_64.tar.gz",
    f"not as SHA256SUMS has them: {X86}"])
def test_each_fault_of_a_release_folder_is_named(faults, problem):
    assert problem in faults[0]


def test_a_release_folder_is_refused_for_its_faults_alone(faults):
    # The collection's own release file beside the tarballs is none.
    assert len(faults[0]) == 4


def test_a_release_folder_says_how_it_was_checked(faults):
    assert faults[1] == "checked against SHA256SUMS"


def test_a_release_folder_as_it_is_published_passes(tmp_path):
    write(os.path.join(tmp_path, "release", X86), b"tarball")
    write(os.path.join(tmp_path, "release", "SHA256SUMS"), hashlib.sha256(b"tarball").hexdigest() + f"  {X86}\n")
    copies = str(tmp_path / "copies")
    os.mkdir(copies)
    assert release.check(str(tmp_path / "release"), copies) == (
        [], "checked against SHA256SUMS", {"x86_64": os.path.join(copies, X86)})


def test_a_folder_of_links_is_checked_from_copies(tmp_path):
    # As a folder of links to a download folder is: the copy is what the
    # link led to when it was read.
    write(os.path.join(tmp_path, "downloads", X86), b"tarball")
    os.makedirs(tmp_path / "release")
    os.makedirs(tmp_path / "copies")
    os.symlink(tmp_path / "downloads" / X86, tmp_path / "release" / X86)
    tarballs = release.check(str(tmp_path / "release"), str(tmp_path / "copies"))[2]
    write(os.path.join(tmp_path, "downloads", X86), b"another")
    with open(tarballs["x86_64"], "rb") as f:
        assert f.read() == b"tarball"


def test_a_tarball_that_is_no_file_is_refused_unread(tmp_path):
    # A FIFO would hold the check up for good.
    os.makedirs(tmp_path / "release")
    os.makedirs(tmp_path / "copies")
    os.mkfifo(tmp_path / "release" / X86)
    os.mkdir(tmp_path / "release" / "SHA256SUMS")
    problems = release.check(str(tmp_path / "release"), str(tmp_path / "copies"))[0]
    assert problems == [f"cannot read {X86}: not a regular file", "cannot read SHA256SUMS: not a regular file"]


@pytest.fixture(name="signer", scope="module")
def a_key_that_signs(tmp_path_factory):
    """gpg run with a keyring of one key, and that key's public half in a file."""
    home = str(tmp_path_factory.mktemp("gnupg"))
    os.chmod(home, 0o700)

    def gpg(*arguments):
        subprocess.run(["gpg", "--batch", "--pinentry-mode", "loopback", "--passphrase", ""] + list(arguments),
                       env=dict(os.environ, GNUPGHOME=home), capture_output=True, check=True)
    gpg("--quick-gen-key", "release@example.org", "ed25519", "sign", "never")
    gpg("--armor", "--output", os.path.join(home, "key.asc"), "--export", "release@example.org")
    yield gpg, os.path.join(home, "key.asc")
    subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=dict(os.environ, GNUPGHOME=home), check=False)


@pytest.mark.skipif(not shutil.which("gpg"), reason="no gpg")
@pytest.mark.parametrize("signing, expected", [
    (["--detach-sign"], []),
    (["--clearsign"], ["SHA256SUMS.asc is no detached signature of SHA256SUMS"]),
    (["--sign"], ["SHA256SUMS.asc is no detached signature of SHA256SUMS"]),
    (None, ["SHA256SUMS.asc is no detached signature of SHA256SUMS"]),
], ids=["detached", "clear-signed", "signed", "empty"])
def test_sha256sums_asc_must_be_a_detached_signature_of_sha256sums(signer, tmp_path, signing, expected):
    gpg, key = signer
    sums = write(os.path.join(tmp_path, "release", "SHA256SUMS"), hashlib.sha256(b"t").hexdigest() + f"  {X86}\n")
    write(os.path.join(tmp_path, "release", X86), b"t")
    if signing:
        gpg("--armor", "--output", sums + ".asc", *signing, sums)
    else:
        write(sums + ".asc", b"")
    os.mkdir(tmp_path / "copies")
    assert release.check(str(tmp_path / "release"), str(tmp_path / "copies"), keys=key)[0] == expected


def tarball(program, level=9):
    """A release tarball holding program, as bytes."""
    packed = io.BytesIO()
    with gzip.GzipFile(fileobj=packed, mode="wb", compresslevel=level, mtime=0) as unpacked:
        with tarfile.open(fileobj=unpacked, mode="w") as tar:
            member = tarfile.TarInfo(X86[: -len(".tar.gz")] + "/arpexport")
            member.size, member.mode = len(program), 0o755
            tar.addfile(member, io.BytesIO(program))
    return packed.getvalue()


def stored_byte_flipped(data):
    # Stored blocks (level 0) hold the tar as it is: the program's first
    # byte, past the 10-byte gzip header, the 5-byte block header and the
    # tar header, is flipped and only the gzip CRC can tell.
    offset = 10 + 5 + 512
    return data[:offset] + bytes([data[offset] ^ 1]) + data[offset + 1:]


@pytest.mark.parametrize("damage, level", [
    (lambda data: data[:-8], 9),  # the trailer cut off
    (lambda data: data[:-8] + bytes([data[-8] ^ 1]) + data[-7:], 9),  # a wrong CRC
    (lambda data: data[:-4] + b"\0\0\0\0", 9),  # a wrong length
    (stored_byte_flipped, 0),
    (lambda data: data[:len(data) // 2], 9),
    (lambda data: data[:10] + b"\xff" * 8 + data[18:], 9),  # no deflate data
    (lambda data: b"PK\3\4" + data, 9),
], ids=["no trailer", "CRC", "length", "stored block", "half", "deflate", "not gzip"])
def test_a_tarball_that_is_not_whole_gives_no_program(tmp_path, damage, level):
    whole = tarball(b"#!/bin/sh\n" * 100, level)
    assert release.stage({"x86_64": write(os.path.join(tmp_path, "whole", X86), whole)},
                         str(tmp_path / "whole"))[1] == []
    path = write(os.path.join(tmp_path, X86), damage(whole))
    programs, problems = release.stage({"x86_64": path}, str(tmp_path))
    assert programs == {}
    assert len(problems) == 1 and problems[0].startswith(f"{X86} is not a whole gzipped tarball: ")
    assert sorted(os.listdir(tmp_path)) == [X86, "whole"]

"""The release check: gpg's verdicts on a signature, and a release folder's
names and sums."""
import hashlib
import os

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
], ids=["ultimate", "fully", "untrusted", "own keys", "expired key", "revoked", "expired", "bad", "no key"])
def test_a_signature_counts_only_when_good_valid_and_trusted(status, keyring, expected):
    assert release.verdict(status, keyring)[0] == expected


X86 = "arpexport-1.0.0-linux-x86_64.tar.gz"


@pytest.fixture(name="faults")
def a_release_folder_with_every_fault(tmp_path):
    for name in (X86, "arpexport-1.0.1-linux-x86_64.tar.gz", "arpexport-1.0.0-linux-aarch64 (1).tar.gz",
                 "arpexport-fleet-1.0.0.tar.gz"):
        write(os.path.join(tmp_path, name), name)
    write(os.path.join(tmp_path, "SHA256SUMS"), "0" * 64 + f"  {X86}\n")
    return release.check(str(tmp_path))


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
    tarball = write(os.path.join(tmp_path, X86), b"tarball")
    write(os.path.join(tmp_path, "SHA256SUMS"), hashlib.sha256(b"tarball").hexdigest() + f"  {X86}\n")
    assert release.check(str(tmp_path)) == ([], "checked against SHA256SUMS", {"x86_64": tarball})

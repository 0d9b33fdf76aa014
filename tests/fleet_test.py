"""The Ansible collection's own logic, without SSH: what the hosts are
asked and how their answers are read (the commands run here under
/bin/sh), the run folder and its lock, the release check, and the report
on folders of tables made here."""
import gzip
import json
import multiprocessing
import os
import subprocess
import sys
import tempfile
import unittest

CONTRIB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "contrib")
sys.path.insert(0, CONTRIB)
# pylint: disable=wrong-import-position
from ansible_collections.arpexport.fleet.plugins.plugin_utils import host, release, runs  # noqa: E402
from ansible_collections.arpexport.fleet.plugins.plugin_utils import report as fleet_report  # noqa: E402
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import shown  # noqa: E402

GW, ROGUE, BROADCAST = "0a:00:00:00:00:01", "0a:00:00:00:00:66", "ff:ff:ff:ff:ff:ff"
RUN1, RUN2, LATER = "20261210T000000Z", "20261211T000000Z", "20261212T000000Z"


def rows(*pairs):
    return "".join(f"{a} - {hw}\n" for a, hw in pairs)


MARK = "ARPEXPORT-0123456789abcdef"


def sh(script, stdin=b"", **env):
    """script run as a login runs the collect action's commands."""
    done = subprocess.run(host.command(script), shell=True, input=stdin, capture_output=True,
                          check=False, env=dict(os.environ, **env))
    return done.returncode, done.stdout, done.stderr


def program(body):
    """A stand-in for arpexport, gzipped as the hosts get it."""
    return gzip.compress(b"#!/bin/sh\n" + body.encode())


class Folder(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.root = folder.name
        os.chmod(self.root, 0o755)

    def write(self, path, text):
        """root/path holds text (str or bytes); its folder is made."""
        path = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
        return path


class HostTest(Folder):
    """The commands under /bin/sh, as a host runs them, and their answers read."""

    def test_probe_reads_only_answers_under_the_mark(self):
        rc, out, err = sh(host.probe_script(MARK), TMPDIR=self.root)
        greeting = f"Welcome\r\nARPEXPORT-forged machine mips\n{MARK}machine x\n".encode()
        probe = host.read_probe(MARK, rc, greeting + out + f"{MARK} addr 2: e inet 999.0.0.1/24\n".encode(), err)
        self.assertEqual((probe.machine, probe.base, probe.problem), (os.uname().machine, self.root, ""))
        self.assertTrue(all(a.count("/") == 1 and not a.startswith("999.") for a in probe.addresses))
        # Two answers for one question, or none: nothing is guessed.
        for said in (out + f"{MARK} machine \x1b[8mx86_64\n".encode(), b"\x1b[8m hello\n"):
            probe = host.read_probe(MARK, 0, said, b"")
            self.assertTrue(probe.problem.startswith("its answers cannot be read (exit status 0): "))
            self.assertNotIn("\x1b", probe.problem)

    def run_program(self, body, stdin=None, tmpdir=None):
        folder = host.new_folder_name()
        rc, out, err = sh(host.run_script(MARK, folder, tmpdir),
                          program(body) if stdin is None else stdin, TMPDIR=self.root)
        got = host.read_run(MARK, rc, out, err, base=tmpdir or self.root)
        self.assertFalse(os.path.exists(os.path.join(self.root, folder)))
        return got, out

    def test_a_run_brings_the_table_whole_or_says_what_failed(self):
        table = "10.0.0.1 - 0a:00:00:00:00:01\n10.0.0.2 - 00:00:00:00:00:00\n"
        got, out = self.run_program(f"printf '{table}' >output.txt")
        self.assertEqual((got.problem, out[got.start:got.end].decode(), got.removed), ("", table, True))
        for cut in (out.replace(b"10.0.0.2", b"10.0.0.3"), out[:got.end - 5], out.replace(b"0a:00", b"0a:00\n")):
            self.assertEqual(host.read_run(MARK, 0, cut, b"").problem, "its table did not come back whole")
        got, out = self.run_program(": >output.txt")
        self.assertEqual((got.problem, got.start, got.end), ("", got.end, out.index(f"{MARK} end".encode())))
        for body, stdin, tmpdir, problem in [
                ("printf 'Cannot write output.txt.\\n\\tError: \\033[8mFull.\\n'", None, None,
                 "arpexport reported: Cannot write output.txt. Error: \\x1b[8mFull."),
                ("echo denied; exit 126", None, None, "running arpexport failed with status 126: denied"),
                ("", b"not gzip", None, "copying the program failed: gzip: stdin: not in gzip format"),
                ("", None, "/nonexistent", "making a temporary folder in /nonexistent failed with status 1: mkdir: ")]:
            got, _ = self.run_program(body, stdin, tmpdir)
            self.assertTrue(got.problem.startswith(problem), got.problem)
        got, _ = self.run_program("exit 0")
        self.assertEqual((got.problem, got.removed), ("its table did not come back whole", True))

    def test_a_folder_left_by_a_lost_run_is_removed_by_name(self):
        folder = host.new_folder_name()
        os.mkdir(os.path.join(self.root, folder))
        rc, out, _ = sh(host.cleanup_script(MARK, folder), TMPDIR=self.root)
        self.assertEqual((rc, host.answers(MARK, out), os.listdir(self.root)), (0, ["removed"], []))
        self.assertFalse(host.tmpdir_ok("/tmp/../etc") or host.tmpdir_ok("tmp") or host.tmpdir_ok("/a b"))

    def test_text_from_hosts_is_shown_escaped(self):
        self.assertEqual(shown("a\x1b[8mb\x9b\r\u202e\x00\t"), "a\\x1b[8mb\\x9b\\r\\u202e\\x00\\t")
        self.assertEqual(shown(b"\xff\xc2\x9bz"), "\\xff\\x9bz")


def settle_many(folder, writer, hosts):
    """A pass over hosts, each table writer+1 lines long."""
    for name in hosts:
        path = os.path.join(folder, f".{name}.{writer}")
        with open(path, "w") as f:
            f.write("10.0.0.1 - 0a:00:00:00:00:01\n" * (writer + 1))
        runs.settle(folder, name, {"collected": True, "lines": writer + 1, "pass": str(writer)}, path)
        runs.settle(folder, "failing-" + name, {"collected": False, "reason": str(writer)})


class RunFolderTest(Folder):
    def test_runs_of_one_second_get_folders_of_their_own_in_order(self):
        names = [runs.new_run(self.root, now=0) for _ in range(11)]
        self.assertEqual(names[:3], ["19700101T000000Z", "19700101T000000Z-2", "19700101T000000Z-3"])
        self.assertEqual(sorted(reversed(names), key=runs.run_key), names)
        runs.point_latest(self.root, names[10])
        self.assertEqual(runs.point_latest(self.root, names[9]), names[10])
        self.assertRaises(ValueError, runs.existing_run, self.root, "latest")

    # Passes at once: every host kept, each table beside its own outcome;
    # while one holds the run's lock, no other puts a table in place.
    def test_passes_at_once_lose_nothing_and_mix_nothing(self):
        folder = os.path.join(self.root, runs.new_run(self.root))
        hosts = [f"h{i}" for i in range(30)]
        # Spawned: a forked child would share the lock held here.
        spawn = multiprocessing.get_context("spawn")
        writers = [spawn.Process(target=settle_many, args=(folder, w, hosts)) for w in range(4)]
        with runs.locked(folder):
            for writer in writers:
                writer.start()
            writers[0].join(0.5)
            self.assertEqual((writers[0].is_alive(), os.path.exists(os.path.join(folder, "h0.txt"))), (True, False))
        for writer in writers:
            writer.join()
        runs.record(folder, "note")
        with open(os.path.join(folder, "run.json")) as f:
            recorded = json.load(f)["hosts"]
        self.assertEqual(len(recorded), 60)
        for name in hosts:
            with open(os.path.join(folder, name + ".txt")) as f:
                self.assertEqual(len(f.readlines()), recorded[name]["lines"], name)
        self.assertEqual([n for n in os.listdir(folder) if n.startswith(".h")], [])

    def test_a_failed_pass_keeps_a_table_collected_earlier(self):
        ok = {"collected": True, "lines": 1, "at": "1"}
        bad = {"collected": False, "reason": "unreachable", "at": "2"}
        folded = runs.fold({"old": ok, "gone": bad}, [dict(bad, host="old"), dict(ok, host="gone")])
        self.assertEqual(folded, {"old": dict(ok, failed_later={"at": "2", "reason": "unreachable"}),
                                  "gone": ok})
        # Folded again with the same outcomes, as each pass's record does.
        self.assertEqual(runs.fold(folded, [dict(bad, host="old"), dict(ok, host="gone")]), folded)


class ReleaseTest(Folder):
    def test_a_signature_counts_only_when_good_valid_and_trusted(self):
        fpr = "ECDEF94207AE86E2467CF9C712FE9F79B8216037"
        good = [["NEWSIG"], ["GOODSIG", "12FE9F79B8216037", "good"], ["VALIDSIG", fpr]]
        for status, keyring, expected in [
                (good + [["TRUST_ULTIMATE", "0", "pgp"]], True, "good"),
                (good + [["TRUST_FULLY", "0", "pgp"]], True, "good"),
                (good + [["TRUST_UNDEFINED", "0", "pgp"]], True, "made by a key that the keyring does not trust"),
                (good, False, "good"),
                ([["NEWSIG"], ["EXPKEYSIG", "B3E9", "old"], ["VALIDSIG", fpr]], False, "made by an expired key"),
                ([["NEWSIG"], ["REVKEYSIG", "B639", "r"], ["VALIDSIG", fpr], ["KEYREVOKED"]], False, "made by a revoked"),
                ([["NEWSIG"], ["EXPSIG", "B639", "r"], ["VALIDSIG", fpr]], False, "expired"),
                ([["NEWSIG"], ["BADSIG", "B639", "r"]], False, "bad"),
                ([["NEWSIG"], ["ERRSIG", "B639"], ["NO_PUBKEY", "B639"]], False, "made by a key that is not there")]:
            self.assertTrue(release.verdict(status, keyring).startswith(expected), (status, expected))

    def test_a_release_folder_is_checked_by_its_names_and_sums(self):
        for name in ("arpexport-1.0.0-linux-x86_64.tar.gz", "arpexport-1.0.1-linux-x86_64.tar.gz",
                     "arpexport-1.0.0-linux-aarch64 (1).tar.gz", "arpexport-fleet-1.0.0.tar.gz"):
            self.write(f"rel/{name}", name)
        self.write("rel/SHA256SUMS", "0" * 64 + "  arpexport-1.0.0-linux-x86_64.tar.gz\n")
        problems, note, _ = release.check(os.path.join(self.root, "rel"))
        self.assertEqual((problems, note), ([
            "files that are not release tarballs: arpexport-1.0.0-linux-aarch64 (1).tar.gz",
            "more than one tarball for x86_64",
            "not listed in SHA256SUMS: arpexport-1.0.1-linux-x86_64.tar.gz",
            "not as SHA256SUMS has them: arpexport-1.0.0-linux-x86_64.tar.gz"], "checked against SHA256SUMS"))


class FleetReportTest(Folder):

    def report(self, run):
        out = subprocess.run([sys.executable, "-m", fleet_report.__name__, os.path.join(self.root, run)],
                             capture_output=True, text=True, check=False,
                             env=dict(os.environ, PYTHONPATH=CONTRIB))
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(os.path.join(self.root, run, "report.json")) as f:
            return json.load(f), out.stdout

    # Lines another table had are taken as rows: a bad line is still found
    # among them.
    def test_tables_read_by_content(self):
        known = rows(("10.0.0.1", GW))
        read = lambda text: fleet_report.read_table(self.write("t", text), {known[:-1]: [0]})
        self.assertEqual(read(known + "10.0.0.2 - 0a:00:00:00:00:02\r\n")[0].lines,
                         ["10.0.0.1 - 0a:00:00:00:00:01", "10.0.0.2 - 0a:00:00:00:00:02"])
        self.assertEqual(read("")[0].lines, [])
        for bad, line in [(known + "hello\n", 2), ("010.0.0.1 - 0a:00:00:00:00:01\n", 1),
                          ("256.0.0.1 - 0a:00:00:00:00:01\n", 1), ("10.0.0.1 - 0A:00:00:00:00:01\n", 1),
                          (known[:-1], 1), (b"\x00\x01\xff\n", 1), ("\n", 1)]:
            for text in (bad, known.encode() + bad if isinstance(bad, bytes) else known + bad):
                table, fault = read(text)
                self.assertIsNone(table, text)
                self.assertEqual(fault[0], line + (text != bad), text)

    # One run beside an earlier and a later one: hosts compared within the
    # network that holds the address, unresolved entries and group addresses
    # left out; each host's changes since its newest earlier table, whose
    # lines may come in another order.
    def test_a_run_compared_within_networks_and_with_earlier_tables(self):
        self.write(f"{RUN1}/a.txt", rows(("10.0.0.1", GW), ("10.0.0.2", "0a:00:00:00:00:02")))
        self.write(f"{RUN1}/b.txt", rows(("10.0.0.1", GW)))
        self.write(f"{RUN1}/c.txt", rows(("224.0.0.22", "01:00:5e:00:00:16"), ("10.0.0.255", BROADCAST),
                                         ("10.0.0.1", GW)))
        for run in (RUN1, RUN2):  # d's the same in both
            self.write(f"{run}/d.txt", rows(("10.0.0.5", "0a:00:00:00:00:05")))
        self.write(f"{LATER}/a.txt", "")
        self.write(f"{RUN2}/a.txt", rows(("10.0.0.1", GW), ("10.0.0.7", "00:00:00:00:00:00")))
        # b is poisoned: the gateway's address with the attacker's hardware,
        # which also answers for its own address.
        self.write(f"{RUN2}/b.txt", rows(("10.0.0.1", ROGUE), ("10.0.0.66", ROGUE),
                                         ("10.0.0.7", "0a:00:00:00:00:07")))
        self.write(f"{RUN2}/c.txt", rows(("10.0.0.1", GW), ("224.0.0.22", "01:00:5e:00:00:16"),
                                         ("10.0.0.255", BROADCAST), ("10.0.0.254", BROADCAST)))
        # The same private address in other networks is no disagreement.
        self.write(f"{RUN2}/other.txt", rows(("192.168.9.1", GW)))
        self.write(f"{RUN2}/far.txt", rows(("10.0.1.1", "0a:00:00:00:00:99")))
        self.write(f"{RUN2}/new.txt", "")
        hosts = {h: {"collected": True, "addresses": a} for h, a in {
            "a": ["10.0.0.10/24"], "b": ["10.0.0.11/24"], "c": ["10.0.0.12/24"], "d": ["10.0.0.13/24"],
            "new": ["10.0.0.13/24"],
            "other": ["192.168.9.2/24", "10.1.0.2/16"], "far": ["10.0.1.10/24"]}.items()}
        hosts["gone"] = {"collected": False, "reason": "unreachable: no route to host"}
        self.write(f"{RUN2}/run.json", json.dumps({"hosts": hosts}))
        report, text = self.report(RUN2)
        self.assertEqual(report["disagreements"], [{
            "network": "10.0.0.0/24", "address": "10.0.0.1", "hwaddresses": {GW: ["a", "c"], ROGUE: ["b"]}}])
        self.assertEqual(report["shared_hwaddresses"], [{
            "network": "10.0.0.0/24", "hwaddress": ROGUE, "addresses": {"10.0.0.1": ["b"], "10.0.0.66": ["b"]}}])
        self.assertEqual(report["coverage"]["not_collected"], {"gone": "unreachable: no route to host"})
        self.assertIn("Coverage: 7 of 8 hosts collected, 1 not", text)
        self.assertIn(f"10.0.0.1 (10.0.0.0/24): {GW} by a, c; {ROGUE} by b", text)
        self.assertEqual(report["changes"], {
            "a": {"since": RUN1, "added": [], "removed": ["10.0.0.2 - 0a:00:00:00:00:02"], "changed": []},
            "b": {"since": RUN1, "added": ["10.0.0.7 - 0a:00:00:00:00:07", f"10.0.0.66 - {ROGUE}"],
                  "removed": [], "changed": [{"address": "10.0.0.1", "old": [GW], "new": [ROGUE]}]},
            "c": {"since": RUN1, "added": [f"10.0.0.254 - {BROADCAST}"], "removed": [], "changed": []}})
        self.assertEqual(report["new_hosts"], ["far", "new", "other"])


if __name__ == "__main__":
    unittest.main()

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
import tracemalloc
import unittest

CONTRIB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "contrib")
sys.path.insert(0, CONTRIB)
# pylint: disable=wrong-import-position
from ansible_collections.arpexport.fleet.plugins.plugin_utils import host, release, runs, tables  # noqa: E402
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

    def report(self, run, status=0):
        out = subprocess.run([sys.executable, "-m", fleet_report.__name__, os.path.join(self.root, run)],
                             capture_output=True, text=True, check=False,
                             env=dict(os.environ, PYTHONPATH=CONTRIB))
        self.assertEqual(out.returncode, status, out.stderr)
        if status:
            return None, out.stderr
        with open(os.path.join(self.root, run, "report", "report.json")) as f:
            return json.load(f), out.stdout

    # Read as a stream and left at the first bad line; lines another table
    # had are taken as rows, and a bad line is still found among them.
    def test_tables_read_by_content(self):
        known = rows(("10.0.0.1", GW))

        def read(text):
            try:
                return tables.read_table(self.write("t", text), {known[:-1]: [0]}).lines
            except tables.NotATable as fault:
                return fault.line, fault.text
        self.assertEqual(read(known + "10.0.0.2 - 0a:00:00:00:00:02\r\n"),
                         ["10.0.0.1 - 0a:00:00:00:00:01", "10.0.0.2 - 0a:00:00:00:00:02"])
        self.assertEqual(read(""), [])
        for bad, line in [(known + "hello\n", 2), ("010.0.0.1 - 0a:00:00:00:00:01\n", 1),
                          ("256.0.0.1 - 0a:00:00:00:00:01\n", 1), ("10.0.0.1 - 0A:00:00:00:00:01\n", 1),
                          (known[:-1], 1), (b"\x00\x01\xff\n", 1), ("\n", 1), ("x" * 100, 1)]:
            for text in (bad, known.encode() + bad if isinstance(bad, bytes) else known + bad):
                self.assertEqual(read(text)[0], line + (text != bad), text)
        self.assertEqual(read("\ufeff" + known), (1, "UTF-8 with a byte-order mark, not a table"))
        self.assertEqual(read(known.encode("utf-16")), (1, "UTF-16 text, not a table"))
        self.assertEqual(read(known.encode("utf-16-le")), (1, "UTF-16 text, not a table"))
        self.assertEqual(read(known * 40000 + "\x1b[8m\n")[:2], (40001, "\\x1b[8m"))

    # One run beside an earlier and a later one: hosts compared within their
    # site, in the most specific of their networks that holds the address or
    # else outside their networks; unresolved entries and group addresses
    # left out; one host seeing two hardware addresses, and hosts that hold
    # one own address, not a dispute; each host's changes since its newest
    # earlier table, whose lines may come in another order.
    def test_a_run_compared_within_sites_and_networks_and_with_earlier_tables(self):
        self.write(f"{RUN1}/a.txt", rows(("10.0.0.1", GW), ("10.0.0.2", "0a:00:00:00:00:02")))
        self.write(f"{RUN1}/b.txt", rows(("10.0.0.1", GW)))
        self.write(f"{RUN1}/c.txt", rows(("224.0.0.22", "01:00:5e:00:00:16"), ("10.0.0.255", BROADCAST),
                                         ("10.0.0.1", GW)))
        for run in (RUN1, RUN2):  # d's the same in both
            self.write(f"{run}/d.txt", rows(("10.0.0.5", "0a:00:00:00:00:05")))
        self.write(f"{LATER}/a.txt", "")
        self.write(f"{RUN2}/a.txt", rows(("10.0.0.1", GW), ("10.0.0.7", "00:00:00:00:00:00")))
        # b is poisoned: the gateway's address with the attacker's hardware,
        # which also answers for its own address; wide is on the same link
        # with a /23.
        self.write(f"{RUN2}/b.txt", rows(("10.0.0.1", ROGUE), ("10.0.0.66", ROGUE),
                                         ("10.0.0.7", "0a:00:00:00:00:07")))
        self.write(f"{RUN2}/c.txt", rows(("10.0.0.1", GW), ("224.0.0.22", "01:00:5e:00:00:16"),
                                         ("10.0.0.255", BROADCAST), ("10.0.0.254", BROADCAST)))
        self.write(f"{RUN2}/wide.txt", rows(("10.0.0.1", GW)))
        # vpn's /8 comes first, its LAN's /24 is where its gateway is.
        self.write(f"{RUN2}/far.txt", rows(("10.0.1.1", "0a:00:00:00:00:99")))
        self.write(f"{RUN2}/vpn.txt", rows(("10.0.1.1", "0a:00:00:00:00:98")))
        # /32 hosts reach their gateway on the link, outside their networks.
        self.write(f"{RUN2}/cloud1.txt", rows(("10.5.0.1", "0a:00:00:00:05:01")))
        self.write(f"{RUN2}/cloud2.txt", rows(("10.5.0.1", "0a:00:00:00:05:02")))
        self.write(f"{RUN2}/dual.txt", rows(("10.0.0.200", "0a:00:00:00:02:01"), ("10.0.0.200", "0a:00:00:00:02:02")))
        # Two hypervisors' bridges, one network on separate links; two sites
        # with one network; the same private address in other networks.
        self.write(f"{RUN2}/hv1.txt", rows(("192.168.122.50", "52:54:00:00:00:01")))
        self.write(f"{RUN2}/hv2.txt", rows(("192.168.122.50", "52:54:00:00:00:02")))
        self.write(f"{RUN2}/east.txt", rows(("172.16.0.254", "0a:00:00:00:16:01")))
        self.write(f"{RUN2}/west.txt", rows(("172.16.0.254", "0a:00:00:00:16:02")))
        self.write(f"{RUN2}/other.txt", rows(("192.168.9.1", GW)))
        self.write(f"{RUN2}/new.txt", "")
        hosts = {h: {"collected": True, "addresses": a} for h, a in {
            "a": ["10.0.0.10/24"], "b": ["10.0.0.11/24"], "c": ["10.0.0.12/24"], "d": ["10.0.0.13/24"],
            "new": ["10.0.0.14/24"], "wide": ["10.0.0.40/23", "127.0.0.1/8"], "far": ["10.0.1.10/24"],
            "vpn": ["10.9.9.9/8", "10.0.1.20/24"], "cloud1": ["10.5.0.5/32"], "cloud2": ["10.5.0.6/32"],
            "dual": ["10.0.0.50/24"], "hv1": ["192.168.122.1/24"], "hv2": ["192.168.122.1/24"],
            "east": ["172.16.0.1/24"], "west": ["172.16.0.2/24"],
            "other": ["192.168.9.2/24", "10.1.0.2/16"]}.items()}
        hosts["east"]["site"], hosts["west"]["site"] = "east", "west"
        hosts["gone"] = {"collected": False, "reason": "unreachable: no route to host"}
        hosts["listed"] = {"collected": True, "lines": 3}
        self.write(f"{RUN2}/run.json", json.dumps({"hosts": hosts}))
        os.symlink(RUN2, os.path.join(self.root, "latest"))
        report, text = self.report("latest")
        self.assertEqual(self.report(RUN2), (report, text))
        self.assertEqual([(d["address"], d["compared"], d["networks"], d["hwaddresses"])
                          for d in report["disagreements"]], [
            ("10.0.0.1", "in their network", ["10.0.0.0/23", "10.0.0.0/24"], {GW: ["a", "c", "wide"], ROGUE: ["b"]}),
            ("10.0.1.1", "in their network", ["10.0.1.0/24"], {"0a:00:00:00:00:98": ["vpn"], "0a:00:00:00:00:99": ["far"]}),
            ("10.5.0.1", "outside their networks", [], {"0a:00:00:00:05:01": ["cloud1"], "0a:00:00:00:05:02": ["cloud2"]})])
        self.assertEqual(report["several_hwaddresses"], [{"site": "", "host": "dual", "address": "10.0.0.200",
                                                          "hwaddresses": ["0a:00:00:00:02:01", "0a:00:00:00:02:02"]}])
        self.assertEqual(report["shared_own_addresses"], [{"site": "", "address": "192.168.122.1",
                                                           "network": "192.168.122.0/24", "hosts": ["hv1", "hv2"]}])
        self.assertEqual(report["shared_hwaddresses"], [{"site": "", "network": "10.0.0.0/24", "hwaddress": ROGUE,
                                                         "addresses": {"10.0.0.1": ["b"], "10.0.0.66": ["b"]}}])
        self.assertEqual(report["coverage"]["not_collected"], {
            "gone": "unreachable: no route to host",
            "listed": "run.json lists it collected, but there is no table for it"})
        for line in ["Coverage: 16 of 18 hosts collected, 2 not", "Disagreements: 3 addresses",
                     f"[no site] 10.0.0.1 (10.0.0.0/23, 10.0.0.0/24): {GW} by a, c, wide; {ROGUE} by b",
                     "Empty tables: 1: new", "(the newest, 20261210T000000Z): 3 hosts changed, 12 with no"]:
            self.assertIn(line, text)
        self.assertEqual(report["changes"], {
            "a": {"since": RUN1, "added": [], "removed": ["10.0.0.2 - 0a:00:00:00:00:02"], "changed": []},
            "b": {"since": RUN1, "added": ["10.0.0.7 - 0a:00:00:00:00:07", f"10.0.0.66 - {ROGUE}"],
                  "removed": [], "changed": [{"address": "10.0.0.1", "old": [GW], "new": [ROGUE]}]},
            "c": {"since": RUN1, "added": [f"10.0.0.254 - {BROADCAST}"], "removed": [], "changed": []}})
        self.assertIn("Changes: no earlier run beside this one to compare with.", self.report(RUN1)[1])

    # Every table reported on, everything else named and left out, nothing
    # opened but regular files, memory within the tables, no formula in the
    # CSV, no control character shown, the tables untouched.
    def test_a_folder_in_any_shape(self):
        table = rows(("10.0.0.1", GW))
        names = ["good", "report", "=HYPERLINK(1)", "+cmd", "-2+3", "@SUM(1+1)", "\x1b[8mhidden"]
        for name in names:
            self.write(f"shape/{name}.txt", table)
        folder = os.path.join(self.root, "shape")
        self.write("shape/bom.txt", "\ufeff" + table)
        self.write("shape/garbage.txt", b"ab\n" * (5 << 20))
        with open(os.path.join(os.fsencode(folder), b"\xff-name.txt"), "w") as f:
            f.write(table)
        os.symlink("/etc/shadow", os.path.join(folder, "link.txt"))
        os.mkfifo(os.path.join(folder, "fifo.txt"))
        os.mkdir(os.path.join(folder, "dir.txt"))
        if os.geteuid() == 0:
            os.mknod(os.path.join(folder, "dev.txt"), 0o600 | 0o020000, os.makedev(1, 5))
        before = {n: os.lstat(os.path.join(folder, n)) for n in os.listdir(folder)}
        tracemalloc.start()
        text = fleet_report.write_report(folder)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        self.assertLess(peak, 8 << 20)  # beside 15 MB of garbage
        with open(os.path.join(folder, "report", "report.json")) as f:
            report = json.load(f)
        self.assertEqual({h: why.split(" (")[0] for h, why in report["coverage"]["not_collected"].items()}, dict({
            "link": "link.txt is a link; left out", "fifo": "fifo.txt is a FIFO; left out",
            "dir": "dir.txt is a folder; left out", "bom": "bom.txt is not a table",
            "garbage": "garbage.txt is not a table"}, **({"dev": "dev.txt is a device; left out"}
                                                        if os.geteuid() == 0 else {})))
        self.assertEqual(report["coverage"]["collected"], len(names) + 1)
        with open(os.path.join(folder, "report", "fleet.csv"), newline="") as f:
            fields = [line.split(",")[0] for line in f.read().splitlines()[1:]]
        self.assertEqual(sorted(fields), sorted(['"\'+cmd"', '"\'-2+3"', '"\'=HYPERLINK(1)"', '"\'@SUM(1+1)"',
                                                 "\\x1b[8mhidden", "\\xff-name", "good", "report"]))
        self.assertFalse(any(c in text for c in "\x1b\r\x9b"))
        self.assertEqual(before, {n: os.lstat(os.path.join(folder, n)) for n in os.listdir(folder)
                                  if n != "report"})
        # run.json that is no run's record stops the report with a message.
        for record in ('{"hosts": {', b"\xff\xfe", "[]"):
            self.write("shape/run.json", record)
            self.assertIn("cannot be read as a run's record", self.report("shape", status=1)[1])
        os.unlink(os.path.join(folder, "run.json"))
        help_ = subprocess.run([sys.executable, "-m", fleet_report.__name__, "--help"], capture_output=True,
                               check=False, env=dict(os.environ, PYTHONPATH=CONTRIB))
        self.assertEqual((help_.returncode, help_.stdout[:6]), (0, b"usage:"))
        # Stopped while it writes: the files as they were, no temporary one.
        stop = ("import os, sys; from ansible_collections.arpexport.fleet.plugins.plugin_utils import report\n"
                "class Stop(dict):\n  def get(self, *a): os.kill(os.getpid(), 15)\n"
                "report.write_report(sys.argv[1], Stop(x=1))")
        stopped = subprocess.run([sys.executable, "-c", stop, folder], capture_output=True, check=False,
                                 env=dict(os.environ, PYTHONPATH=CONTRIB))
        self.assertEqual((stopped.returncode, sorted(os.listdir(os.path.join(folder, "report")))),
                         (143, ["fleet.csv", "report.json", "report.txt"]))


if __name__ == "__main__":
    unittest.main()

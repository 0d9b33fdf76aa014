"""The fleet report's own logic, on folders of tables made here: what it
reads as a table, what it compares with what, and what it writes."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

REPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "contrib", "ansible",
                      "fleet_report.py")
sys.path.insert(0, os.path.dirname(REPORT))
import fleet_report  # noqa: E402  pylint: disable=wrong-import-position

GW, ROGUE, BROADCAST = "0a:00:00:00:00:01", "0a:00:00:00:00:66", "ff:ff:ff:ff:ff:ff"
RUN1, RUN2, LATER = "20261210T000000Z", "20261211T000000Z", "20261212T000000Z"


def rows(*pairs):
    return "".join(f"{a} - {hw}\n" for a, hw in pairs)


class FleetReportTest(unittest.TestCase):
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

    def report(self, run):
        out = subprocess.run([sys.executable, REPORT, os.path.join(self.root, run)],
                             capture_output=True, text=True, check=False)
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

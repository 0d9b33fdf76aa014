"""The fleet report's own logic, on folders of tables made here: what it
reads as a table, what it compares with what, and what it writes."""
import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPORT = os.path.join(HERE, "..", "contrib", "ansible", "fleet_report.py")
sys.path.insert(0, os.path.dirname(REPORT))
import fleet_report  # noqa: E402  pylint: disable=wrong-import-position


def row(address, hw):
    return f"{address} - {hw}\n"


class FleetReportTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        os.chmod(self.root, 0o755)
        self.run1 = self.folder("20261210T000000Z")
        self.run2 = self.folder("20261211T000000Z")

    def tearDown(self):
        shutil.rmtree(self.root)

    def folder(self, name):
        path = os.path.join(self.root, name)
        os.mkdir(path)
        return path

    def table(self, folder, host, text, mode="w"):
        with open(os.path.join(folder, host + ".txt"), mode) as f:
            f.write(text)

    def hosts(self, folder, **addresses):
        hosts = {h: {"collected": True, "addresses": a} for h, a in addresses.items()}
        hosts["gone"] = {"collected": False, "reason": "unreachable: no route to host"}
        with open(os.path.join(folder, "run.json"), "w") as f:
            json.dump({"hosts": hosts}, f)

    def report(self, folder):
        out = subprocess.run([sys.executable, REPORT, folder], capture_output=True,
                             text=True, check=False)
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(os.path.join(folder, "report.json")) as f:
            return json.load(f), out.stdout

    # Lines another table had are taken as rows: a bad line is still found
    # among them.
    def test_tables_read_by_content(self):
        known = row("10.0.0.1", "0a:00:00:00:00:01")
        ok, _ = fleet_report.read_table(self.write("ok", known + "10.0.0.2 - 0a:00:00:00:00:02\r\n"), {})
        self.assertEqual(ok.lines, ["10.0.0.1 - 0a:00:00:00:00:01", "10.0.0.2 - 0a:00:00:00:00:02"])
        self.assertEqual(fleet_report.read_table(self.write("empty", ""), {})[0].lines, [])
        seen = {known[:-1]: [0]}
        for bad, line in [(row("10.0.0.1", "0a:00:00:00:00:01") + "hello\n", 2),
                          ("010.0.0.1 - 0a:00:00:00:00:01\n", 1), ("256.0.0.1 - 0a:00:00:00:00:01\n", 1),
                          ("10.0.0.1 - 0A:00:00:00:00:01\n", 1), ("10.0.0.1 - 0a:00:00:00:00:01", 1),
                          ("\x00\x01\xff\n", 1), ("\n", 1)]:
            for text in (bad, known + bad):
                table, fault = fleet_report.read_table(self.write("bad", text), seen)
                self.assertIsNone(table, text)
                self.assertEqual(fault[0], line + (text != bad), text)

    def write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def test_disagreements_within_a_network_and_shared_hardware(self):
        gw, rogue = "0a:00:00:00:00:01", "0a:00:00:00:00:66"
        self.hosts(self.run2, a=["10.0.0.10/24"], b=["10.0.0.11/24"], c=["10.0.0.12/24"],
                   other=["192.168.9.2/24", "10.1.0.2/16"], far=["10.0.1.10/24"])
        self.table(self.run2, "a", row("10.0.0.1", gw) + row("10.0.0.7", "00:00:00:00:00:00"))
        # b is poisoned: the gateway's address with the attacker's hardware,
        # which also answers for its own address.
        self.table(self.run2, "b", row("10.0.0.1", rogue) + row("10.0.0.66", rogue)
                   + row("10.0.0.7", "0a:00:00:00:00:07"))
        self.table(self.run2, "c", row("10.0.0.1", gw) + row("224.0.0.22", "01:00:5e:00:00:16")
                   + row("10.0.0.255", "ff:ff:ff:ff:ff:ff") + row("10.0.0.254", "ff:ff:ff:ff:ff:ff"))
        # The same private address in other networks is no disagreement.
        self.table(self.run2, "other", row("192.168.9.1", gw))
        self.table(self.run2, "far", row("10.0.1.1", "0a:00:00:00:00:99"))
        report, text = self.report(self.run2)
        self.assertEqual(report["disagreements"], [{
            "network": "10.0.0.0/24", "address": "10.0.0.1",
            "hwaddresses": {gw: ["a", "c"], rogue: ["b"]}}])
        self.assertEqual(report["shared_hwaddresses"], [{
            "network": "10.0.0.0/24", "hwaddress": rogue,
            "addresses": {"10.0.0.1": ["b"], "10.0.0.66": ["b"]}}])
        self.assertEqual(report["coverage"]["not_collected"], {"gone": "unreachable: no route to host"})
        self.assertIn("Coverage: 5 of 6 hosts collected, 1 not", text)
        self.assertIn(f"10.0.0.1 (10.0.0.0/24): {gw} by a, c; {rogue} by b", text)

    def test_changes_against_the_newest_earlier_table_of_each_host(self):
        self.table(self.run1, "a", row("10.0.0.1", "0a:00:00:00:00:01") + row("10.0.0.2", "0a:00:00:00:00:02"))
        self.table(self.run1, "b", row("10.0.0.9", "0a:00:00:00:00:09"))
        self.table(self.run2, "a", row("10.0.0.1", "0a:00:00:00:00:66") + row("10.0.0.3", "0a:00:00:00:00:03"))
        self.table(self.run2, "new", "")
        # c's lines in another order, one more among them: that one added.
        c = [row(f"10.0.0.{i}", f"0a:00:00:00:00:0{i}") for i in (1, 2, 3, 9)]
        self.table(self.run1, "c", "".join(c[:3]))
        self.table(self.run2, "c", c[2] + c[0] + c[1] + c[3])
        later = self.folder("20261212T000000Z")
        self.table(later, "b", row("10.0.0.9", "0a:00:00:00:00:09"))
        report, _ = self.report(self.run2)
        self.assertEqual(report["changes"], {"a": {
            "since": "20261210T000000Z", "added": ["10.0.0.3 - 0a:00:00:00:00:03"],
            "removed": ["10.0.0.2 - 0a:00:00:00:00:02"],
            "changed": [{"address": "10.0.0.1", "old": ["0a:00:00:00:00:01"], "new": ["0a:00:00:00:00:66"]}]},
            "c": {"since": "20261210T000000Z", "added": ["10.0.0.9 - 0a:00:00:00:00:09"],
                  "removed": [], "changed": []}})
        self.assertEqual(report["new_hosts"], ["new"])
        self.assertEqual(self.report(later)[0]["changes"], {})  # b: as in run1

    # Without run.json: every host compared with every other; a host name
    # that is no plain CSV field quoted; a binary file left out.
    def test_a_bare_folder_csv_rows_and_bad_files(self):
        self.table(self.run2, 'we,ird "name"', row("192.168.1.1", "0a:00:00:00:00:aa"))
        self.table(self.run2, "win", "192.168.1.1 - 0a:00:00:00:00:bb\r\n")
        self.table(self.run2, "binary", b"\x7fELF\x00\x00", mode="wb")
        report, text = self.report(self.run2)
        with open(os.path.join(self.run2, "fleet.csv"), newline="") as f:
            self.assertEqual(list(csv.reader(f)), [
                ["host", "address", "hwaddress"], ['we,ird "name"', "192.168.1.1", "0a:00:00:00:00:aa"],
                ["win", "192.168.1.1", "0a:00:00:00:00:bb"]])
        self.assertEqual(len(report["disagreements"]), 1)
        self.assertIn("no run.json", report["compared"])
        self.assertEqual(report["coverage"]["not_tables"]["binary"]["line"], 1)
        self.assertIn("Coverage: 3 tables found", text)
        # Run again over its own output: its files are not tables of hosts.
        self.assertEqual(self.report(self.run2)[0]["coverage"]["tables"], 3)

    def test_a_folder_that_cannot_be_written_changes_nothing(self):
        self.table(self.run2, "a", row("10.0.0.1", "0a:00:00:00:00:01"))
        os.chmod(self.run2, 0o555)
        try:
            out = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                  sys.executable, REPORT, self.run2], capture_output=True, text=True,
                                 check=False)
        finally:
            os.chmod(self.run2, 0o755)
        self.assertEqual(out.returncode, 1)
        self.assertIn("cannot write the report in", out.stderr)
        self.assertEqual(sorted(os.listdir(self.run2)), ["a.txt"])


if __name__ == "__main__":
    unittest.main()

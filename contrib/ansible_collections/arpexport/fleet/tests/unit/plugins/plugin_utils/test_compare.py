"""Which hosts the report compares with which: within their site, in the
most specific of their networks that holds the address or else outside
their networks; unresolved entries and group addresses left out; one host
seeing two hardware addresses, and hosts that hold one own address, not a
dispute."""
import json
import os

from ansible_collections.arpexport.fleet.plugins.plugin_utils import report
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import GW, ROGUE, rows, write


def test_disputes_are_found_where_the_hosts_can_see_each_other(three_runs):
    dummy, (reported, unused) = three_runs
    assert [(d["address"], d["compared"], d["networks"], d["hwaddresses"]) for d in reported["disagreements"]] == [
        ("10.0.0.1", "in their network", ["10.0.0.0/23", "10.0.0.0/24"], {GW: ["a", "c", "wide"], ROGUE: ["b"]}),
        ("10.0.1.1", "in their network", ["10.0.1.0/24"],
         {"0a:00:00:00:00:98": ["vpn"], "0a:00:00:00:00:99": ["far"]}),
        ("10.5.0.1", "outside their networks", [],
         {"0a:00:00:00:05:01": ["cloud1"], "0a:00:00:00:05:02": ["cloud2"]})]


def test_one_host_seeing_two_hardware_addresses_is_listed_apart(three_runs):
    dummy, (reported, unused) = three_runs
    assert reported["several_hwaddresses"] == [{"site": "", "host": "dual", "address": "10.0.0.200",
                                                "hwaddresses": ["0a:00:00:00:02:01", "0a:00:00:00:02:02"]}]


def test_hosts_that_hold_one_own_address_are_listed_not_compared(three_runs):
    dummy, (reported, unused) = three_runs
    assert reported["shared_own_addresses"] == [{"site": "", "address": "192.168.122.1",
                                                 "network": "192.168.122.0/24", "hosts": ["hv1", "hv2"]}]


def test_a_hardware_address_behind_two_addresses_is_listed(three_runs):
    dummy, (reported, unused) = three_runs
    assert reported["shared_hwaddresses"] == [{"site": "", "network": "10.0.0.0/24", "hwaddress": ROGUE,
                                               "addresses": {"10.0.0.1": ["b"], "10.0.0.66": ["b"]}}]


def test_a_line_twice_in_one_table_counts_its_host_once(tmp_path):
    # One address on two interfaces at one hardware address.
    twice = rows(("10.0.0.9", GW), ("10.0.0.9", GW))
    write(os.path.join(tmp_path, "a.txt"), twice)
    write(os.path.join(tmp_path, "b.txt"), rows(("10.0.0.9", "0a:00:00:00:00:02")))
    report.write_report(str(tmp_path))
    with open(os.path.join(tmp_path, "report", "report.json"), encoding="utf-8") as f:
        reported = json.load(f)
    assert [d["hwaddresses"] for d in reported["disagreements"]] == [{GW: ["a"], "0a:00:00:00:00:02": ["b"]}]
    assert reported["several_hwaddresses"] == []

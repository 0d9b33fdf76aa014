"""One run beside an earlier and a later one, reported on as the report
playbook does, through latest."""
import json
import os

import pytest

from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import BROADCAST, GW, ROGUE, report_process, \
    rows, write

RUN1, RUN2, LATER = "20261210T000000Z", "20261211T000000Z", "20261212T000000Z"

ADDRESSES = {
    "a": ["10.0.0.10/24"], "b": ["10.0.0.11/24"], "c": ["10.0.0.12/24"], "d": ["10.0.0.13/24"],
    "new": ["10.0.0.14/24"], "wide": ["10.0.0.40/23", "127.0.0.1/8"], "far": ["10.0.1.10/24"],
    "vpn": ["10.9.9.9/8", "10.0.1.20/24"], "cloud1": ["10.5.0.5/32"], "cloud2": ["10.5.0.6/32"],
    "dual": ["10.0.0.50/24"], "hv1": ["192.168.122.1/24"], "hv2": ["192.168.122.1/24"],
    "east": ["172.16.0.1/24"], "west": ["172.16.0.2/24"], "other": ["192.168.9.2/24", "10.1.0.2/16"]}


def tables_of_three_runs(root):
    def table(run, name, *entries):
        write(os.path.join(root, run, name + ".txt"), rows(*entries))
    table(RUN1, "a", ("10.0.0.1", GW), ("10.0.0.2", "0a:00:00:00:00:02"))
    table(RUN1, "b", ("10.0.0.1", GW))
    table(RUN1, "c", ("224.0.0.22", "01:00:5e:00:00:16"), ("10.0.0.255", BROADCAST), ("10.0.0.1", GW))
    for run in (RUN1, RUN2):  # d's the same in both
        table(run, "d", ("10.0.0.5", "0a:00:00:00:00:05"))
    table(LATER, "a")
    table(RUN2, "a", ("10.0.0.1", GW), ("10.0.0.7", "00:00:00:00:00:00"))
    # b is poisoned: the gateway's address with the attacker's hardware,
    # which also answers for its own address; wide is on the same link
    # with a /23.
    table(RUN2, "b", ("10.0.0.1", ROGUE), ("10.0.0.66", ROGUE), ("10.0.0.7", "0a:00:00:00:00:07"))
    table(RUN2, "c", ("10.0.0.1", GW), ("224.0.0.22", "01:00:5e:00:00:16"), ("10.0.0.255", BROADCAST),
          ("10.0.0.254", BROADCAST))
    table(RUN2, "wide", ("10.0.0.1", GW))
    # vpn's /8 comes first, its LAN's /24 is where its gateway is.
    table(RUN2, "far", ("10.0.1.1", "0a:00:00:00:00:99"))
    table(RUN2, "vpn", ("10.0.1.1", "0a:00:00:00:00:98"))
    # /32 hosts reach their gateway on the link, outside their networks.
    table(RUN2, "cloud1", ("10.5.0.1", "0a:00:00:00:05:01"))
    table(RUN2, "cloud2", ("10.5.0.1", "0a:00:00:00:05:02"))
    table(RUN2, "dual", ("10.0.0.200", "0a:00:00:00:02:01"), ("10.0.0.200", "0a:00:00:00:02:02"))
    # Two hypervisors' bridges, one network on separate links; two sites
    # with one network; the same private address in other networks.
    table(RUN2, "hv1", ("192.168.122.50", "52:54:00:00:00:01"))
    table(RUN2, "hv2", ("192.168.122.50", "52:54:00:00:00:02"))
    table(RUN2, "east", ("172.16.0.254", "0a:00:00:00:16:01"))
    table(RUN2, "west", ("172.16.0.254", "0a:00:00:00:16:02"))
    table(RUN2, "other", ("192.168.9.1", GW))
    table(RUN2, "new")
    hosts = {h: {"collected": True, "addresses": a} for h, a in ADDRESSES.items()}
    hosts["east"]["site"], hosts["west"]["site"] = "east", "west"
    hosts["gone"] = {"collected": False, "reason": "unreachable: no route to host"}
    hosts["listed"] = {"collected": True, "lines": 3}
    write(os.path.join(root, RUN2, "run.json"), json.dumps({"hosts": hosts}))
    os.symlink(RUN2, os.path.join(root, "latest"))


def reported(folder):
    """report.json, and what the report printed."""
    done = report_process(folder)
    assert done.returncode == 0, done.stderr
    with open(os.path.join(folder, "report", "report.json"), encoding="utf-8") as f:
        return json.load(f), done.stdout


@pytest.fixture(scope="session")
def three_runs(tmp_path_factory):
    """The folder of the three runs, and the report on the middle one
    through latest: report.json and its summary."""
    root = str(tmp_path_factory.mktemp("tables"))
    tables_of_three_runs(root)
    return root, reported(os.path.join(root, "latest"))

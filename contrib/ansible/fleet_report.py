#!/usr/bin/env python3
"""A report over a folder of arpexport tables, one HOST.txt a host: the
run folders that collect.yml writes, or any folder of tables, the Windows
program's (CRLF) included.

  fleet_report.py FOLDER

writes FOLDER/fleet.csv (host,address,hwaddress: every table's rows),
FOLDER/report.json (everything) and FOLDER/report.txt (a summary: coverage,
disagreements, changes), and prints the summary. The tables are only read.
When FOLDER holds collect.yml's run.json, coverage names each host that was
not collected with its reason, and hosts are compared only within a network
that both are on. When FOLDER is a run folder, each host's table is
compared with its newest earlier one among the run folders beside it.
"""
import csv
import ipaddress
import json
import os
import re
import socket
import sys
from collections import defaultdict

from arpexport_fleet import RUN, write_atomically

ROW = re.compile(rb"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
                 rb"(?:\.(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}"
                 rb" - (?:[0-9a-f]{2}:){5}[0-9a-f]{2}\r?")
UNRESOLVED = "00:00:00:00:00:00"
SHOWN = 5  # items of each kind in the summary


def read_table(path):
    """[(address, hwaddress)], or the number and text of the first bad line."""
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\n")
    last = lines.pop()  # after the last line end: nothing, in a whole table
    # Every line checked in C; one by one only to name a fault.
    if not last and all(map(ROW.fullmatch, lines)):
        fields = data.decode("ascii").split()
        return list(zip(fields[0::3], fields[2::3])), None
    for number, line in enumerate(lines, 1):
        if ROW.fullmatch(line) is None:
            text = line[:60].decode("ascii", "backslashreplace")
            return None, (number, text if line else "an empty line")
    return None, (len(lines) + 1, "a last line without its line end" if last else "")


def tables_in(folder):
    """{host: path} of FOLDER's HOST.txt files, temporary ones left out."""
    return {name[:-4]: os.path.join(folder, name)
            for name in sorted(os.listdir(folder))
            if name.endswith(".txt") and not name.startswith(".")
            and name not in ("report.txt",)
            and os.path.isfile(os.path.join(folder, name))}


def networks_of(addresses):
    """A host's networks as (first address, mask, name), in integers."""
    nets = []
    for a in addresses:
        try:
            net = ipaddress.IPv4Interface(a).network
        except ValueError:
            continue
        nets.append((int(net.network_address), int(net.netmask), str(net)))
    return nets


def scope(address, nets):
    """The host's network that holds address: the one to compare within."""
    ip = int.from_bytes(socket.inet_aton(address), "big")
    for first, mask, name in nets:
        if ip & mask == first:
            return name
    return None


def earlier_table(folder, host):
    """The newest earlier run's table of host: (run, path), or None."""
    parent, run = os.path.split(os.path.abspath(folder))
    if not RUN.match(run):
        return None
    earlier = sorted((n for n in os.listdir(parent) if RUN.match(n) and n < run),
                     reverse=True)
    for name in earlier:
        path = os.path.join(parent, name, host + ".txt")
        if os.path.isfile(path):
            return name, path
    return None


def numeric(address):
    """A sort key that orders addresses as numbers, cheaply."""
    return socket.inet_aton(address)


def by_address(rows):
    """{address: hwaddress}, or a frozenset where an address has several."""
    d = {}
    for address, hw in rows:
        if hw == UNRESOLVED:
            continue
        seen = d.get(address)
        if seen is None:
            d[address] = hw
        elif seen != hw:
            d[address] = (seen if isinstance(seen, frozenset) else frozenset((seen,))) | {hw}
    return d


def listed(hws):
    return sorted(hws) if isinstance(hws, frozenset) else [hws]


def changes(old_rows, new_rows):
    """Entries added and removed, and addresses whose hardware changed."""
    old, new = by_address(old_rows), by_address(new_rows)
    return {
        "added": [f"{a} - {hw}" for a in sorted(new.keys() - old.keys(), key=numeric)
                  for hw in listed(new[a])],
        "removed": [f"{a} - {hw}" for a in sorted(old.keys() - new.keys(), key=numeric)
                    for hw in listed(old[a])],
        "changed": [{"address": a, "old": listed(old[a]), "new": listed(new[a])}
                    for a in sorted(old.keys() & new.keys(), key=numeric)
                    if old[a] != new[a]],
    }


def analyse(folder, csv_out):
    """Everything the report says; writes the rows to csv_out as it reads."""
    run = {}
    if os.path.isfile(os.path.join(folder, "run.json")):
        with open(os.path.join(folder, "run.json"), encoding="utf-8") as f:
            run = json.load(f).get("hosts", {})
    tables = tables_in(folder)
    nets = {h: networks_of(run.get(h, {}).get("addresses", [])) for h in tables}
    # A host whose networks are unknown (a table copied in, or no run.json)
    # is compared with every host.
    unscoped = {h for h, n in nets.items() if not n}
    writer = csv.writer(csv_out)
    writer.writerow(["host", "address", "hwaddress"])
    seen = defaultdict(lambda: defaultdict(list))  # (net, address) -> hw -> hosts
    everywhere = defaultdict(lambda: defaultdict(list))  # the same, net "all"
    behind = defaultdict(lambda: defaultdict(set))  # (net, hw) -> address -> hosts
    bad, empty, rows_total, changed = {}, [], 0, {}
    for host, path in tables.items():
        try:
            rows, fault = read_table(path)
        except OSError as error:
            rows, fault = None, (0, error.strerror)
        if rows is None:
            bad[host] = {"line": fault[0], "text": fault[1]}
            continue
        if not rows:
            empty.append(host)
        writer.writerows((host, a, hw) for a, hw in rows)
        rows_total += len(rows)
        for address, hw in rows:
            if hw == UNRESOLVED:
                continue
            if unscoped:
                everywhere[("all", address)][hw].append(host)
            net = scope(address, nets[host]) if host not in unscoped else "all"
            if net is None:
                continue
            if net != "all":
                seen[(net, address)][hw].append(host)
            if not int(hw[:2], 16) & 1:  # not a group address
                behind[(net, hw)][address].add(host)
        previous = earlier_table(folder, host)
        if previous is not None:
            old, _ = read_table(previous[1])
            if old is not None:
                diff = changes(old, rows)
                if any(diff.values()):
                    changed[host] = dict(since=previous[0], **diff)
        else:
            changed[host] = {"new": True}
    for key, hws in everywhere.items():
        if len(hws) > 1 and any(h in unscoped for hosts in hws.values() for h in hosts):
            seen[key] = hws
    disagreements = [
        {"network": net, "address": address,
         "hwaddresses": {hw: sorted(set(hosts)) for hw, hosts in sorted(hws.items())}}
        for (net, address), hws in sorted(seen.items(), key=lambda i: (i[0][0], numeric(i[0][1])))
        if len(hws) > 1]
    shared = [
        {"network": net, "hwaddress": hw,
         "addresses": {a: sorted(hosts) for a, hosts in sorted(addrs.items(), key=lambda i: numeric(i[0]))}}
        for (net, hw), addrs in sorted(behind.items()) if len(addrs) > 1]
    missing = {h: o.get("reason", "") for h, o in sorted(run.items())
               if not o.get("collected") and h not in tables}
    return {
        "folder": os.path.abspath(folder),
        "coverage": {
            "inventory": len(set(run) | set(tables)) if run else None,
            "tables": len(tables), "rows": rows_total, "empty": empty,
            "not_collected": missing, "not_tables": bad},
        "compared": "within each network the hosts are on" if not unscoped else
                    "every host with every other: no run.json with the hosts' networks"
                    if not run or len(unscoped) == len(tables) else
                    "within each network the hosts are on; with every host, those whose "
                    "networks are not known: " + ", ".join(sorted(unscoped)),
        "disagreements": disagreements,
        "shared_hwaddresses": shared,
        "changes": {h: c for h, c in changed.items() if not c.get("new")},
        "new_hosts": sorted(h for h, c in changed.items() if c.get("new")),
    }


def summary(r):
    c = r["coverage"]
    out = []
    if c["inventory"] is not None:
        out.append(f"Coverage: {c['tables']} of {c['inventory']} hosts collected, "
                   f"{len(c['not_collected'])} not; {c['rows']} rows.")
    else:
        out.append(f"Coverage: {c['tables']} tables found; {c['rows']} rows.")
    for host, reason in list(c["not_collected"].items())[:SHOWN]:
        out.append(f"  {host}: {reason}")
    for host, fault in list(c["not_tables"].items())[:SHOWN]:
        out.append(f"  {host}.txt is not a table (line {fault['line']}: {fault['text']}); "
                   "left out")
    more = len(c["not_collected"]) + len(c["not_tables"]) - 2 * SHOWN
    if more > 0:
        out.append(f"  ... see report.json")
    out.append("")
    d = r["disagreements"]
    out.append(f"Disagreements: {len(d)} address{'' if len(d) == 1 else 'es'} seen with "
               f"different hardware addresses (compared {r['compared']}).")
    for item in d[:SHOWN]:
        seen = "; ".join(f"{hw} by {', '.join(hosts)}" for hw, hosts in item["hwaddresses"].items())
        out.append(f"  {item['address']} ({item['network']}): {seen}")
    s = r["shared_hwaddresses"]
    out.append(f"One hardware address behind several addresses: {len(s)} "
               "(a router, or the other face of ARP spoofing).")
    for item in s[:SHOWN]:
        out.append(f"  {item['hwaddress']} ({item['network']}): " + ", ".join(item["addresses"]))
    out.append("")
    ch = r["changes"]
    out.append(f"Changes since the previous run: {len(ch)} host{'' if len(ch) == 1 else 's'} "
               f"changed, {len(r['new_hosts'])} new.")
    for host, c in list(ch.items())[:SHOWN]:
        out.append(f"  {host} (since {c['since']}): {len(c['added'])} added, "
                   f"{len(c['removed'])} removed, {len(c['changed'])} changed hardware address")
        for item in c["changed"][:SHOWN]:
            out.append(f"    {item['address']}: {', '.join(item['old'])} -> {', '.join(item['new'])}")
    out.append("")
    out.append("Everything: report.json; every row: fleet.csv.")
    return "\n".join(out) + "\n"


def write(folder, name, fill):
    return write_atomically(os.path.join(folder, name), fill)


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        raise SystemExit(__doc__)
    folder = argv[1]
    try:
        report = write(folder, "fleet.csv", lambda f: analyse(folder, f))
        # One line, from json's C encoder: indenting, or writing to the
        # file as it goes, takes the one in Python, many times slower.
        write(folder, "report.json", lambda f: f.write(json.dumps(report)))
        text = summary(report)
        write(folder, "report.txt", lambda f: f.write(text))
    except OSError as error:
        raise SystemExit(f"fleet_report.py: cannot write the report in {folder}: "
                         f"{error.strerror}") from None
    sys.stdout.write(text)


if __name__ == "__main__":
    main(sys.argv)

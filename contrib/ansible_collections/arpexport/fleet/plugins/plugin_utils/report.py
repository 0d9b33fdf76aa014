"""A report over a folder of arpexport tables, one HOST.txt a host: the
run folders that the collect playbook writes, or any folder of tables, the
Windows program's (CRLF) included. The report action and playbook run it;
so does, with the collections folder on PYTHONPATH,

  python3 -m ansible_collections.arpexport.fleet.plugins.plugin_utils.report FOLDER

writes FOLDER/fleet.csv (host,address,hwaddress: every table's rows),
FOLDER/report.json (everything) and FOLDER/report.txt (a summary: coverage,
disagreements, changes), and prints the summary. The tables are only read.
When FOLDER holds a run's run.json, coverage names each host that was
not collected with its reason, and hosts are compared only within a network
that both are on. When FOLDER is a run folder, each host's table is
compared with its newest earlier one among the run folders beside it.
"""
import csv
import io
import ipaddress
import json
import os
import re
import socket
import sys
from collections import defaultdict, deque, namedtuple
from itertools import compress, repeat
from operator import is_, ne

from ansible_collections.arpexport.fleet.plugins.plugin_utils.runs import RUN, run_key, write_atomically

_ROW = (r"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
        r"(?:\.(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}"
        r" - (?:[0-9a-f]{2}:){5}[0-9a-f]{2}")
LINE = re.compile(_ROW)
RAW_LINE = re.compile(_ROW.encode() + rb"\r?")
UNRESOLVED = "00:00:00:00:00:00"
SHOWN = 5  # items of each kind in the summary
NOWHERE = ()  # the hosts of a line that no table read so far has

# A table read: its bytes, its text with LF line ends, its lines without
# them, and for each line its hosts in seen (or NOWHERE) when it was read.
Table = namedtuple("Table", "data text lines hosts")


def read_lines(path):
    """A file's bytes, its text with LF line ends and its lines without
    them; the lines are None where it is not ASCII text of whole lines."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("ascii").replace("\r\n", "\n")
    except UnicodeDecodeError:
        return data, "", None
    lines = text.split("\n")
    return data, text, lines if not lines.pop() else None


def read_table(path, seen):
    """A Table, or None and the number and text of its first bad line. The
    lines are looked up in seen, and only those that no table had are
    checked: each line goes through C, not through a loop in Python."""
    data, text, lines = read_lines(path)
    if lines is not None:
        hosts = list(map(seen.get, lines, repeat(NOWHERE)))
        if all(map(LINE.fullmatch, compress(lines, map(is_, hosts, repeat(NOWHERE))))):
            return Table(data, text, lines, hosts), None
    return None, first_fault(data)


def first_fault(data):
    lines = data.split(b"\n")
    last = lines.pop()  # after the last line end: nothing, in a whole table
    for number, line in enumerate(lines, 1):
        if RAW_LINE.fullmatch(line) is None:
            text = line[:60].decode("ascii", "backslashreplace")
            return number, text if line else "an empty line"
    return len(lines) + 1, "a last line without its line end" if last else ""


def tables_in(folder):
    """{host: path} of FOLDER's HOST.txt files, temporary ones left out."""
    return {name[:-4]: os.path.join(folder, name)
            for name in sorted(os.listdir(folder))
            if name.endswith(".txt") and not name.startswith(".") and name != "report.txt"
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
    return tuple(nets)


def scope(address, nets):
    """The host's network that holds address: the one to compare within."""
    ip = int.from_bytes(socket.inet_aton(address), "big")
    for first, mask, name in nets:
        if ip & mask == first:
            return name
    return None


def scoper(nets):
    """within(address, hosts): {network: those of hosts that compare address
    within it}, "all" for hosts whose networks are unknown; each address
    placed once for each set of networks."""
    cache = {}

    def within(address, hosts):
        kinds = set(map(nets.__getitem__, hosts))
        found = defaultdict(set)
        for kind in kinds:
            key = (address, kind)
            if key not in cache:
                cache[key] = scope(address, kind) if kind else "all"
            if cache[key]:
                found[cache[key]].update(
                    hosts if len(kinds) == 1 else (h for h in hosts if nets[h] == kind))
        return found
    return within


def earlier_runs(folder):
    """The run folders beside FOLDER that are older than it, newest first."""
    parent, run = os.path.split(os.path.abspath(folder))
    if not RUN.match(run):
        return []
    return [os.path.join(parent, n) for n in
            sorted((n for n in os.listdir(parent) if RUN.match(n) and run_key(n) < run_key(run)),
                   key=run_key, reverse=True)]


def numeric(address):
    """A sort key that orders addresses as numbers, cheaply."""
    return socket.inet_aton(address)


def csv_rows(host, text):
    """A table's text as rows of fleet.csv: host,address,hwaddress, CRLF ended."""
    if not text:
        return ""
    field = io.StringIO()
    csv.writer(field).writerow([host])
    prefix = field.getvalue()[:-2] + ","  # quoted where the host name needs it
    return prefix + text[:-1].replace(" - ", ",").replace("\n", "\r\n" + prefix) + "\r\n"


def gather(seen, table, host):
    """seen: each line of every table, with the hosts whose table has it."""
    deque(map(list.append, filter(None, table.hosts), repeat(host)), 0)
    for line in compress(table.lines, map(is_, table.hosts, repeat(NOWHERE))):
        seen.setdefault(line, []).append(host)


def pairs(lines):
    """(line, address, hwaddress) of each line that has a hardware address."""
    for line in lines:
        address, _, hw = line.partition(" - ")
        if hw != UNRESOLVED:
            yield line, address, hw


def by_address(lines):
    d = defaultdict(set)
    for _, address, hw in pairs(lines):
        d[address].add(hw)
    return d


def moved(lines, other):
    """The lines that other has not in the same place: those to compare."""
    return list(compress(lines, map(ne, lines, other))) + lines[len(other):]


def changes(old, new):
    """Entries added and removed, and addresses whose hardware changed,
    between two lists of lines, the new ones rows; None where a line of the
    old that the new has not is no row."""
    gone = set(moved(old, new)).difference(new)
    if not all(map(LINE.fullmatch, gone)):
        return None
    plus, minus = by_address(set(moved(new, old)).difference(old)), by_address(gone)
    return {
        "added": [f"{a} - {hw}" for a in sorted(plus.keys() - minus.keys(), key=numeric)
                  for hw in sorted(plus[a])],
        "removed": [f"{a} - {hw}" for a in sorted(minus.keys() - plus.keys(), key=numeric)
                    for hw in sorted(minus[a])],
        "changed": [{"address": a, "old": sorted(minus[a]), "new": sorted(plus[a])}
                    for a in sorted(plus.keys() & minus.keys(), key=numeric)],
    }


def since(earlier, host, new):
    """host's changes since its newest earlier table, None when it has none."""
    for run in earlier:
        path = os.path.join(run, host + ".txt")
        try:
            data, _, old = read_lines(path)
        except OSError:  # none there, or none this user may read
            continue
        if data == new.data:
            return {"since": os.path.basename(run), "added": [], "removed": [], "changed": []}
        diff = changes(old, new.lines) if old is not None else None
        if diff is not None:
            return dict(since=os.path.basename(run), **diff)
    return None


def flagged(seen):
    """The lines of addresses seen at several hardware addresses, and of
    hardware addresses seen behind several addresses (no group address)."""
    hw_of, address_of, addresses, hws = {}, {}, set(), set()
    for _, a, hw in pairs(seen):
        if hw_of.setdefault(a, hw) != hw:
            addresses.add(a)
        if address_of.setdefault(hw, a) != a and not int(hw[:2], 16) & 1:
            hws.add(hw)
    by_a, by_hw = defaultdict(dict), defaultdict(dict)
    for line, a, hw in pairs(seen):
        if a in addresses:
            by_a[a][hw] = seen[line]
        if hw in hws:
            by_hw[hw][a] = seen[line]
    return by_a, by_hw


def named(hosts, names):
    return list(map(names.__getitem__, sorted(hosts)))


def per_network(hosts_of, address_of, within):
    """{network: {key: the key's hosts that compare within it}} of
    {key: hosts}, each key's address given by address_of."""
    groups = defaultdict(dict)
    for key, hosts in hosts_of.items():
        for net, members in within(address_of(key), hosts).items():
            groups[net][key] = members
    return groups


def disagreements(by_a, within, unscoped, names):
    """Each address that hosts on one network see at different hardware
    addresses; those whose networks are unknown are compared with all."""
    found = []
    for a, hws in by_a.items():
        groups = per_network(hws, lambda _, a=a: a, within)
        if unscoped:
            groups["all"] = {hw: set(hosts) for hw, hosts in hws.items()}
        found += [{"network": net, "address": a,
                   "hwaddresses": {hw: named(hosts, names) for hw, hosts in sorted(g.items())}}
                  for net, g in groups.items()
                  if len(g) > 1 and (net != "all" or any(not h.isdisjoint(unscoped) for h in g.values()))]
    return sorted(found, key=lambda d: (d["network"], numeric(d["address"])))


def shared(by_hw, within, names):
    """Each hardware address that hosts on one network see behind several addresses."""
    found = []
    for hw, addresses in by_hw.items():
        groups = per_network(addresses, lambda a: a, within)
        found += [{"network": net, "hwaddress": hw,
                   "addresses": {a: named(hosts, names)
                                 for a, hosts in sorted(g.items(), key=lambda i: numeric(i[0]))}}
                  for net, g in groups.items() if len(g) > 1]
    return sorted(found, key=lambda d: (d["network"], d["hwaddress"]))


def analyse(folder, out):
    """Everything the report says; writes the rows to out (fleet.csv) as it reads."""
    run = {}
    if os.path.isfile(os.path.join(folder, "run.json")):
        with open(os.path.join(folder, "run.json"), encoding="utf-8") as f:
            run = json.load(f).get("hosts", {})
    tables = tables_in(folder)
    names = list(tables)
    nets = [networks_of(run.get(h, {}).get("addresses", [])) for h in names]
    # A host whose networks are unknown (a table copied in, or no run.json)
    # is compared with every host.
    unscoped = {h for h, n in enumerate(nets) if not n}
    earlier = earlier_runs(folder)
    seen = {}  # line -> the hosts (indexes into names) whose table has it
    bad, empty, rows, changed = {}, [], 0, {}
    out.write("host,address,hwaddress\r\n")
    for h, host in enumerate(names):
        try:
            table, fault = read_table(tables[host], seen)
        except OSError as error:
            table, fault = None, (0, error.strerror)
        if table is None:
            bad[host] = {"line": fault[0], "text": fault[1]}
            continue
        if not table.lines:
            empty.append(host)
        out.write(csv_rows(host, table.text))
        rows += len(table.lines)
        gather(seen, table, h)
        changed[host] = since(earlier, host, table)
    by_a, by_hw = flagged(seen)
    within = scoper(nets)
    missing = {h: o.get("reason", "") for h, o in sorted(run.items())
               if not o.get("collected") and h not in tables}
    return {
        "folder": os.path.abspath(folder),
        "coverage": {
            "inventory": len(set(run) | set(tables)) if run else None,
            "tables": len(tables), "rows": rows, "empty": empty,
            "not_collected": missing, "not_tables": bad},
        "compared": "within each network the hosts are on" if not unscoped else
                    "every host with every other: no run.json with the hosts' networks"
                    if not run or len(unscoped) == len(tables) else
                    "within each network the hosts are on; with every host, those whose "
                    "networks are not known: " + ", ".join(names[h] for h in sorted(unscoped)),
        "disagreements": disagreements(by_a, within, unscoped, names),
        "shared_hwaddresses": shared(by_hw, within, names),
        "changes": {h: c for h, c in changed.items()
                    if c and (c["added"] or c["removed"] or c["changed"])},
        "new_hosts": [h for h, c in changed.items() if c is None],
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


def write_in_parts(f, text, part=1 << 20):
    """Writes text a megabyte at a time: not encoded whole beside itself."""
    for start in range(0, len(text), part):
        f.write(text[start:start + part])


class ReportError(Exception):
    pass


def write_report(folder):
    """Writes the report's three files in folder; gives the summary."""
    try:
        report = write(folder, "fleet.csv", lambda f: analyse(folder, f))
        # One line, from json's C encoder: indenting, or writing to the
        # file as it goes, takes the one in Python, many times slower.
        write(folder, "report.json", lambda f: write_in_parts(f, json.dumps(report)))
        text = summary(report)
        write(folder, "report.txt", lambda f: f.write(text))
    except OSError as error:
        raise ReportError(f"cannot write the report in {folder}: {error.strerror}") from None
    return text


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        raise SystemExit(__doc__)
    try:
        sys.stdout.write(write_report(argv[1]))
    except ReportError as error:
        raise SystemExit(f"report: {error}") from None


if __name__ == "__main__":
    main(sys.argv)

"""A report over a folder of arpexport tables, one HOST.txt a host: the
run folders that the collect playbook writes, or any folder of tables, the
Windows program's (CRLF) included. The report action and playbook run it;
so does, with the collections folder on PYTHONPATH,

  python3 -m ansible_collections.arpexport.fleet.plugins.plugin_utils.report FOLDER

It writes FOLDER/report/fleet.csv (host,address,hwaddress: every table's
rows), report.json (everything) and report.txt (the summary, also printed),
and only reads the tables: regular files alone, each as a stream, left at
its first bad line. With a run's run.json, coverage names each host that
was not collected with its reason, hosts are compared only within their
site and the networks they are on, and each host's table is compared with
its newest earlier one among the run folders beside the run.
"""
import csv
import io
import json
import os
import signal
import stat
import sys
from collections import defaultdict
from contextlib import contextmanager, suppress

from ansible_collections.arpexport.fleet.plugins.plugin_utils import history
from ansible_collections.arpexport.fleet.plugins.plugin_utils.compare import IN, UNRESOLVED, Scope, address_key, compare, entries, flagged, gather, \
    hosts_of, shared, shared_own, ungather
from ansible_collections.arpexport.fleet.plugins.plugin_utils.run_folder import REPORT, RUN_NAME, run_key, temporary_file
from ansible_collections.arpexport.fleet.plugins.plugin_utils.tables import LINE, NotATable, ReportError, kind_of, read_lines, read_record, \
    read_table, tables_in
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import shown

SHOWN = 5  # items of each kind in the summary
FILES = ("fleet.csv", "report.json", "report.txt")
# What a spreadsheet takes for a formula; a tab or carriage return, which
# would be too, is escaped before this is looked at.
FORMULA = ("=", "+", "-", "@")
SEPARATORS = (",", ";", "|")  # what spreadsheets may split a line's fields at


def csv_host(name):
    """A host name as a field of fleet.csv: escaped, quoted where it needs
    it, and never a formula: one that a spreadsheet would take for one is
    written with a ' before it, as OWASP's advice on CSV injection has it,
    and one with a character that a spreadsheet may split fields at is
    quoted, so that no part of it starts a field of its own."""
    name = shown(name)
    if name.startswith(FORMULA):
        name = "'" + name
    if name.startswith("'") or any(c in name for c in SEPARATORS):
        return '"' + name.replace('"', '""') + '"'
    field = io.StringIO()
    csv.writer(field).writerow([name])
    return field.getvalue()[:-2]


def csv_rows(prefix, text):
    """A block of a table's text as rows of fleet.csv: host,address,hwaddress, CRLF ended."""
    if not text:
        return ""
    return prefix + text[:-1].replace(" - ", ",").replace("\n", "\r\n" + prefix) + "\r\n"


def by_address(lines):
    d = defaultdict(set)
    for dummy, address, hw in entries(lines):
        d[address].add(hw)
    return d


def in_place(old, new, places=64):
    """Whether most lines of two tables are where they were, as a few
    places spread over them say."""
    step = max(min(len(old), len(new)) // places, 1)
    looked = range(0, min(len(old), len(new)), step)
    return sum(1 for i in looked if old[i] == new[i]) * 2 > len(looked)


def gone_and_added(old, new):
    """The lines of old that new has not, and those of new that old has
    not. Tables that keep their order are compared place by place first,
    the few lines out of place then as sets; tables whose lines moved (one
    gone near the top moves all after it) as sets at once."""
    if in_place(old, new):
        differ = [(was, now) for was, now in zip(old, new) if was != now]
        gone = {was for was, now in differ}.union(old[len(new):])
        added = {now for was, now in differ}.union(new[len(old):])
        return gone.difference(new), added.difference(old)
    old, new = set(old), set(new)
    return old - new, new - old


def changes(old, new):
    """Entries added and removed, and addresses whose hardware changed,
    between two lists of lines, the new ones rows; None where a line of the
    old that the new has not is no row."""
    gone, added = gone_and_added(old, new)
    if not all(LINE.fullmatch(line) for line in gone):
        return None
    plus, minus = by_address(added), by_address(gone)
    return {
        "added": [f"{a} - {hw}" for a in sorted(plus.keys() - minus.keys(), key=address_key)
                  for hw in sorted(plus[a])],
        "removed": [f"{a} - {hw}" for a in sorted(minus.keys() - plus.keys(), key=address_key)
                    for hw in sorted(minus[a])],
        "changed": [{"address": a, "old": sorted(minus[a]), "new": sorted(plus[a])}
                    for a in sorted(plus.keys() & minus.keys(), key=address_key)],
    }


def earlier_runs(folder):
    """The run folders (real ones) beside FOLDER that are older than it, newest first."""
    parent, run = os.path.split(folder)
    if not RUN_NAME.match(run):
        return []
    with os.scandir(parent) as entries:
        older = [e.name for e in entries if RUN_NAME.match(e.name) and run_key(e.name) < run_key(run)
                 and e.is_dir(follow_symlinks=False)]
    return [os.path.join(parent, n) for n in sorted(older, key=run_key, reverse=True)]


def since(earlier, file_name, new):
    """A host's changes since its newest earlier table, None when it has
    none; a file there that is not a table is passed over."""
    for run in earlier:
        try:
            old = read_lines(os.path.join(os.fsencode(run), file_name))
        except (NotATable, OSError):
            continue
        diff = {"added": [], "removed": [], "changed": []} if old == new.lines else changes(old, new.lines)
        if diff is not None:
            return dict(since=os.path.basename(run), **diff)
    return None


def coverage(record, tables, others, bad, empty, rows):
    """Who was collected, from run.json and the files together."""
    hosts = sorted(set(record) | set(tables) | set(others))
    missing = {}
    for h in hosts:
        entry = record.get(h, {})
        if h in others:
            missing[h] = f"{shown(h)}.txt is {others[h]}; left out"
        elif h in bad:
            missing[h] = f"{shown(h)}.txt is not a table (line {bad[h]['line']}: {bad[h]['text']}); left out"
        elif h not in tables:
            missing[h] = (shown(str(entry.get("reason") or "not collected")) if not entry.get("collected")
                          else "run.json lists it collected, but there is no table for it")
    notes = {h: f"the last pass failed: {shown(str(record[h]['failed_later'].get('reason', '')))}"
             for h in tables if h not in bad and isinstance(record.get(h, {}).get("failed_later"), dict)}
    notes.update({h: "run.json lists it not collected, but its table is here"
                  for h in tables if h not in bad and h in record and not record[h].get("collected")})
    return {"hosts": len(hosts), "collected": len(tables) - len(bad), "rows": rows,
            "empty": empty, "not_collected": missing, "notes": dict(sorted(notes.items())),
            "from_run_json": bool(record)}


def observed(seen, hosts):
    """{site: {address: {hwaddress: the hosts (indexes) whose table has it}}}
    of every row but those of entries still being resolved."""
    site_of = [h.site for h in hosts]
    one_site = len(set(site_of)) <= 1
    by_site = defaultdict(lambda: defaultdict(dict))
    for line, members in seen.items():
        address, dummy, hw = line.partition(" - ")
        if hw == UNRESOLVED:
            continue
        if one_site:
            by_site[site_of[members[0]]][address][hw] = members
            continue
        for site in {site_of[m] for m in members}:
            by_site[site][address][hw] = [m for m in members if site_of[m] == site]
    return by_site


def analyse(folder, out, sites=None, compare_earlier=True):
    """Everything the report says, with what the history takes of the
    tables; writes the rows to out (fleet.csv) as it reads."""
    record = read_record(folder)
    tables, others = tables_in(folder)
    names = list(tables)
    hosts = hosts_of(names, record, sites or {})
    scope = Scope(hosts)
    earlier = earlier_runs(folder) if compare_earlier else []
    seen = {}  # line -> the hosts (indexes into names) whose table has it
    bad, empty, rows, changed = {}, [], 0, {}
    out.write("host,address,hwaddress\r\n")
    for h, host in enumerate(names):
        try:
            table = read_table(tables[host], lambda lines: gather(seen, lines, h))  # pylint: disable=cell-var-from-loop
        except NotATable as fault:
            ungather(seen, h)
            bad[host] = {"line": fault.line, "text": fault.text}
            continue
        except OSError as error:
            ungather(seen, h)
            bad[host] = {"line": 0, "text": error.strerror}
            continue
        if not table.lines:
            empty.append(host)
        prefix = csv_host(host) + ","
        for piece in table.text:
            out.write(csv_rows(prefix, piece))
        rows += len(table.lines)
        changed[host] = since(earlier, os.path.basename(tables[host]), table)
    by_a, by_hw = flagged(seen)
    disputes, doubles = [], []
    for address, hws in by_a.items():
        found, twice = compare(address, hws, scope)
        disputes += found
        doubles += twice
    unknown = sorted(h.name for h in hosts if not h.nets and h.name not in bad)
    r = {
        "folder": folder,
        "coverage": coverage(record, tables, others, bad, empty, rows),
        "sites": sorted({h.site for h in hosts}),
        "networks_not_known": unknown,
        "disagreements": sorted(disputes, key=lambda d: (d["site"], address_key(d["address"]), d["compared"])),
        "several_hwaddresses": sorted(doubles, key=lambda d: (d["site"], address_key(d["address"]), d["host"])),
        "shared_own_addresses": shared_own(h for h in hosts if h.name not in bad),
        "shared_hwaddresses": shared(by_hw, scope),
        "earlier_run": os.path.basename(earlier[0]) if earlier else None,
        "changes": {h: c for h, c in changed.items() if c and (c["added"] or c["removed"] or c["changed"])},
        "new_hosts": [h for h, c in changed.items() if c is None] if earlier else [],
    }
    return {"report": r, "observations": observed(seen, hosts), "names": names,
            "collected": set(names) - set(bad)}


class _Nowhere:
    """A file that keeps nothing: fleet.csv where only the analysis is wanted."""

    @staticmethod
    def write(text):
        return len(text)


def analysis_of(folder):
    """A run folder's analysis for the history, or None where its run.json
    is not a run's record; nothing is written."""
    try:
        return analyse(folder, _Nowhere(), compare_earlier=False)
    except ReportError:
        return None


def _more(items, where, indent="  "):
    """The line that says how many more of a list there are, and where."""
    more = len(items) - SHOWN
    return [f"{indent}... and {more} more: {REPORT}/report.json, {where}"] if more > 0 else []


def _site(item, sites):
    return f"[{shown(item['site']) or 'no site'}] " if len(sites) > 1 else ""


def _names(hosts):
    return ", ".join(map(shown, hosts))


def _first_names(hosts):
    """The first of a list of hosts, and how many more report.json has."""
    more = len(hosts) - SHOWN
    return _names(hosts[:SHOWN]) + (f" and {more} more ({REPORT}/report.json)" if more > 0 else "")


def summary(r):
    c, sites = r["coverage"], r["sites"]
    out = _findings_summary(r)
    if c["from_run_json"]:
        out.append(f"Coverage: {c['collected']} of {c['hosts']} hosts collected, "
                   f"{len(c['not_collected'])} not; {c['rows']} rows.")
    else:
        out.append(f"Coverage: {c['collected']} of {c['hosts']} tables read, no run.json; {c['rows']} rows.")
    items = list(c["not_collected"].items())
    out += [f"  {shown(h)}: {why}" for h, why in items[:SHOWN]] + _more(items, '"coverage", "not_collected"')
    if c["empty"]:
        out.append(f"  Empty tables: {len(c['empty'])}: {_first_names(c['empty'])}")
    notes = list(c["notes"].items())
    out += [f"  {shown(h)}: {note}" for h, note in notes[:SHOWN]] + _more(notes, '"coverage", "notes"')
    out.append("")
    where = "within each site, " if len(sites) > 1 else ""
    out.append(f"Compared {where}in the most specific network of each host that holds the address, "
               "or outside the hosts' networks, never across the two.")
    if r["networks_not_known"]:
        unknown = r["networks_not_known"]
        out.append(f"  Networks not known ({len(unknown)}; compared with every host): {_first_names(unknown)}")
    d = r["disagreements"]
    count = len({(i["site"], i["address"]) for i in d})
    out.append(f"Disagreements: {count} address{'' if count == 1 else 'es'} that hosts see at "
               "different hardware addresses.")
    for item in d[:SHOWN]:
        seen = "; ".join(f"{hw} by {_names(hosts)}" for hw, hosts in item["hwaddresses"].items())
        how = ", ".join(item["networks"]) if item["compared"] == IN else item["compared"]
        out.append(f"  {_site(item, sites)}{item['address']} ({how}): {seen}")
    out += _more(d, '"disagreements"')
    two = r["several_hwaddresses"]
    out.append(f"One host, one address, several hardware addresses: {len(two)} (two interfaces on "
               "one network, or a change the host is still resolving).")
    out += [f"  {_site(i, sites)}{shown(i['host'])}: {i['address']} at {', '.join(i['hwaddresses'])}"
            for i in two[:SHOWN]] + _more(two, '"several_hwaddresses"')
    own = r["shared_own_addresses"]
    out.append(f"Own addresses that several hosts hold: {len(own)} (separate links with one network, "
               "or a conflict; those hosts are not compared with each other there).")
    out += [f"  {_site(i, sites)}{i['address']} ({i['network']}): {_names(i['hosts'])}"
            for i in own[:SHOWN]] + _more(own, '"shared_own_addresses"')
    s = r["shared_hwaddresses"]
    out.append(f"One hardware address behind several addresses: {len(s)} "
               "(a router, or the other face of ARP spoofing).")
    out += [f"  {_site(i, sites)}{i['hwaddress']} ({i['network']}): " + ", ".join(i["addresses"])
            for i in s[:SHOWN]] + _more(s, '"shared_hwaddresses"')
    out.append("")
    ch = r["changes"]
    if r["earlier_run"] is None:
        out.append("Changes: no earlier run beside this one to compare with.")
    else:
        out.append(f"Changes since the earlier runs (the newest, {r['earlier_run']}): {len(ch)} "
                   f"host{'' if len(ch) == 1 else 's'} changed, {len(r['new_hosts'])} with no earlier table.")
    items = list(ch.items())
    for host, c in items[:SHOWN]:
        out.append(f"  {shown(host)} (since {c['since']}): {len(c['added'])} added, "
                   f"{len(c['removed'])} removed, {len(c['changed'])} changed hardware address")
        for item in c["changed"][:SHOWN]:
            out.append(f"    {item['address']}: {', '.join(item['old'])} -> {', '.join(item['new'])}")
        out += _more(c["changed"], '"changes"', indent="    ")
    out += _more(items, '"changes"')
    out.append("")
    out.append(f"Everything: {REPORT}/report.json; every row: {REPORT}/fleet.csv.")
    return "\n".join(out) + "\n"


def write_in_parts(f, text, part=1 << 20):
    """Writes text a megabyte at a time: not encoded whole beside itself."""
    for start in range(0, len(text), part):
        f.write(text[start:start + part])


@contextmanager
def stopped_as_exceptions():
    """SIGTERM and SIGHUP raise SystemExit here, as SIGINT raises
    KeyboardInterrupt, so that a stopped report removes what it began."""
    def stop(number, frame):  # pylint: disable=unused-argument
        raise SystemExit(128 + number)
    saved = {}
    try:
        for number in (signal.SIGTERM, signal.SIGHUP):
            saved[number] = signal.signal(number, stop)
    except ValueError:  # not the main thread: signals are not ours to take
        pass
    try:
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)


def report_folder(folder):
    """FOLDER/report, made if need be; ReportError where it is not a folder of its own."""
    path = os.path.join(folder, REPORT)
    try:
        os.mkdir(path, 0o755)
    except FileExistsError:
        mode = os.lstat(path).st_mode
        if not stat.S_ISDIR(mode):
            raise ReportError(f"{shown(path)} is {kind_of(mode)}, not the report's folder") from None
    return path


STATE_ORDER = {history.NEW: 0, history.UNCHECKED: 1, history.ONGOING: 2, history.RESOLVED: 3}


def _finding(f, runs):
    """A finding as report.json has it."""
    d = f["detail"]
    return {"id": f["id"], "kind": f["kind"], "severity": f["severity"], "state": f["state"],
            "site": f["site"], "addresses": d["addresses"], "hwaddresses": d["hwaddresses"],
            "hosts": f["hosts"], "first_run": runs.get(f["first_seq"]), "last_run": runs.get(f["last_seq"]),
            "message": history.describe(f["kind"], d)}


def _finding_order(f):
    a = f["addresses"][0] if f["addresses"] else "0.0.0.0"
    return (STATE_ORDER[f["state"]], -history.SEVERITIES.index(f["severity"]), f["site"], address_key(a), f["id"])


def with_history(folder, analysis, options):
    """The history beside a run's folder brought up to date with it: the
    report's findings with their states, and how it went, in the report."""
    r = analysis["report"]
    root, run = os.path.split(folder)
    if options is None or not RUN_NAME.match(run):
        return None
    path = os.path.join(root, history.HISTORY)
    try:
        applied = history.bring_up_to_date(root, run, analysis, options.get("settle_runs", history.SETTLE_RUNS))
    except history.HistoryError as error:
        r["history"] = {"path": path, "brought_up_to_date": False, "fault": str(error)}
        return None
    if applied is None:
        r["history"] = {"path": path, "brought_up_to_date": False,
                        "fault": "it holds a run made after this one, so this one is left out of it "
                                 "(a rebuild from the run folders takes it in)"}
        return None
    runs = {seq: name for name, seq in applied["known_runs"].items()}
    faults = []
    if options.get("syslog"):
        try:
            history.to_syslog(applied["events"])
        except OSError as error:
            faults.append(f"syslog: {error.strerror or error}")
    r["history"] = {"path": path, "brought_up_to_date": True, "runs": len(runs),
                    "events": len(applied["events"]), "faults": faults}
    r["findings"] = sorted((_finding(f, runs) for f in applied["findings"]), key=_finding_order)
    return set(applied["known_runs"])


def _findings_summary(r):
    h = r.get("history")
    if h is None:
        return []
    if not h["brought_up_to_date"]:
        return [f"History: not brought up to date: {h['fault']}.", ""]
    findings = r["findings"]
    by_state = defaultdict(list)
    for f in findings:
        by_state[f["state"]].append(f)
    out = [f"New findings: {len(by_state[history.NEW])}; {len(by_state[history.ONGOING])} ongoing, "
           f"{len(by_state[history.UNCHECKED])} unchecked (a host that saw it was not collected), "
           f"{len(by_state[history.RESOLVED])} resolved; history of {h['runs']} "
           f"run{'' if h['runs'] == 1 else 's'}."]
    for state, title in ((history.NEW, "New"), (history.UNCHECKED, "Unchecked"), (history.RESOLVED, "Resolved")):
        items = by_state[state]
        if state != history.NEW and items:
            out.append(f"{title}: {len(items)}")
        out += [f"  {f['severity']} {f['kind']}: {_site(f, r['sites'])}{f['message']} ({_first_names(f['hosts'])})"
                for f in items[:SHOWN]]
        out += _more(items, '"findings"')
    out += [f"  {fault}" for fault in h["faults"]]
    return out + [""]


def report_run(folder, sites=None, history_options=None):
    """Writes the report's three files in FOLDER/report, each under a
    temporary name until all three are whole, bringing the history beside
    a run's folder up to date first when history_options (None: leave it)
    say so; gives the summary, the report and the runs the history holds
    (None where it was left as it was)."""
    folder = os.path.realpath(folder)
    temporary = {}
    try:
        with stopped_as_exceptions():
            where = report_folder(folder)
            temporary["fleet.csv"], analysis = temporary_file(where, "fleet.csv", lambda f: analyse(folder, f, sites))
            held = with_history(folder, analysis, history_options)
            report = analysis["report"]
            # One line, from json's C encoder: indenting, or writing to the
            # file as it goes, takes the one in Python, many times slower.
            temporary["report.json"], dummy = temporary_file(where, "report.json",
                                                             lambda f: write_in_parts(f, json.dumps(report)))
            text = summary(report)
            temporary["report.txt"], dummy = temporary_file(where, "report.txt", text)
            # All three, or none: a stop now waits until they are in place.
            blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})
            try:
                for name in FILES:
                    os.replace(temporary.pop(name), os.path.join(where, name))
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    except OSError as error:
        raise ReportError(f"cannot write the report in {shown(folder)}: {error.strerror}") from None
    finally:
        for path in temporary.values():
            with suppress(FileNotFoundError):  # its folder moved away meanwhile
                os.unlink(path)
    return text, report, held


def write_report(folder, sites=None):
    """The report on a folder, its history left as it is; gives the summary."""
    return report_run(folder, sites)[0]


USAGE = """usage: python3 -m ansible_collections.arpexport.fleet.plugins.plugin_utils.report FOLDER

Writes FOLDER/report/fleet.csv, report.json and report.txt over the
HOST.txt tables in FOLDER, and prints report.txt.
"""


def main(argv):
    if len(argv) == 2 and argv[1] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return 0
    if len(argv) != 2 or argv[1].startswith("-"):
        sys.stderr.write(USAGE)
        return 2
    if not os.path.isdir(argv[1]):
        sys.stderr.write(f"report: {shown(argv[1])} is not a folder\n")
        return 1
    try:
        sys.stdout.write(write_report(argv[1]))
    except ReportError as error:
        sys.stderr.write(f"report: {error}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("report: stopped; the report's files are as they were\n")
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

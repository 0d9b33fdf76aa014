"""What the collect action asks a host, and how it reads the answers.

Every command is one line for /bin/sh, given to the login's shell as
/bin/sh -c '...': one line with no ', ! or backslash in it reads the same in
a POSIX shell, csh and fish. A host's answers come on lines that start with
a word of the run's own (the mark), so nothing else the login prints, such
as a greeting from its start-up files, is taken for one. The temporary
folder's name is chosen here, never read from the host, so that nothing a
host prints is ever a path.
"""
import hashlib
import re
import secrets
import shlex
import string
from collections import namedtuple

from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import one_line, shown

# uname -m to the processor in a release tarball's name. An ARMv8 running
# 32-bit ARM says armv8l and runs the armv7l program; ARMv6 runs none.
PROCESSORS = {"x86_64": "x86_64", "aarch64": "aarch64", "arm64": "aarch64",
              "armv7l": "armv7l", "armv8l": "armv7l"}
# A folder given for the temporary one: absolute, plain characters, no . or ..
TMPDIR = re.compile(r"^/[A-Za-z0-9._+@%,:=/-]*$")
_DOTS = re.compile(r"(^|/)\.\.?(/|$)")
_ALNUM = string.ascii_letters + string.digits
_ADDRESS = re.compile(r"inet ((?:[0-9]{1,3}\.){3}[0-9]{1,3}/[0-9]{1,2})(?: |$)")

Probe = namedtuple("Probe", "machine base addresses problem")
Run = namedtuple("Run", "problem start end lines removed")


def new_mark():
    return "ARPEXPORT-" + "".join(secrets.choice(_ALNUM) for _ in range(16))


def new_folder_name():
    return "arpexport." + "".join(secrets.choice(_ALNUM) for _ in range(10))


def tmpdir_ok(path):
    return bool(TMPDIR.match(path)) and not _DOTS.search(path)


def _base(tmpdir):
    return shlex.quote(tmpdir) if tmpdir else "${TMPDIR:-/tmp}"


def command(script):
    """The command line that runs script under /bin/sh, whatever the login's shell."""
    return "/bin/sh -c " + shlex.quote(script)


def probe_script(mark, tmpdir=None):
    """The processor, the folder for the temporary one and the IPv4 addresses."""
    return (f"m={mark}; b={_base(tmpdir)}; echo \"$m base $b\"; echo \"$m machine $(uname -m)\"; "
            "if command -v ip >/dev/null 2>&1; then "
            "ip -o -4 addr show 2>/dev/null | sed \"s/^/$m addr /\"; fi")


def run_script(mark, folder, tmpdir=None):
    """Makes the temporary folder, writes the program from standard input
    (gzipped) there, runs it, sends back its status, its report and the
    table with its line count and SHA-256, and removes the folder."""
    return (f"m={mark}; d={_base(tmpdir)}/{folder}; "
            "if e=$(mkdir -m 700 -- \"$d\" 2>&1); then cd \"$d\" || exit 1; "
            "if gzip -dc >arpexport 2>copy.err && chmod 700 arpexport; then "
            "./arpexport >report 2>&1; echo \"$m status $?\"; sed \"s/^/$m report /\" report; "
            "if [ -f output.txt ]; then "
            "echo \"$m lines $(wc -l <output.txt) $(sha256sum <output.txt)\"; "
            "echo \"$m table\"; cat output.txt; echo \"$m end\"; fi; "
            "else cat >/dev/null; echo \"$m nocopy $(tr -s \"[:space:]\" \" \" <copy.err)\"; fi; "
            "cd / && rm -rf -- \"$d\" && echo \"$m removed\"; "
            "else echo \"$m nofolder $? $e\"; cat >/dev/null; fi")


def cleanup_script(mark, folder, tmpdir=None):
    """Removes the temporary folder of a run that was cut off."""
    return f"m={mark}; d={_base(tmpdir)}/{folder}; rm -rf -- \"$d\" && echo \"$m removed\""


def answers(mark, data):
    """The host's answers in data: the lines that start with the mark, without it."""
    prefix = mark.encode() + b" "
    return [line[len(prefix):].rstrip(b"\r").decode("utf-8", "backslashreplace")
            for line in data.split(b"\n") if line.startswith(prefix)]


def _said(rc, out, err):
    return f"(exit status {rc}): {one_line(bytes(out) + b' ' + bytes(err))}"


def _first(said, word):
    """The rest of the first answer that starts with word, None without one."""
    return next((a[len(word) + 1:] for a in said if a == word or a.startswith(word + " ")), None)


def read_probe(mark, rc, out, err):
    said = answers(mark, out)
    machines = [a[len("machine "):] for a in said if a.startswith("machine ")]
    base = _first(said, "base") or ""
    addresses = sorted({m[1] for a in said if a.startswith("addr ") for m in [_ADDRESS.search(a)]
                        if m and _valid_interface(m[1])})
    if len(machines) != 1 or not machines[0]:
        return Probe("", shown(base), addresses, "its answers cannot be read " + _said(rc, out, err))
    return Probe(machines[0], shown(base), addresses, "")


def _valid_interface(text):
    address, prefix = text.split("/")
    return all(int(part) < 256 for part in address.split(".")) and int(prefix) <= 32


def _line_at(data, line, start=0):
    """Where line (with its line end) starts a line of data, -1 where not."""
    if data.startswith(line, start):
        return start
    at = data.find(b"\n" + line, max(start - 1, 0))
    return at + 1 if at >= 0 else -1


def read_run(mark, rc, out, err, base=""):
    """A Run: its problem ("" when the table came whole), the table's
    place in out and its line count."""
    m = mark.encode()
    table = _line_at(out, m + b" table\n")
    start = table + len(m) + 7 if table >= 0 else len(out)
    end = _line_at(out, m + b" end\n", start) if table >= 0 else -1
    said = answers(mark, out[:table] if table >= 0 else out)
    removed = "removed" in said or "removed" in answers(mark, out[end:] if end >= 0 else b"")
    problem, lines = _run_problem(said, rc, out, err, base), 0
    if not problem:
        counted = _first(said, "lines")
        lines = out.count(b"\n", start, end) if end >= 0 else 0
        whole = end >= 0 and counted is not None and counted.split()[:2] == [
            str(lines), hashlib.sha256(memoryview(out)[start:end]).hexdigest()]
        problem = "" if whole else "its table did not come back whole"
    return Run(problem, start, max(end, start), lines, removed)


def _run_problem(said, rc, out, err, base):
    nofolder = _first(said, "nofolder")
    if nofolder is not None:
        status, _, text = nofolder.partition(" ")
        return (f"making a temporary folder in {base or 'its temporary folder'} failed "
                f"with status {shown(status)}: {one_line(text)}")
    nocopy = _first(said, "nocopy")
    if nocopy is not None:
        return "copying the program failed: " + one_line(nocopy)
    status = _first(said, "status")
    if status is None:
        return "the run could not start " + _said(rc, out, err)
    report = one_line(" ".join(a[len("report "):] for a in said if a.startswith("report ")))
    if status != "0":
        return f"running arpexport failed with status {shown(status)}: {report}"
    if report:
        return "arpexport reported: " + report
    return ""

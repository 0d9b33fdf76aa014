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

from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import decoded, one_line, shown

# A folder given for the temporary one: absolute, plain characters, no . or ..
TMPDIR = re.compile(r"^/[A-Za-z0-9._+@%,:=/-]*\Z")
_DOTS = re.compile(r"(^|/)\.\.?(/|$)")
_ALNUM = string.ascii_letters + string.digits
_ADDRESS = re.compile(r"inet ((?:[0-9]{1,3}\.){3}[0-9]{1,3}/[0-9]{1,2})(?: |$)")

Probe = namedtuple("Probe", "machine base addresses problem reason")
RunAnswer = namedtuple("RunAnswer", "problem reason start end lines removed")

# What a host's answers say went wrong, as codes: what the collect action
# does next follows the code, never the sentence made from it.
OK = ""
UNREADABLE = "unreadable"
NO_FOLDER = "no-folder"  # nothing was made on the host: nothing to clean up
NO_COPY = "no-copy"
NOT_STARTED = "not-started"
FAILED = "failed"
REPORTED = "reported"
NOT_WHOLE = "not-whole"
TOO_LONG = "too-long"
_REASONS = {
    UNREADABLE: "its answers cannot be read {output}",
    NO_FOLDER: "making a temporary folder in {base} failed with status {status}: {text}",
    NO_COPY: "copying the program failed: {text}",
    NOT_STARTED: "the run could not start {output}",
    FAILED: "running arpexport failed with status {status}: {text}",
    REPORTED: "arpexport reported: {text}",
    NOT_WHOLE: "its table did not come back whole",
    TOO_LONG: "its answers are longer than any of ours",
}
# Bounds on what a host's answers may hold, checked as they are read: a
# path, a line of ip's or of the program's report fit in one; the addresses
# of a host with very many fit in their number.
ANSWER_LIMIT = 8192
ANSWERS_LIMIT = 65536
REPORT_LINES = 64
SHOWN_OUTPUT = 4096  # of a reply that cannot be read: more is cut anyway


def new_mark():
    return "ARPEXPORT-" + "".join(secrets.choice(_ALNUM) for dummy in range(16))


def new_folder_name():
    return "arpexport." + "".join(secrets.choice(_ALNUM) for dummy in range(10))


def tmpdir_ok(path):
    return bool(TMPDIR.match(path)) and not _DOTS.search(path)


def _base(tmpdir):
    """Shell that sets b to the folder for the temporary one: tmpdir, or the
    login's $TMPDIR where it is an absolute path, else /tmp. A relative one
    would name another folder once the run has left it for /."""
    if tmpdir:
        return f"b={shlex.quote(tmpdir)}"
    return "b=${TMPDIR:-/tmp}; case $b in /*) ;; *) b=/tmp ;; esac"


def command(script):
    """The command line that runs script under /bin/sh, whatever the login's
    shell. It starts with a line end: a greeting that the login's start-up
    files print without one would run into the first answer."""
    return "/bin/sh -c " + shlex.quote("echo; " + script)


def probe_script(mark, tmpdir=None):
    """The processor, the folder for the temporary one and the IPv4 addresses."""
    return (f"m={mark}; {_base(tmpdir)}; echo \"$m base $b\"; echo \"$m machine $(uname -m)\"; "
            "if command -v ip >/dev/null 2>&1; then "
            "ip -o -4 addr show 2>/dev/null | sed \"s/^/$m addr /\"; fi")


def run_script(mark, folder, tmpdir=None):
    """Makes the temporary folder, writes the program from standard input
    (gzipped) there, runs it, sends back its status, its report and the
    table with its line count and SHA-256, and removes the folder. A folder
    of that name is this command's own, from a first try that Ansible made
    again after a dropped connection: it is removed first (a link, not
    what it points at)."""
    return (f"m={mark}; {_base(tmpdir)}; d=$b/{folder}; "
            "if [ -e \"$d\" ] || [ -h \"$d\" ]; then rm -rf -- \"$d\"; fi; "
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
    return f"m={mark}; {_base(tmpdir)}; d=$b/{folder}; rm -rf -- \"$d\" && echo \"$m removed\""


def answers(mark, data, start=0, end=None):
    """The host's answers in data[start:end]: the lines that start with the
    mark, without it. None where one is longer than ANSWER_LIMIT or there
    are more than ANSWERS_LIMIT: no answer of ours is. Whatever else a
    login prints, however much, is passed over without being copied."""
    end = len(data) if end is None else end
    replies = []
    for found in re.compile(rb"^" + re.escape(mark.encode() + b" "), re.MULTILINE).finditer(data, start, end):
        line_end = data.find(b"\n", found.end(), end)
        line_end = end if line_end < 0 else line_end
        if line_end - found.end() > ANSWER_LIMIT or len(replies) == ANSWERS_LIMIT:
            return None
        replies.append(decoded(data[found.end():line_end].rstrip(b"\r")))
    return replies


def reason(problem, **details):
    """The sentence for a problem code, with its details (already shown safely)."""
    return _REASONS[problem].format(**details)


def _exit_and_output(rc, out, err):
    """The exit status and the start of what the host printed, on one line."""
    return f"(exit status {rc}): {one_line(bytes(out[:SHOWN_OUTPUT]) + b' ' + bytes(err[:SHOWN_OUTPUT]))}"


def _first(replies, word):
    """The rest of the first answer that starts with word, None without one."""
    for reply in replies:
        if reply == word or reply.startswith(word + " "):
            return reply[len(word) + 1:]
    return None


def read_probe(mark, rc, out, err):
    """A Probe: the host's processor, its folder for temporary ones and its
    IPv4 addresses; problem UNREADABLE where the answers do not say."""
    replies = answers(mark, out)
    if replies is None:
        return Probe("", "", [], TOO_LONG, reason(TOO_LONG))
    machines = [reply[len("machine "):] for reply in replies if reply.startswith("machine ")]
    base = shown(_first(replies, "base") or "")
    addresses = set()
    for reply in replies:
        found = _ADDRESS.search(reply) if reply.startswith("addr ") else None
        if found and _valid_interface(found[1]):
            addresses.add(found[1])
    if len(machines) != 1 or not machines[0]:
        why = reason(UNREADABLE, output=_exit_and_output(rc, out, err))
        return Probe("", base, sorted(addresses), UNREADABLE, why)
    return Probe(machines[0], base, sorted(addresses), OK, "")


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
    """A RunAnswer: its problem (OK when the table came whole) and the
    sentence for it, the table's place in out, its line count, and whether
    the host removed its temporary folder."""
    m = mark.encode()
    table = _line_at(out, m + b" table\n")
    start = table + len(m) + 7 if table >= 0 else len(out)
    end = _line_at(out, m + b" end\n", start) if table >= 0 else -1
    before = answers(mark, out, 0, table if table >= 0 else len(out))
    after = answers(mark, out, end) if end >= 0 else []
    if before is None or after is None:
        return RunAnswer(TOO_LONG, reason(TOO_LONG), 0, 0, 0, False)
    removed = "removed" in before or "removed" in after
    problem, why = _run_problem(before, rc, out, err, base)
    lines = 0
    if problem == OK:
        counted = _first(before, "lines")
        lines = out.count(b"\n", start, end) if end >= 0 else 0
        whole = end >= 0 and counted is not None and counted.split()[:2] == [
            str(lines), hashlib.sha256(memoryview(out)[start:end]).hexdigest()]
        if not whole:
            problem, why = NOT_WHOLE, reason(NOT_WHOLE)
    return RunAnswer(problem, why, start, max(end, start), lines, removed)


def _run_problem(replies, rc, out, err, base):
    """The problem code of a run's answers, and its sentence."""
    no_folder = _first(replies, "nofolder")
    if no_folder is not None:
        status, dummy, text = no_folder.partition(" ")
        return NO_FOLDER, reason(NO_FOLDER, base=base or "its temporary folder", status=shown(status),
                                 text=one_line(text))
    no_copy = _first(replies, "nocopy")
    if no_copy is not None:
        return NO_COPY, reason(NO_COPY, text=one_line(no_copy))
    status = _first(replies, "status")
    if status is None:
        return NOT_STARTED, reason(NOT_STARTED, output=_exit_and_output(rc, out, err))
    reports = [r[len("report "):] for r in replies if r.startswith("report ")]
    report = one_line(" ".join(reports[:REPORT_LINES]))
    if status != "0":
        return FAILED, reason(FAILED, status=shown(status), text=report)
    if report:
        return REPORTED, reason(REPORTED, text=report)
    return OK, ""

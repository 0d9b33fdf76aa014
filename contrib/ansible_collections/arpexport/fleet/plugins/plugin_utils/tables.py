"""Reading what a folder of tables holds: regular files alone, opened
without following links or waiting on FIFOs, each read as a stream of
blocks and left at its first line that is not a row; run.json as a run's
record."""
import errno
import os
import re
import stat
from collections import namedtuple

from ansible_collections.arpexport.fleet.plugins.plugin_utils.run_folder import RECORD, RECORD_LIMIT, parse_record
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import decoded, shown

_ADDRESS = (r"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
            r"(?:\.(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}")
_HWADDRESS = r"(?:[0-9a-f]{2}:){5}[0-9a-f]{2}"
_ROW = _ADDRESS + " - " + _HWADDRESS
ADDRESS, HWADDRESS = re.compile(_ADDRESS), re.compile(_HWADDRESS)
LINE = re.compile(_ROW)
RAW_LINE = re.compile(_ROW.encode() + rb"\r?")
LONGEST = 37  # a row with CRLF: no line of a table is longer
SHORTEST = 28  # a row with its LF: none is shorter
BLOCK = 1 << 20
KINDS = {stat.S_IFLNK: "a link", stat.S_IFIFO: "a FIFO", stat.S_IFCHR: "a device",
         stat.S_IFBLK: "a device", stat.S_IFDIR: "a folder", stat.S_IFSOCK: "a socket"}

# A table read: its lines without line ends, and its text with LF line
# ends, in blocks.
Table = namedtuple("Table", "lines text")


class NotATable(Exception):
    def __init__(self, line, text):
        super().__init__(line, text)
        self.line, self.text = line, text


class ReportError(Exception):
    pass


def kind_of(mode):
    return KINDS.get(stat.S_IFMT(mode), "not a regular file")


def open_regular(path):
    """A regular file, opened without following a link or waiting on a
    FIFO; NotATable(0, what it is) for anything else."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        raise NotATable(0, "a link" if error.errno == errno.ELOOP else error.strerror) from None
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        os.close(fd)
        raise NotATable(0, kind_of(mode))
    return open(fd, "rb", buffering=0)


def _encoding(start):
    """What a table's first bytes say it is, when not ASCII."""
    if start.startswith(b"\xef\xbb\xbf"):
        return "UTF-8 with a byte-order mark, not a table"
    if start.startswith((b"\xff\xfe", b"\xfe\xff")) or (
            len(start) >= 8 and (start[1:8:2] == b"\0" * 4 or start[0:8:2] == b"\0" * 4)):
        return "UTF-16 text, not a table"
    return None


def _first_bad(data, number):
    """NotATable at data's first line that is not a row; number: lines
    before it. Line by line, so that garbage is not split whole."""
    start = 0
    while start < len(data):
        end = data.find(b"\n", start)
        end = len(data) if end < 0 else end
        number += 1
        if RAW_LINE.fullmatch(data, start, end) is None:
            line = data[start:end]
            return NotATable(number, shown(line[:60]) if line else "an empty line")
        start = end + 1
    return NotATable(number + 1, "a line that is not a row")


def blocks(f):
    """A file's whole lines, a block at a time: (lines before the block,
    its lines, its text with LF line ends). NotATable where its bytes are
    not ASCII lines no longer than a row, or its last line has no end."""
    number, tail = 0, b""
    while True:
        chunk = f.read(BLOCK)
        if number == 0 and not tail and chunk and _encoding(chunk[:8]):
            raise NotATable(1, _encoding(chunk[:8]))
        if not chunk:
            if tail:
                raise NotATable(number + 1, "a last line without its line end")
            return
        data = tail + chunk
        cut = data.rfind(b"\n") + 1
        tail = data[cut:]
        try:
            text = data[:cut].decode("ascii").replace("\r\n", "\n")
        except UnicodeDecodeError:
            raise _first_bad(data[:cut], number) from None
        if len(text) < SHORTEST * text.count("\n"):  # a line shorter than any row
            raise _first_bad(data[:cut], number)
        lines = text.split("\n")
        lines.pop()
        yield number, lines, text
        number += len(lines)
        if len(tail) > LONGEST:
            raise NotATable(number + 1, shown(tail[:60]))


def read_table(path, take):
    """A Table; NotATable at its first bad line. take(lines) takes each
    block's lines as they are read, and gives those of them that no table
    read before had: only those are checked against the row's pattern, the
    others being rows already. What take took of a file that is no table is
    for its caller to give back."""
    lines, text = [], []
    with open_regular(path) as f:
        for number, part, piece in blocks(f):
            for line in take(part):
                if LINE.fullmatch(line) is None:
                    raise _first_bad(piece.encode(), number)
            lines += part
            text.append(piece)
    return Table(lines, text)


def read_lines(path):
    """The lines of an earlier table, whole lines of a row's length; which
    of them are rows is checked where they count (changes)."""
    lines = []
    with open_regular(path) as f:
        for block in blocks(f):
            lines += block[1]
    return lines


def tables_in(folder):
    """({host: path} of FOLDER's regular HOST.txt files, {host: what the
    others are}); hidden files are left out. Host names are the file names
    as text, bytes that are not UTF-8 as \\xNN."""
    tables, others = {}, {}
    with os.scandir(os.fsencode(folder)) as entries:
        for entry in sorted(entries, key=lambda e: e.name):
            if not entry.name.endswith(b".txt") or entry.name.startswith(b"."):
                continue
            host = decoded(entry.name[:-4])
            mode = entry.stat(follow_symlinks=False).st_mode
            if stat.S_ISREG(mode):
                tables[host] = entry.path
            else:
                others[host] = kind_of(mode)
    return tables, others


def read_record(folder):
    """run.json's hosts, {} without one; ReportError when it is not a run's record."""
    path = os.path.join(folder, RECORD)
    if not os.path.lexists(path):
        return {}
    try:
        with open_regular(path) as f:
            record = parse_record(f.read(RECORD_LIMIT + 1))
    except NotATable as error:
        raise ReportError(f"{path} is {error.text}, not a run's record") from None
    except (OSError, ValueError) as error:
        raise ReportError(f"{shown(path)} cannot be read as a run's record: {shown(str(error))}") from None
    return {str(h): o if isinstance(o, dict) else {} for h, o in record["hosts"].items()}

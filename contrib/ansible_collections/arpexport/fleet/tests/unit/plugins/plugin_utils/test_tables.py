"""What the report reads as a table: read as a stream and left at the first
bad line; lines another table had are taken as rows, and a bad line is
still found among them."""
import pytest

from ansible_collections.arpexport.fleet.plugins.plugin_utils import tables
from ansible_collections.arpexport.fleet.tests.unit.plugins.stand_ins import GW, rows, write

KNOWN = rows(("10.0.0.1", GW))


def take(lines):
    """The lines that no table before had: all but KNOWN's."""
    return [line for line in lines if line != KNOWN[:-1]]


def read(tmp_path, text):
    """The table's lines, or (the bad line's number, what it shows)."""
    try:
        return tables.read_table(write(str(tmp_path / "t"), text), take).lines
    except tables.NotATable as fault:
        return fault.line, fault.text


def test_rows_are_read_with_either_line_end(tmp_path):
    assert read(tmp_path, KNOWN + "10.0.0.2 - 0a:00:00:00:00:02\r\n") == [
        "10.0.0.1 - 0a:00:00:00:00:01", "10.0.0.2 - 0a:00:00:00:00:02"]


def test_an_empty_file_is_an_empty_table(tmp_path):
    assert read(tmp_path, "") == []


@pytest.mark.parametrize("bad, line", [
    ("hello\n", 1), ("010.0.0.1 - 0a:00:00:00:00:01\n", 1), ("256.0.0.1 - 0a:00:00:00:00:01\n", 1),
    ("10.0.0.1 - 0A:00:00:00:00:01\n", 1), (KNOWN[:-1], 1), (b"\x00\x01\xff\n", 1), ("\n", 1), ("x" * 100, 1)],
    ids=["words", "leading zero", "256", "upper case", "no line end", "binary", "empty line", "long line"])
@pytest.mark.parametrize("after", [False, True], ids=["first", "after a known row"])
def test_the_first_bad_line_is_named(tmp_path, bad, line, after):
    before = KNOWN.encode() if isinstance(bad, bytes) else KNOWN
    assert read(tmp_path, before + bad if after else bad)[0] == line + after


def test_a_byte_order_mark_makes_no_table(tmp_path):
    assert read(tmp_path, "\ufeff" + KNOWN) == (1, "UTF-8 with a byte-order mark, not a table")


@pytest.mark.parametrize("encoding", ["utf-16", "utf-16-le"])
def test_utf16_text_is_no_table(tmp_path, encoding):
    assert read(tmp_path, KNOWN.encode(encoding)) == (1, "UTF-16 text, not a table")


def test_a_bad_line_after_many_good_ones_is_found_and_shown_escaped(tmp_path):
    assert read(tmp_path, KNOWN * 40000 + "\x1b[8m\n") == (40001, "\\x1b[8m")

"""Text from hosts and files, shown without control characters."""
from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import one_line, shown


def test_control_and_reordering_characters_are_escaped():
    assert shown("a\x1b[8mb\x9b\r\u202e\x00\t") == "a\\x1b[8mb\\x9b\\r\\u202e\\x00\\t"


def test_bytes_that_are_not_utf8_are_shown_as_hex():
    assert shown(b"\xff\xc2\x9bz") == "\\xff\\x9bz"


def test_shown_text_shows_the_same_again():
    assert shown(shown("a\x1b\udcff\\x")) == "a\\x1b\\xff\\x"


def test_what_a_host_printed_comes_on_one_line_cut_short():
    assert one_line(b"a\r\n  b\tc\x1b") == "a b c\\x1b"
    assert one_line("x" * 400, limit=10) == "xxxxxxx..."

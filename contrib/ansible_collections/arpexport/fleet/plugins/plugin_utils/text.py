"""Text from hosts and files, made safe to show: a terminal obeys control
characters, so ESC[8m from a host would hide whatever is printed after it.
Bytes that are not UTF-8 are decoded with surrogateescape, so that a name
that holds them stays apart from one that holds their escape until both
are shown, as \\xNN. Shown text shows the same again."""
import re

# C0, DEL and C1, the characters that reorder or break lines on screen,
# and the surrogates that stand for bytes that are not UTF-8.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069"
                     "\ud800-\udfff]")
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(match):
    char = match[0]
    if char in _NAMED:
        return _NAMED[char]
    if "\udc80" <= char <= "\udcff":  # a byte that is not UTF-8
        return f"\\x{ord(char) - 0xdc00:02x}"
    return f"\\x{ord(char):02x}" if ord(char) < 0x100 else f"\\u{ord(char):04x}"


def decoded(data):
    """Bytes from a host or a file as text, those that are not UTF-8 kept as they are."""
    return bytes(data).decode("utf-8", "surrogateescape")


def shown(text):
    """text (str, or bytes in any encoding) with every control character
    escaped, and bytes that are not UTF-8 as \\xNN."""
    if isinstance(text, (bytes, bytearray)):
        text = decoded(text)
    return _UNSAFE.sub(_escape, text)


def one_line(text, limit=300):
    """What a host printed, on one line: runs of white space as one space,
    escaped, cut to limit characters."""
    if isinstance(text, (bytes, bytearray)):
        text = decoded(text)
    text = shown(" ".join(text.split()))
    return text if len(text) <= limit else text[:limit - 3] + "..."

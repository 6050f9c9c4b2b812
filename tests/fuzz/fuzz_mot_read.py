"""Fuzz target: the MOTChallenge reader, kelmora_tools._native.read_plain_rows through
mot_files.parse_mot, against the row-by-row reader (mot_files._parse_rows, float() on every value).

Both must give the same rows (every column bit for bit, the same line numbers) or the same
UserError message; any other exception is a finding. Inputs are files made of row-like lines
(plain and other numbers, odd separators, comments holding any bytes, a byte order mark, every
character str.splitlines ends a line at) or raw bytes, passed as bytes or as str.
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

from kelmora_tools import mot_files
from kelmora_tools.errors import UserError

FIELDS = ("frames", "ids", "xyxy", "conf", "class_ids", "lines")
# Each table starts with what plain files hold; the rest (bytes outside ASCII, characters that
# str.splitlines ends a line at, blanks that only Python sees as such) appear in "wild" files.
# Values in every form float() reads and some it refuses, non-ASCII digits and blanks last.
TOKENS = (
    "-1", "+3", "-0", "0.5", ".5", "5.", "007", "1e3", "-2E-5", "nan", "-NaN", "inf", "-Infinity", "1_0",
    "0x10", "x", "#", "1.2.3", "--1", "1-2", "+", ".", "9007199254740993", "12345678901234567890.5",
    "1" * 30 + ".5", "0." + "0" * 330 + "1", "1" * 310, "2147483648", "10000001", "\u0661", "\uff11", "1\xa0",
)  # fmt: skip
SEPARATORS = (",", " ", "\t", ", ", ",,", " , ", "\x1f", "\xa0", "\u3000", "\x0b")
EDGES = ("", "", "", " ", ",", ", ", " ,")  # before the first value and after the last
LINE_ENDS = ("\n", "\r\n", "\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029")
COMMENTS = ("#", "# ", "  #", "\t#", ",#", "#\r", "\u3000#", "\ufeff#")
HEADS = ("", "\ufeff", "\ufeff\ufeff", "\ufeff#", "\ufeff\n")


class Lines:
    """A file of row-like lines drawn from the input; one in three is wild."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.wild = fdp.ConsumeIntInRange(0, 2) == 0

    def pick(self, options, plain):
        """One of `options`: of the first `plain` only, unless the file is wild."""
        return options[self.fdp.ConsumeIntInRange(0, (len(options) if self.wild else plain) - 1)]

    def number(self):
        """A plain decimal of up to 24 digits, sometimes signed: the native reader's own territory."""
        fdp = self.fdp
        digits = str(fdp.ConsumeIntInRange(0, 10**24 - 1)).zfill(fdp.ConsumeIntInRange(1, 3))
        point = fdp.ConsumeIntInRange(0, len(digits))
        text = digits if point == len(digits) else digits[:point] + "." + digits[point:]
        return ("", "", "-", "+")[fdp.ConsumeIntInRange(0, 3)] + text

    def field(self, position):
        kind = self.fdp.ConsumeIntInRange(0, 15)
        if kind == 0:
            return self.pick(TOKENS, len(TOKENS) - 3)
        if kind == 1 or (kind == 2 and position >= 2):
            return self.number()
        if position < 2:
            return str(self.fdp.ConsumeIntInRange(1, 4))
        return f"{self.fdp.ConsumeIntInRange(0, 9999) / 100:.{self.fdp.ConsumeIntInRange(0, 3)}f}"

    def line(self):
        fdp = self.fdp
        shape = fdp.ConsumeIntInRange(0, 9)
        if shape == 0:
            # Any bytes, held as surrogates where they do not decode (surrogateescape).
            text = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12)).decode("utf-8", "surrogateescape")
            return self.pick(COMMENTS, 6) + text
        if shape == 1:
            return " " * fdp.ConsumeIntInRange(0, 2)
        # Mostly 6 to 10 values, the lengths a row may have.
        fields = [self.field(k) for k in range((6, 7, 8, 9, 10, 6, 10, 5, 11, 4)[fdp.ConsumeIntInRange(0, 9)])]
        separator = self.pick(SEPARATORS, 3) if fdp.ConsumeBool() else None
        text = fields[0]
        for f in fields[1:]:
            text += (separator or self.pick(SEPARATORS, 6)) + f
        return self.pick(EDGES, len(EDGES)) + text + self.pick(EDGES, len(EDGES))

    def text(self):
        text = self.pick(HEADS, 2)
        for _ in range(self.fdp.ConsumeIntInRange(0, 8)):
            text += self.line() + self.pick(LINE_ENDS, 2)
        if text and self.fdp.ConsumeBool():
            text = text[:-1]
        return text


def outcome(label, read):
    """The rows' arrays as bytes, or the UserError's message."""
    try:
        rows = read()
    except UserError as e:
        fl.note(label, e)
        return str(e)
    fl.note(label, rows.xyxy)
    return [getattr(rows, name).dtype.str + ":" + getattr(rows, name).tobytes().hex() for name in FIELDS]


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    kind = mot_files.KINDS[fdp.ConsumeIntInRange(0, 2)]
    if fdp.ConsumeIntInRange(0, 3) == 0:
        raw = fdp.ConsumeBytes(fdp.remaining_bytes())
        text = raw.decode("utf-8", "surrogateescape")
    else:
        text = Lines(fdp).text()
        raw = text.encode("utf-8", "surrogateescape")
    # parse_mot reads bytes as a file's (decoded with replacement where it must decode), and a str
    # as given (its lone surrogates encoded as they are).
    given, decoded = (raw, raw.decode("utf-8", "replace")) if fdp.ConsumeBool() else (text, text)
    ours = outcome("parse_mot", lambda: mot_files.parse_mot(given, "f", kind))
    theirs = outcome("_parse_rows", lambda: mot_files.rows_from_table(*mot_files._parse_rows(decoded, "f", kind), "f"))
    fl.check(ours == theirs, "parse_mot differs from the row-by-row reader", kind, given, ours, theirs)


if __name__ == "__main__":
    fl.run(test_one_input)

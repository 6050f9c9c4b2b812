"""MOTChallenge text files: reading detection, ground-truth and results rows with file:line errors,
and writing results.

Reading and writing run at array speed: a native reader takes the lines of plain decimal numbers, and
the rest (an exponent, "nan", a stray comma, a malformed row) goes through the row-by-row reader here,
which also words every error message. Both give the same values to the bit and accept the same rows:
the native reader's checks of a row (`row_fault` in src/mot/mot_text.cpp) are those of `_row`, and
it reports the first row that breaks one, for `_row` to word the error.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
import re
import stat
from collections.abc import Iterator

import numpy as np

from kelmora_tools import _native
from kelmora_tools.errors import UserError, file_problem

# Frames are numbered from 1; a larger frame number is taken for a corrupt row, not a long video.
MAX_FRAME = 10_000_000
INT32_MAX = 2**31 - 1
_SPLIT = re.compile(r"[,\s]+")
# A byte order mark that some editors put at the start of a UTF-8 file: both readers skip it.
_BOM = "\ufeff"
# Fields are quoted in messages up to this many characters: a row may hold a field of megabytes.
QUOTED = 40

# The kinds of file, by what follows the box: detections carry a score and (eighth value) a class id;
# ground truth carries the "considered" flag and, from MOT16 on, the class (in MOT15 world
# coordinates that nothing reads stand there); results carry a score and may carry a class.
KINDS = ("det", "gt", "results")

# The class of a ground-truth or results row without one, or whose eighth value is not a finite
# number: what TrackEval reads there (NumPy's conversion of NaN to an integer), never a class.
NO_CLASS = -(2**63)


@dataclasses.dataclass
class Rows:
    """Rows of a MOTChallenge text file, one box per row, sorted by frame (stable)."""

    frames: np.ndarray  # (N,) int64, numbered from 1
    ids: np.ndarray  # (N,) int64; -1 in detection files
    xyxy: np.ndarray  # (N, 4) float64, corner format in pixels, C-contiguous
    conf: np.ndarray  # (N,) float64: the score, or the "considered" flag of ground truth
    # (N,) int64: in detection files the class id, -1 for none; in ground truth and results the
    # eighth value truncated to a whole number as TrackEval reads it, NO_CLASS for none (results
    # without one read as class 1, pedestrian, as in TrackEval)
    class_ids: np.ndarray
    lines: np.ndarray  # (N,) int64: the line of each row in its file, for messages
    source: str = "<text>"

    def __len__(self) -> int:
        return len(self.frames)

    def select(self, mask: np.ndarray) -> Rows:
        return Rows(
            self.frames[mask],
            self.ids[mask],
            np.ascontiguousarray(self.xyxy[mask]),
            self.conf[mask],
            self.class_ids[mask],
            self.lines[mask],
            self.source,
        )

    def frame_slices(self) -> Iterator[tuple[int, int, int]]:
        """(frame, first row, end row) of each frame that has rows, in order: the cost follows the
        rows, not the length of the sequence."""
        if len(self.frames) == 0:
            return iter(())
        starts = np.flatnonzero(np.diff(self.frames, prepend=-1))
        ends = np.append(starts[1:], len(self.frames))
        return zip(self.frames[starts].tolist(), starts.tolist(), ends.tolist())

    def where(self, row: int) -> str:
        """`source:line` of a row, for messages."""
        return f"{self.source}:{int(self.lines[row])}"


def empty_rows(source: str = "<text>") -> Rows:
    return Rows(
        np.zeros(0, np.int64),
        np.zeros(0, np.int64),
        np.zeros((0, 4)),
        np.zeros(0),
        np.zeros(0, np.int64),
        np.zeros(0, np.int64),
        source,
    )


def rows_from_table(values: np.ndarray, lines: np.ndarray, source: str) -> Rows:
    """Rows from a checked (N, 8) table of frame, id, left, top, width, height, conf, class, sorted
    stably by frame."""
    return _by_frame(_table_rows(values, lines, source))


def _by_frame(rows: Rows) -> Rows:
    """The rows sorted stably by frame."""
    if (rows.frames[1:] >= rows.frames[:-1]).all():
        return rows
    return rows.select(np.argsort(rows.frames, kind="stable"))


def _table_rows(values: np.ndarray, lines: np.ndarray, source: str) -> Rows:
    """Rows from a checked (N, 8) table, in its order."""
    if len(values) == 0:
        return empty_rows(source)
    xyxy = np.empty((len(values), 4))
    xyxy[:, :2] = values[:, 2:4]
    np.add(values[:, 2:4], values[:, 4:6], out=xyxy[:, 2:])
    classes = values[:, 7]
    within = np.abs(classes) < 2.0**62  # NaN and infinities are not
    class_ids = np.full(len(values), NO_CLASS, np.int64)
    class_ids[within] = np.trunc(classes[within])
    return Rows(
        values[:, 0].astype(np.int64),
        values[:, 1].astype(np.int64),
        xyxy,
        np.ascontiguousarray(values[:, 6]),
        class_ids,
        lines,
        source,
    )


# --- reading, row by row ----------------------------------------------------------------------------


def _whole(value: float) -> bool:
    return value == value and abs(value) != float("inf") and value == int(value)


def _is_float(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _cut(field: str) -> str:
    """A field as a message quotes it: cut to QUOTED characters, "..." marking the cut."""
    return field if len(field) <= QUOTED else field[:QUOTED] + "..."


def _row(line: str, where: str, kind: str) -> list[float]:
    """One data line as [frame, id, left, top, width, height, conf, class]; UserError naming `where`
    when it breaks a rule. The rules, in this order, are those `_table_faults` applies to a table."""
    fields = _SPLIT.split(line.strip().strip(","))
    if not 6 <= len(fields) <= 10:
        raise UserError(
            f"{where}: expected 6 to 10 values (frame, id, left, top, width, height, ...), got {len(fields)}"
        )
    try:
        row = [float(v) for v in fields]
    except ValueError:
        bad = next(v for v in fields if not _is_float(v))
        raise UserError(f"{where}: not a number: {_cut(bad)!r}") from None
    frame, ident, left, top, width, height = row[:6]
    if not (_whole(frame) and 1 <= frame <= MAX_FRAME):
        raise UserError(f"{where}: frame must be a whole number from 1 to {MAX_FRAME}, got {_cut(fields[0])}")
    if not (_whole(ident) and abs(ident) <= INT32_MAX):
        raise UserError(f"{where}: id must be a whole number, got {_cut(fields[1])}")
    if not (np.isfinite(left) and np.isfinite(top)):
        raise UserError(f"{where}: box left and top must be finite numbers")
    if not (width >= 0 and height >= 0 and width != float("inf") and height != float("inf")):
        raise UserError(
            f"{where}: box width and height must be finite and >= 0, got {_cut(fields[4])} and {_cut(fields[5])}"
        )
    with np.errstate(over="ignore"):
        right, bottom = np.float64(left) + width, np.float64(top) + height
    if not (np.isfinite(right) and np.isfinite(bottom)):
        raise UserError(
            f"{where}: box right and bottom edges (left + width, top + height) must be finite numbers, "
            f"got {_cut(fields[4])} wide from {_cut(fields[2])} and {_cut(fields[5])} high from {_cut(fields[3])}"
        )
    conf = row[6] if len(row) > 6 else 1.0
    if kind == "det" and abs(conf) == float("inf"):
        raise UserError(f"{where}: score (7th value) must not be infinite, got {_cut(fields[6])}")
    if kind != "det":
        # Ground truth and results keep the eighth value as it stands (see Rows.class_ids).
        cls = row[7] if len(row) > 7 else 1.0 if kind == "results" else float("nan")
        return [frame, ident, left, top, width, height, conf, cls]
    cls = row[7] if len(row) > 7 else -1.0
    if cls >= 0 and not (_whole(cls) and cls <= INT32_MAX):
        raise UserError(f"{where}: class id (8th value) must be a whole number below 2**31, got {_cut(fields[7])}")
    return [frame, ident, left, top, width, height, conf, cls if cls >= 0 else -1.0]


def _parse_rows(text: str, source: str, kind: str) -> tuple[np.ndarray, np.ndarray]:
    """The row-by-row reader: every line of `text` (as str.splitlines cuts it, after a leading BOM)
    through `_row`."""
    table: list[list[float]] = []
    lines: list[int] = []
    for lineno, line in enumerate(text.removeprefix(_BOM).splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        table.append(_row(line, f"{source}:{lineno}", kind))
        lines.append(lineno)
    return np.array(table, dtype=float).reshape(-1, 8), np.array(lines, dtype=np.int64)


# --- reading, at array speed --------------------------------------------------------------------------


def parse_mot(text: str | bytes, source: str = "<text>", kind: str = "det") -> Rows:
    """Parses MOTChallenge rows: frame, id, bb_left, bb_top, bb_width, bb_height[, conf[, class, ...]].

    Values are separated by commas or blanks; a leading byte order mark, blank lines and lines starting
    with '#' (then any text) are skipped. A missing conf reads as 1. In detection files (`kind` "det")
    the eighth value is the class id (a missing or negative one reads as -1, as public detection files
    hold there) and an infinite score is refused; ground truth and results have no class. Raises
    UserError naming `source:line` for the first malformed row.
    """
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {KINDS}, got {kind!r}")
    data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass")
    found = _native.read_mot_rows(data, kind, float(MAX_FRAME))
    if found is None:
        decoded = text if isinstance(text, str) else text.decode("utf-8", errors="replace")
        values, lines = _parse_rows(decoded, source, kind)
        return rows_from_table(values, lines, source)
    frames, ids, xyxy, conf, class_ids, lines, other_lines, first_fault, in_order = found
    rows = Rows(frames, ids, xyxy, conf, class_ids, lines, source)
    if in_order:
        return rows
    # The lines left to the row-by-row reader up to the first faulty row, which it words the error of.
    texts = data.removeprefix(_BOM.encode()).split(b"\n")
    other, other_at = [], []
    for lineno in other_lines.tolist():
        if first_fault and lineno > first_fault:
            break
        other.append(_row(texts[lineno - 1].decode("ascii"), f"{source}:{lineno}", kind))
        other_at.append(lineno)
    if first_fault:
        _row(texts[first_fault - 1].decode("ascii"), f"{source}:{first_fault}", kind)
        raise AssertionError(f"{source}:{first_fault}: a row refused by the native check was accepted")
    more = _table_rows(np.array(other, dtype=float).reshape(-1, 8), np.array(other_at, dtype=np.int64), source)
    columns = ("frames", "ids", "xyxy", "conf", "class_ids", "lines")
    joined = [np.concatenate([getattr(rows, c), getattr(more, c)]) for c in columns]
    both = Rows(joined[0], joined[1], joined[2], joined[3], joined[4], joined[5], source)
    return _by_frame(both.select(np.argsort(both.lines, kind="stable")))


def read_bytes(path: str | pathlib.Path, where: str | None = None) -> bytes:
    """The content of a file: the one reader of every file the command reads whole. `where` names it
    in messages (default: the path).

    Raises: UserError naming it when it is missing or unreadable, is not a regular file once symlinks
    are resolved (a folder, a FIFO, a device: its status is looked at first, so a FIFO is never
    opened and a device never read without end), or is larger than the memory available.
    """
    path = pathlib.Path(path)
    where = str(path) if where is None else where
    problem = file_problem(path)
    if problem is not None:
        raise UserError(f"{where}: {problem}")
    try:
        # O_NONBLOCK: should a FIFO take the file's place after the look at it, opening it does not wait.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise UserError(f"{where}: cannot read: {e.strerror or e}") from None
    with open(fd, "rb") as file:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise UserError(f"{where}: {file_problem(path) or 'changed while it was opened'}")
        available = available_memory()
        if available is not None and status.st_size > available:
            raise UserError(
                f"{where}: too large to read: {status.st_size:,} bytes, with {available:,} bytes of memory available"
            )
        try:
            return file.read()
        except OSError as e:
            raise UserError(f"{where}: cannot read: {e.strerror or e}") from None


def read_text(path: str | pathlib.Path, errors: str = "strict") -> str:
    """The content of a UTF-8 text file through read_bytes, line ends made "\n" as text mode makes
    them. Raises UnicodeDecodeError, with `errors` "strict", for bytes that are not UTF-8."""
    text = read_bytes(path).decode("utf-8", errors)
    return text.replace("\r\n", "\n").replace("\r", "\n") if "\r" in text else text


def available_memory() -> int | None:
    """The bytes of memory available to a new allocation (MemAvailable of /proc/meminfo); None where
    the system does not say."""
    try:
        with open("/proc/meminfo", "rb") as info:
            found = re.search(rb"^MemAvailable:\s*(\d+) kB", info.read(), re.MULTILINE)
    except OSError:
        return None
    return int(found[1]) * 1024 if found else None


def file_size(path: str | pathlib.Path) -> int:
    """The size of a file in bytes; UserError naming it when it cannot be looked at."""
    try:
        return os.stat(path).st_size
    except OSError as e:
        raise UserError(f"{path}: cannot read: {e.strerror or e}") from None


def read_mot(path: str | pathlib.Path, kind: str = "det", *, allow_empty: bool = True) -> Rows:
    """The rows of a MOTChallenge text file; with allow_empty False, a file without rows is an error."""
    rows = parse_mot(read_bytes(path), str(path), kind)
    if not allow_empty and len(rows) == 0:
        raise UserError(f"{path}: no rows (the file is empty)")
    return rows


# --- writing ------------------------------------------------------------------------------------------


def results_values(xyxy: np.ndarray, scores: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The (left, top, width, height) boxes and the scores as a results file holds them: rounded to 2
    and 4 decimals as NumPy's round does, -0.0 made 0.0. Reading the file back gives these values."""
    xyxy = np.asarray(xyxy, dtype=float).reshape(-1, 4)
    xywh = np.round(np.hstack([xyxy[:, :2], xyxy[:, 2:] - xyxy[:, :2]]), 2) + 0.0
    return xywh, np.round(np.asarray(scores, dtype=float), 4) + 0.0


def results_rows(
    frames: np.ndarray, ids: np.ndarray, xyxy: np.ndarray, scores: np.ndarray, source: str = "<results>"
) -> Rows:
    """The rows that reading the results file of these tracks would give (see results_values), without
    writing and reading it. `frames` must be non-decreasing, as the tracker reports them."""
    xywh, conf = results_values(xyxy, scores)
    n = len(conf)
    return Rows(
        np.asarray(frames, dtype=np.int64).reshape(-1),
        np.asarray(ids, dtype=np.int64).reshape(-1),
        np.ascontiguousarray(np.hstack([xywh[:, :2], xywh[:, :2] + xywh[:, 2:]])),
        conf,
        np.full(n, -1, np.int64),  # the results file's class column
        np.arange(1, n + 1, dtype=np.int64),
        source,
    )


def format_results(frames: np.ndarray, ids: np.ndarray, xyxy: np.ndarray, scores: np.ndarray) -> str:
    """MOTChallenge results text, one line per box:
    frame,id,bb_left,bb_top,bb_width,bb_height,conf,-1,-1,-1 (boxes to 2 decimals, conf to 4, as
    `results_values` rounds them)."""
    frames = np.asarray(frames).astype(np.int64).reshape(-1)
    ids = np.asarray(ids).astype(np.int64).reshape(-1)
    xyxy = np.asarray(xyxy, dtype=float).reshape(-1, 4)
    text = _native.format_results(frames, ids, xyxy, np.asarray(scores, dtype=float).reshape(-1))
    if text is not None:
        return text
    # Huge or non-finite values: Python's formatting, row by row.
    xywh, conf = results_values(xyxy, scores)
    return "".join(
        f"{f},{i},{b[0]:.2f},{b[1]:.2f},{b[2]:.2f},{b[3]:.2f},{c:.4f},-1,-1,-1\n"
        for f, i, b, c in zip(frames.tolist(), ids.tolist(), xywh.tolist(), conf.tolist())
    )


def write_results(
    path: str | pathlib.Path, frames: np.ndarray, ids: np.ndarray, xyxy: np.ndarray, scores: np.ndarray
) -> None:
    """Writes tracks to `path` in the MOTChallenge results format (see format_results), atomically."""
    from kelmora_tools.outputs import write_file

    write_file(path, format_results(frames, ids, xyxy, scores))

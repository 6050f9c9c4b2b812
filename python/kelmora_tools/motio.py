"""MOTChallenge text files: reading detection, ground-truth and results rows with file:line errors,
writing results, and writing any file under a temporary name that is renamed when complete."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import pathlib
import re
import tempfile
from collections.abc import Iterator

import numpy as np

from kelmora_tools.errors import UserError

# Frames are numbered from 1; a larger frame number is taken for a corrupt row, not a long video.
MAX_FRAME = 10_000_000
INT32_MAX = 2**31 - 1
_SPLIT = re.compile(r"[,\s]+")


@dataclasses.dataclass
class Rows:
    """Rows of a MOTChallenge text file, one box per row, sorted by frame (stable)."""

    frames: np.ndarray  # (N,) int64, numbered from 1
    ids: np.ndarray  # (N,) int64; -1 in detection files
    xyxy: np.ndarray  # (N, 4) float64, corner format in pixels, C-contiguous
    conf: np.ndarray  # (N,) float64: the score, or the "considered" flag of ground truth
    class_ids: np.ndarray  # (N,) int64; -1 for no class
    lines: np.ndarray  # (N,) int64: the line of each row in its file, for messages
    source: str = "<text>"

    def __len__(self) -> int:
        return len(self.frames)

    def select(self, mask: np.ndarray) -> Rows:
        return Rows(self.frames[mask], self.ids[mask], np.ascontiguousarray(self.xyxy[mask]), self.conf[mask],
                    self.class_ids[mask], self.lines[mask], self.source)

    def frame_bounds(self, n_frames: int) -> np.ndarray:
        """Row ranges per frame: the rows of frame f are bounds[f - 1]:bounds[f]."""
        return np.searchsorted(self.frames, np.arange(1, n_frames + 2))

    def where(self, row: int) -> str:
        """`source:line` of a row, for messages."""
        return f"{self.source}:{int(self.lines[row])}"


def empty_rows(source: str = "<text>") -> Rows:
    return Rows(np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros((0, 4)), np.zeros(0), np.zeros(0, np.int64),
                np.zeros(0, np.int64), source)


def _whole(value: float) -> bool:
    return value == value and abs(value) != float("inf") and value == int(value)


def parse_mot(text: str, source: str = "<text>") -> Rows:
    """Parses MOTChallenge rows: frame, id, bb_left, bb_top, bb_width, bb_height[, conf[, class, ...]].

    Values are separated by commas or blanks; blank lines and lines starting with '#' are skipped.
    A missing conf reads as 1, a missing class as -1, and a negative class as -1 (public detection
    files hold -1 there). Raises UserError naming `source:line` for a malformed row.
    """
    table: list[list[float]] = []
    lines: list[int] = []
    for lineno, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        fields = _SPLIT.split(line.strip(","))
        where = f"{source}:{lineno}"
        if not 6 <= len(fields) <= 10:
            raise UserError(f"{where}: expected 6 to 10 values (frame, id, left, top, width, height, ...), "
                            f"got {len(fields)}")
        try:
            row = [float(v) for v in fields]
        except ValueError:
            bad = next(v for v in fields if not _is_float(v))
            raise UserError(f"{where}: not a number: {bad[:40]!r}") from None
        frame, ident, left, top, width, height = row[:6]
        if not (_whole(frame) and 1 <= frame <= MAX_FRAME):
            raise UserError(f"{where}: frame must be a whole number from 1 to {MAX_FRAME}, got {fields[0]}")
        if not (_whole(ident) and abs(ident) <= INT32_MAX):
            raise UserError(f"{where}: id must be a whole number, got {fields[1]}")
        if not (np.isfinite(left) and np.isfinite(top)):
            raise UserError(f"{where}: box left and top must be finite numbers")
        if not (width >= 0 and height >= 0 and width != float("inf") and height != float("inf")):
            raise UserError(f"{where}: box width and height must be finite and >= 0, got {fields[4]} and {fields[5]}")
        conf = row[6] if len(row) > 6 else 1.0
        cls = row[7] if len(row) > 7 else -1.0
        if cls >= 0 and not (_whole(cls) and cls <= INT32_MAX):
            raise UserError(f"{where}: class id (8th value) must be a whole number below 2**31, got {fields[7]}")
        table.append([frame, ident, left, top, width, height, conf, cls if cls >= 0 else -1.0])
        lines.append(lineno)
    if not table:
        return empty_rows(source)
    values = np.array(table, dtype=float)
    order = np.argsort(values[:, 0], kind="stable")
    values = values[order]
    left_top = values[:, 2:4]
    xyxy = np.ascontiguousarray(np.hstack([left_top, left_top + values[:, 4:6]]))
    return Rows(values[:, 0].astype(np.int64), values[:, 1].astype(np.int64), xyxy,
                np.ascontiguousarray(values[:, 6]), values[:, 7].astype(np.int64),
                np.asarray(lines, np.int64)[order], source)


def _is_float(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def read_text(path: str | pathlib.Path) -> str:
    """The text of a file; UserError naming it when it is missing or unreadable."""
    path = pathlib.Path(path)
    try:
        return path.read_bytes().decode("utf-8", errors="replace")
    except FileNotFoundError:
        raise UserError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise UserError(f"{path}: is a folder, expected a file") from None
    except OSError as e:
        raise UserError(f"{path}: cannot read: {e.strerror or e}") from None


def read_mot(path: str | pathlib.Path, *, allow_empty: bool = True) -> Rows:
    """The rows of a MOTChallenge text file; with allow_empty False, a file without rows is an error."""
    rows = parse_mot(read_text(path), str(path))
    if not allow_empty and len(rows) == 0:
        raise UserError(f"{path}: no rows (the file is empty)")
    return rows


def format_results(frames: np.ndarray, ids: np.ndarray, xyxy: np.ndarray, scores: np.ndarray) -> str:
    """MOTChallenge results text, one line per box:
    frame,id,bb_left,bb_top,bb_width,bb_height,conf,-1,-1,-1 (boxes to 2 decimals, conf to 4)."""
    xyxy = np.asarray(xyxy, dtype=float).reshape(-1, 4)
    # Adding 0.0 after rounding turns -0.0 into 0.0, so that no "-0.00" appears.
    xywh = np.round(np.hstack([xyxy[:, :2], xyxy[:, 2:] - xyxy[:, :2]]), 2) + 0.0
    conf = np.round(np.asarray(scores, dtype=float), 4) + 0.0
    return "".join(f"{f},{i},{b[0]:.2f},{b[1]:.2f},{b[2]:.2f},{b[3]:.2f},{c:.4f},-1,-1,-1\n"
                   for f, i, b, c in zip(np.asarray(frames).tolist(), np.asarray(ids).tolist(), xywh.tolist(),
                                         conf.tolist()))


@contextlib.contextmanager
def atomic_write(path: str | pathlib.Path) -> Iterator[pathlib.Path]:
    """Yields a temporary path in the folder of `path`, renamed over `path` when the block completes;
    removed, leaving `path` untouched, when the block raises.

    The temporary name keeps the suffix of `path` (writers that choose a format by suffix see the
    right one) and starts with a dot, so that a half-written file never looks like a result.
    """
    path = pathlib.Path(path)
    fd, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=f".tmp{path.suffix}", dir=path.parent)
    os.close(fd)
    tmp = pathlib.Path(name)
    try:
        yield tmp
        # mkstemp creates the file readable by its owner only; results get the usual permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def write_text(path: str | pathlib.Path, text: str) -> None:
    """Writes `text` to `path` through atomic_write."""
    with atomic_write(path) as tmp:
        tmp.write_text(text, encoding="utf-8")


def write_results(path: str | pathlib.Path, frames: np.ndarray, ids: np.ndarray, xyxy: np.ndarray,
                  scores: np.ndarray) -> None:
    """Writes tracks to `path` in the MOTChallenge results format (see format_results), atomically."""
    write_text(path, format_results(frames, ids, xyxy, scores))

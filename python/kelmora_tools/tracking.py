"""Running the tracker over MOTChallenge detections: one new ByteTracker per sequence fed every frame
from 1 to the sequence's length, empty frames included, and its reports gathered as arrays."""

from __future__ import annotations

import bisect
import dataclasses
import re
import time
from collections.abc import Callable

import numpy as np

from kelmora_tools import config, mot_files, progress
from kelmora_tools.dataset import Sequence
from kelmora_tools.errors import UserError
from kelmora_tools.mot_files import Rows


@dataclasses.dataclass(frozen=True)
class TrackTask:
    """Everything a worker needs to track one sequence; no file access on the worker."""

    name: str
    det_text: bytes | str
    det_source: str
    length: int | None  # seqLength of seqinfo.ini, else the last frame of det.txt
    options: dict[str, bool | int | float]
    classes: bool = False  # the eighth column of det.txt holds class ids for the tracker
    interpolate: int = 0  # fill gaps of up to this many frames in each track (0: none)


@dataclasses.dataclass(frozen=True)
class TrackResult:
    name: str
    text: str  # the results file
    frames: int
    detections: int
    tracks: int
    boxes: int
    seconds: float  # spent in ByteTracker.update
    interpolated: int = 0  # of the boxes, those that fill gaps


def sequence_length(dets: Rows, length: int | None) -> int:
    """Frames to track: seqLength when known (rows beyond it are an error), else the last frame."""
    last = int(dets.frames.max(initial=0))
    if length is None:
        return last
    if last > length:
        row = int(np.argmax(dets.frames > length))
        raise UserError(
            f"{dets.where(row)}: frame {int(dets.frames[row])} is beyond the sequence length "
            f"{length} (seqLength of seqinfo.ini)"
        )
    return length


_ROW = re.compile(r"\(row (\d+)\)")


# The bar of `kelmora track` moves every this many frames.
_PROGRESS_FRAMES = 500


def track_rows(
    dets: Rows,
    n_frames: int,
    options: dict[str, bool | int | float],
    classes: bool = False,
    report: Callable[[int, int], None] | None = None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, float]:
    """Feeds frames 1..n_frames of `dets` to a new tracker, empty frames included.

    With `classes`, the class ids of the detections (the eighth column, which MOTChallenge's own
    detection files leave at -1) go to the tracker when they carry any. Returns the reported rows
    (frames, ids, xyxy, scores) and the seconds spent in `update`. `report(rows done, rows)` hears
    how far it has come, every few hundred frames.
    """
    tracker = config.make_tracker(options)
    with_classes = classes and bool((dets.class_ids >= 0).any())
    empty = (np.zeros((0, 4)), np.zeros(0), np.zeros(0, np.int64) if with_classes else None)
    # The frames that hold rows, and each one's arguments, made before the loop.
    slices = list(dets.frame_slices())
    given = {f: (dets.xyxy[a:b], dets.conf[a:b], dets.class_ids[a:b] if with_classes else None) for f, a, b in slices}
    row_frames, row_ends = [f for f, _, _ in slices], [b for _, _, b in slices]
    reported_frames, reported_counts, ids, boxes, scores = [], [], [], [], []
    seconds = 0.0
    perf_counter, update, get = time.perf_counter, tracker.update, given.get
    for f in range(1, n_frames + 1):
        try:
            start = perf_counter()
            out_ids, out_xyxy, out_scores, _ = update(*get(f, empty))
            seconds += perf_counter() - start
        except (ValueError, RuntimeError) as e:
            raise _refused(dets, f, e) from None
        if len(out_ids):
            reported_frames.append(f)
            reported_counts.append(len(out_ids))
            ids.append(out_ids)
            boxes.append(out_xyxy)
            scores.append(out_scores)
        if report is not None and f % _PROGRESS_FRAMES == 0:
            k = bisect.bisect_right(row_frames, f)
            report(row_ends[k - 1] if k else 0, len(dets))
    if not ids:
        return np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros((0, 4)), np.zeros(0), seconds
    return (
        np.repeat(np.asarray(reported_frames, np.int64), reported_counts),
        np.concatenate(ids).astype(np.int64),
        np.concatenate(boxes),
        np.concatenate(scores),
        seconds,
    )


def interpolate_gaps(
    frames: np.ndarray, ids: np.ndarray, xyxy: np.ndarray, scores: np.ndarray, max_gap: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, int]:
    """The rows of the tracks with every gap of 1 to `max_gap` frames between two rows of one id
    filled, one row per missing frame, sorted by frame and then id; and the number of rows added.

    Left, top, width, height and score are linear in the frame number between the two rows: for a
    missing frame f between rows at f1 and f2, v1 + (v2 - v1) * (f - f1) / (f2 - f1), in double
    precision, with the box as (left, top, width, height) = (x1, y1, x2 - x1, y2 - y1).
    """
    frames, ids = np.asarray(frames, np.int64), np.asarray(ids, np.int64)
    xyxy, scores = np.asarray(xyxy, float).reshape(-1, 4), np.asarray(scores, float)
    order = np.lexsort((frames, ids))  # by id, then frame
    f, i = frames[order], ids[order]
    missing = np.diff(f) - 1
    gaps = np.flatnonzero((i[1:] == i[:-1]) & (missing >= 1) & (missing <= max_gap))
    if max_gap < 1 or not len(gaps):
        return frames, ids, xyxy, scores, 0
    counts = missing[gaps]
    before = order[np.repeat(gaps, counts)]
    after = order[np.repeat(gaps + 1, counts)]
    # 1, 2, ..., count within each gap.
    step = np.arange(int(counts.sum())) - np.repeat(np.cumsum(counts) - counts, counts) + 1
    f1, f2 = frames[before].astype(float), frames[after].astype(float)
    at = f1 + step
    values = np.column_stack([xyxy[:, :2], xyxy[:, 2:] - xyxy[:, :2], scores])
    v1, v2 = values[before], values[after]
    filled = v1 + (v2 - v1) * (at - f1)[:, None] / (f2 - f1)[:, None]
    new_xyxy = np.column_stack([filled[:, :2], filled[:, :2] + filled[:, 2:4]])
    all_frames = np.concatenate([frames, frames[before] + step])
    all_ids = np.concatenate([ids, ids[before]])
    out = np.lexsort((all_ids, all_frames))
    return (
        all_frames[out],
        all_ids[out],
        np.concatenate([xyxy, new_xyxy])[out],
        np.concatenate([scores, filled[:, 4]])[out],
        len(step),
    )


def _refused(dets: Rows, frame: int, error: Exception) -> UserError:
    """The tracker's refusal of a frame, naming the row when the message names one."""
    message = str(error)
    rows = np.flatnonzero(dets.frames == frame)
    row = _ROW.search(message)
    where = (
        dets.where(int(rows[0]) + int(row[1]))
        if row and len(rows) and int(row[1]) < len(rows)
        else f"{dets.source}: frame {frame}"
    )
    return UserError(f"{where}: the tracker refused it: {message}")


def track_task(task: TrackTask) -> TrackResult:
    """Tracks one sequence; runs in a worker process or in this one."""
    dets = mot_files.parse_mot(task.det_text, task.det_source)
    if len(dets) == 0:
        raise UserError(f"{task.det_source}: no detections (the file is empty)")
    n_frames = sequence_length(dets, task.length)
    frames, ids, xyxy, scores, seconds = track_rows(
        dets, n_frames, task.options, task.classes, progress.share(len(task.det_text))
    )
    added = 0
    if task.interpolate:
        frames, ids, xyxy, scores, added = interpolate_gaps(frames, ids, xyxy, scores, task.interpolate)
    return TrackResult(
        task.name,
        mot_files.format_results(frames, ids, xyxy, scores),
        n_frames,
        len(dets),
        len(np.unique(ids)),
        len(ids),
        seconds,
        added,
    )


def make_task(
    seq: Sequence, options: dict[str, bool | int | float], classes: bool = False, interpolate: int = 0
) -> TrackTask:
    """Reads the detection file of `seq` here, so that workers need no access to it."""
    assert seq.det_path is not None
    text = mot_files.read_bytes(seq.det_path)
    if not text.strip():
        raise UserError(f"{seq.det_path}: no detections (the file is empty)")
    return TrackTask(seq.name, text, str(seq.det_path), seq.length, options, classes, interpolate)


def frames_per_second(frames: int, seconds: float) -> str:
    return f"{frames / seconds:,.0f} frames/s" if seconds > 0 else "n/a frames/s"

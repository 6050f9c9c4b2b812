"""`kelmora eval`: HOTA, CLEAR MOT and identity metrics of results against ground truth.

The figures are TrackEval's, in its MOT15 mode: every ground-truth row whose "considered" flag is
non-zero counts, whatever its class (the MOT17 preprocessing would keep pedestrians only). The built-in
evaluator (`metrics`) computes them over arrays; with --trackeval, TrackEval's own metric classes run
in memory on the data its MOTChallenge dataset class would build from the same files.
"""

from __future__ import annotations

import dataclasses
import pathlib
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from kelmora_tools import metrics, mot_files, progress
from kelmora_tools.dataset import Sequence
from kelmora_tools.errors import UserError
from kelmora_tools.mot_files import Rows

# The figures reported per sequence and combined: name -> (TrackEval metric, field, kind).
# "mean" fields are arrays over TrackEval's 19 localisation thresholds, reported as their mean.
SUMMARY = {
    "HOTA": ("HOTA", "HOTA", "mean"),
    "DetA": ("HOTA", "DetA", "mean"),
    "AssA": ("HOTA", "AssA", "mean"),
    "LocA": ("HOTA", "LocA", "mean"),
    "MOTA": ("CLEAR", "MOTA", "float"),
    "MOTP": ("CLEAR", "MOTP", "float"),
    "IDF1": ("Identity", "IDF1", "float"),
    "IDP": ("Identity", "IDP", "float"),
    "IDR": ("Identity", "IDR", "float"),
    "IDSW": ("CLEAR", "IDSW", "count"),
    "FP": ("CLEAR", "CLR_FP", "count"),
    "FN": ("CLEAR", "CLR_FN", "count"),
    "Frag": ("CLEAR", "Frag", "count"),
    "MT": ("CLEAR", "MT", "count"),
    "ML": ("CLEAR", "ML", "count"),
}


METRICS = ("HOTA", "DetA", "AssA", "MOTA", "IDF1")  # what `kelmora tune` can maximise


@dataclasses.dataclass(frozen=True)
class EvalTask:
    name: str
    gt_text: bytes | str
    gt_source: str
    res_text: bytes | str
    res_source: str
    length: int | None  # seqLength of seqinfo.ini, else the last frame of either file
    trackeval: bool = False  # compute with TrackEval's own classes


@dataclasses.dataclass(frozen=True)
class SequenceScores:
    """The per-sequence results in TrackEval's form ({metric: {field: value}}), the seconds they took
    and the frames evaluated."""

    name: str
    raw: dict[str, dict[str, Any]]
    seconds: float


def _trackeval_metrics():
    from trackeval.metrics import CLEAR, HOTA, Identity

    return {"HOTA": HOTA(), "CLEAR": CLEAR({"PRINT_CONFIG": False}), "Identity": Identity({"PRINT_CONFIG": False})}


def _mot15_dataset():
    """TrackEval's MOTChallenge dataset class set to its MOT15 mode, without reading any folder: only its
    preprocessing is used, which depends on nothing but these attributes."""
    from trackeval.datasets import MotChallenge2DBox

    dataset = MotChallenge2DBox.__new__(MotChallenge2DBox)
    dataset.benchmark = "MOT15"
    dataset.do_preproc = False
    # The class table the class's constructor sets; in MOT15 mode it only names the class evaluated.
    dataset.class_name_to_class_id = {
        "pedestrian": 1,
        "person_on_vehicle": 2,
        "car": 3,
        "bicycle": 4,
        "motorbike": 5,
        "non_mot_vehicle": 6,
        "static_person": 7,
        "distractor": 8,
        "occluder": 9,
        "occluder_on_ground": 10,
        "occluder_full": 11,
        "reflection": 12,
        "crowd": 13,
    }
    return dataset


def check_rows(rows: Rows, n_frames: int, what: str) -> None:
    """Frames within the sequence, ids >= 0 and no id twice in one frame, as TrackEval requires."""
    if len(rows) == 0:
        return
    beyond = np.flatnonzero(rows.frames > n_frames)
    if len(beyond):
        raise UserError(
            f"{rows.where(int(beyond[0]))}: frame {int(rows.frames[beyond[0]])} is beyond the sequence "
            f"length {n_frames} (seqLength of seqinfo.ini)"
        )
    if what == "ground-truth":
        # The 7th value is the "considered" flag, read as a whole number (0: not an object to track).
        bad = np.flatnonzero(~(np.abs(rows.conf) < 2.0**31))
        if len(bad):
            raise UserError(
                f"{rows.where(int(bad[0]))}: the 7th value of ground truth (the considered flag) must be "
                f"a finite number, got {rows.conf[bad[0]]:g}"
            )
    # Overlaps divide by box areas: an area beyond the largest double makes them NaN.
    with np.errstate(over="ignore"):
        areas = (rows.xyxy[:, 2] - rows.xyxy[:, 0]) * (rows.xyxy[:, 3] - rows.xyxy[:, 1])
    huge = np.flatnonzero(~np.isfinite(areas))
    if len(huge):
        raise UserError(f"{rows.where(int(huge[0]))}: box area (width times height) must be a finite number")
    negative = np.flatnonzero(rows.ids < 0)
    if len(negative):
        raise UserError(f"{rows.where(int(negative[0]))}: {what} ids must be >= 0, got {int(rows.ids[negative[0]])}")
    # Frames and ids (below 2**31 each) in one key: a repeat of (frame, id) is a repeated key.
    keys = rows.frames * 2**31 + rows.ids
    if (np.diff(np.sort(keys)) != 0).all():
        return
    order = np.argsort(keys, kind="stable")
    k = int(np.flatnonzero(np.diff(keys[order]) == 0)[0])
    first, second = sorted((int(order[k]), int(order[k + 1])), key=lambda r: int(rows.lines[r]))
    raise UserError(
        f"{rows.where(second)}: id {int(rows.ids[second])} appears twice in frame "
        f"{int(rows.frames[second])} (also line {int(rows.lines[first])})"
    )


def trackeval_data(gt: Rows, res: Rows, n_frames: int, name: str) -> dict[str, Any]:
    """The data TrackEval's metrics take for one sequence, as its MOTChallenge dataset class would build
    it from the two files in its MOT15 mode.

    Ids are relabelled (in order) first, so that nothing TrackEval sizes by the largest id grows with
    it, and frames without rows are left out: TrackEval counts nothing in them, and the number of time
    steps is set afterwards.
    """
    dataset = _mot15_dataset()
    gt_ids, _ = metrics.relabel(gt.ids)
    res_ids, _ = metrics.relabel(res.ids)
    gt_slices = {f: (a, b) for f, a, b in gt.frame_slices()}
    res_slices = {f: (a, b) for f, a, b in res.frame_slices()}
    raw: dict[str, Any] = {
        key: []
        for key in (
            "gt_ids",
            "gt_classes",
            "gt_dets",
            "gt_extras",
            "tracker_ids",
            "tracker_classes",
            "tracker_dets",
            "tracker_confidences",
            "similarity_scores",
            "gt_crowd_ignore_regions",
        )
    }
    for f in sorted(gt_slices.keys() | res_slices.keys()):
        g, r = slice(*gt_slices.get(f, (0, 0))), slice(*res_slices.get(f, (0, 0)))
        raw["gt_ids"].append(gt_ids[g].astype(int))
        # Ground truth has no class in MOT15; TrackEval then ignores the column.
        raw["gt_classes"].append(np.ones(g.stop - g.start, dtype=int))
        # TrackEval keeps its boxes as (left, top, width, height) and turns them into corners with the same
        # left + width sums that the reader did, so the corner boxes give the same overlaps to the bit.
        raw["gt_dets"].append(gt.xyxy[g])
        raw["gt_extras"].append({"zero_marked": gt.conf[g].astype(int)})
        raw["gt_crowd_ignore_regions"].append(np.empty((0, 4)))
        raw["tracker_ids"].append(res_ids[r].astype(int))
        # Results carry no class; TrackEval reads a missing class as pedestrian (1).
        raw["tracker_classes"].append(np.ones(r.stop - r.start, dtype=int))
        raw["tracker_dets"].append(res.xyxy[r])
        raw["tracker_confidences"].append(res.conf[r])
        raw["similarity_scores"].append(dataset._calculate_box_ious(gt.xyxy[g], res.xyxy[r], box_format="x0y0x1y1"))
    raw["num_timesteps"] = len(raw["gt_ids"])
    raw["seq"] = name
    data = dataset.get_preprocessed_seq_data(raw, "pedestrian")
    data["num_timesteps"] = n_frames
    return data


def score_rows(
    gt: Rows,
    res: Rows,
    n_frames: int,
    name: str,
    trackeval: bool = False,
    report: Callable[[int, int], None] | None = None,
    checked: bool = False,
) -> dict[str, dict[str, Any]]:
    """HOTA, CLEAR and Identity results of one sequence, in TrackEval's form: by the built-in evaluator,
    or with `trackeval` by TrackEval's own metric classes. The rows are checked first (check_rows)
    unless they are `checked` already or come from the tracker."""
    if not checked:
        check_rows(gt, n_frames, "ground-truth")
        check_rows(res, n_frames, "track")
    if not trackeval:
        return metrics.eval_sequence(gt, res, n_frames, report)
    data = trackeval_data(gt, res, n_frames, name)
    return {metric_name: metric.eval_sequence(data) for metric_name, metric in _trackeval_metrics().items()}


def eval_task(task: EvalTask) -> SequenceScores:
    """Scores one sequence; runs in a worker process or in this one. The seconds it reports leave out
    importing TrackEval."""
    if task.trackeval:
        import trackeval.metrics  # noqa: F401

    start = time.perf_counter()
    gt = mot_files.parse_mot(task.gt_text, task.gt_source, "gt")
    res = mot_files.parse_mot(task.res_text, task.res_source, "results")
    n_frames = task.length or int(max(gt.frames.max(initial=0), res.frames.max(initial=0)))
    raw = score_rows(gt, res, n_frames, task.name, task.trackeval, progress.share(task_size(task)))
    return SequenceScores(task.name, raw, time.perf_counter() - start)


def task_size(task: EvalTask) -> int:
    """The bytes of a task's two files: the units of the progress bar, and what its work grows with."""
    return len(task.gt_text) + len(task.res_text)


def combine(per_sequence: dict[str, dict[str, dict[str, Any]]], trackeval: bool = False) -> dict[str, dict[str, Any]]:
    """The combination of per-sequence results over all sequences, TrackEval's."""
    if not trackeval:
        return metrics.combine_sequences(per_sequence)
    return {
        metric_name: metric.combine_sequences({seq: res[metric_name] for seq, res in per_sequence.items()})
        for metric_name, metric in _trackeval_metrics().items()
    }


def summary(raw: dict[str, dict[str, Any]]) -> dict[str, float | int]:
    """The figures of SUMMARY from TrackEval results: fractions (HOTA 0.676, not 67.6) and counts."""
    out: dict[str, float | int] = {}
    for name, (metric, field, kind) in SUMMARY.items():
        value = raw[metric][field]
        out[name] = float(np.mean(value)) if kind == "mean" else int(value) if kind == "count" else float(value)
    return out


def make_task(seq: Sequence, results: pathlib.Path, trackeval: bool = False) -> EvalTask:
    assert seq.gt_path is not None
    res_path = results if results.is_file() else results / f"{seq.name}.txt"
    if not res_path.is_file():
        raise UserError(f"{results}: no results for sequence {seq.name} ({res_path.name} is missing)")
    return EvalTask(
        seq.name,
        mot_files.read_bytes(seq.gt_path),
        str(seq.gt_path),
        mot_files.read_bytes(res_path),
        str(res_path),
        seq.length,
        trackeval,
    )

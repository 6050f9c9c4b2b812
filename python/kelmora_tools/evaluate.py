"""`kelmora eval`: HOTA, CLEAR MOT and identity metrics of results against ground truth, by TrackEval.

TrackEval's metric classes run in memory on the data its MOTChallenge dataset class would build from
the same files, in its MOT15 mode: every ground-truth row whose "considered" flag is non-zero counts,
whatever its class (the MOT17 preprocessing would keep pedestrians only).
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import pathlib
import time
from typing import Any

import numpy as np

from kelmora_tools import motio, parallel
from kelmora_tools.dataset import Sequence, find_sequences
from kelmora_tools.errors import UserError
from kelmora_tools.motio import Rows

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
TABLE = ("HOTA", "DetA", "AssA", "MOTA", "IDF1", "IDSW", "MOTP")


@dataclasses.dataclass(frozen=True)
class EvalTask:
    name: str
    gt_text: str
    gt_source: str
    res_text: str
    res_source: str
    length: int | None  # seqLength of seqinfo.ini, else the last frame of either file


@dataclasses.dataclass(frozen=True)
class SequenceScores:
    """TrackEval's per-sequence results ({metric: {field: value}}) and the seconds they took."""

    name: str
    raw: dict[str, dict[str, Any]]
    seconds: float


def _metrics():
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
        "pedestrian": 1, "person_on_vehicle": 2, "car": 3, "bicycle": 4, "motorbike": 5, "non_mot_vehicle": 6,
        "static_person": 7, "distractor": 8, "occluder": 9, "occluder_on_ground": 10, "occluder_full": 11,
        "reflection": 12, "crowd": 13}
    return dataset


def check_rows(rows: Rows, n_frames: int, what: str) -> None:
    """Frames within the sequence, ids >= 0 and no id twice in one frame, as TrackEval requires."""
    if len(rows) == 0:
        return
    beyond = np.flatnonzero(rows.frames > n_frames)
    if len(beyond):
        raise UserError(f"{rows.where(int(beyond[0]))}: frame {int(rows.frames[beyond[0]])} is beyond the sequence "
                        f"length {n_frames} (seqLength of seqinfo.ini)")
    negative = np.flatnonzero(rows.ids < 0)
    if len(negative):
        raise UserError(f"{rows.where(int(negative[0]))}: {what} ids must be >= 0, got {int(rows.ids[negative[0]])}")
    # Rows are sorted by frame (stably), so a repeat of (frame, id) follows its first occurrence
    # once the rows are ordered by frame and id.
    order = np.lexsort((rows.ids, rows.frames))
    same = (np.diff(rows.frames[order]) == 0) & (np.diff(rows.ids[order]) == 0)
    if same.any():
        k = int(np.flatnonzero(same)[0])
        first, second = sorted((int(order[k]), int(order[k + 1])), key=lambda r: int(rows.lines[r]))
        raise UserError(f"{rows.where(second)}: id {int(rows.ids[second])} appears twice in frame "
                        f"{int(rows.frames[second])} (also line {int(rows.lines[first])})")


def sequence_data(gt: Rows, res: Rows, n_frames: int, name: str) -> dict[str, Any]:
    """The data TrackEval's metrics take for one sequence, as its MOTChallenge dataset class would build
    it from the two files in its MOT15 mode."""
    dataset = _mot15_dataset()
    gb, rb = gt.frame_bounds(n_frames), res.frame_bounds(n_frames)
    raw: dict[str, Any] = {key: [] for key in ("gt_ids", "gt_classes", "gt_dets", "gt_extras", "tracker_ids",
                                               "tracker_classes", "tracker_dets", "tracker_confidences",
                                               "similarity_scores", "gt_crowd_ignore_regions")}
    for t in range(n_frames):
        g, r = slice(gb[t], gb[t + 1]), slice(rb[t], rb[t + 1])
        raw["gt_ids"].append(gt.ids[g].astype(int))
        raw["gt_classes"].append(gt.class_ids[g].astype(int))
        # TrackEval keeps its boxes as (left, top, width, height) and turns them into corners with the same
        # left + width sums that the reader did, so the corner boxes give the same overlaps to the bit.
        raw["gt_dets"].append(gt.xyxy[g])
        raw["gt_extras"].append({"zero_marked": gt.conf[g].astype(int)})
        raw["gt_crowd_ignore_regions"].append(np.empty((0, 4)))
        raw["tracker_ids"].append(res.ids[r].astype(int))
        # Results carry no class; TrackEval reads a missing class as pedestrian (1).
        raw["tracker_classes"].append(np.ones(r.stop - r.start, dtype=int))
        raw["tracker_dets"].append(res.xyxy[r])
        raw["tracker_confidences"].append(res.conf[r])
        raw["similarity_scores"].append(dataset._calculate_box_ious(gt.xyxy[g], res.xyxy[r], box_format="x0y0x1y1"))
    raw["num_timesteps"] = n_frames
    raw["seq"] = name
    return dataset.get_preprocessed_seq_data(raw, "pedestrian")


def score_rows(gt: Rows, res: Rows, n_frames: int, name: str) -> dict[str, dict[str, Any]]:
    """TrackEval's HOTA, CLEAR and Identity results of one sequence."""
    check_rows(gt, n_frames, "ground-truth")
    check_rows(res, n_frames, "track")
    data = sequence_data(gt, res, n_frames, name)
    return {metric_name: metric.eval_sequence(data) for metric_name, metric in _metrics().items()}


def eval_task(task: EvalTask) -> SequenceScores:
    """Scores one sequence; runs in a worker process. The seconds it reports leave out importing TrackEval."""
    import trackeval.metrics  # noqa: F401

    start = time.perf_counter()
    gt = motio.parse_mot(task.gt_text, task.gt_source)
    res = motio.parse_mot(task.res_text, task.res_source)
    n_frames = task.length or int(max(gt.frames.max(initial=0), res.frames.max(initial=0)))
    raw = score_rows(gt, res, n_frames, task.name)
    return SequenceScores(task.name, raw, time.perf_counter() - start)


def combine(per_sequence: dict[str, dict[str, dict[str, Any]]]) -> dict[str, dict[str, Any]]:
    """TrackEval's combination of per-sequence results over all sequences."""
    return {metric_name: metric.combine_sequences({seq: res[metric_name] for seq, res in per_sequence.items()})
            for metric_name, metric in _metrics().items()}


def summary(raw: dict[str, dict[str, Any]]) -> dict[str, float | int]:
    """The figures of SUMMARY from TrackEval results: fractions (HOTA 0.676, not 67.6) and counts."""
    out: dict[str, float | int] = {}
    for name, (metric, field, kind) in SUMMARY.items():
        value = raw[metric][field]
        out[name] = float(np.mean(value)) if kind == "mean" else int(value) if kind == "count" else float(value)
    return out


def make_task(seq: Sequence, results: pathlib.Path) -> EvalTask:
    assert seq.gt_path is not None
    res_path = results if results.is_file() else results / f"{seq.name}.txt"
    if not res_path.is_file():
        raise UserError(f"{results}: no results for sequence {seq.name} ({res_path.name} is missing)")
    return EvalTask(seq.name, motio.read_text(seq.gt_path), str(seq.gt_path), motio.read_text(res_path),
                    str(res_path), seq.length)


def add_parser(subparsers) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "eval", help="score results against ground truth: HOTA, MOTA, IDF1 (TrackEval)",
        description="Scores DIR/<sequence>.txt against the ground truth of every sequence of DATA with TrackEval: "
                    "HOTA, DetA, AssA, MOTA, IDF1, IDSW and MOTP per sequence and combined. Every ground-truth "
                    "row whose 7th value is not 0 counts, whatever its class.",
        epilog="example: kelmora eval --gt data/synthetic --results results --json scores.json")
    parser.add_argument("--gt", type=pathlib.Path, required=True, metavar="DATA",
                        help="a sequence folder (gt/gt.txt, seqinfo.ini), a gt.txt, or a dataset root")
    parser.add_argument("--results", type=pathlib.Path, required=True, metavar="DIR",
                        help="the folder of results files, one <sequence>.txt per sequence")
    parser.add_argument("--json", type=pathlib.Path, metavar="FILE",
                        help='write {"sequences": {name: {...}}, "combined": {...}} to FILE')
    parallel.add_arguments(parser)
    parser.set_defaults(func=run)
    return parser


def format_table(rows: dict[str, dict[str, float | int]], columns: tuple[str, ...] = TABLE) -> str:
    width = max(len("sequence"), *(len(name) for name in rows))
    lines = ["  " + "sequence".ljust(width) + "".join(f"{c:>8}" for c in columns)]
    for name, values in rows.items():
        cells = "".join(f"{values[c]:>8d}" if isinstance(values[c], int) else f"{values[c]:>8.3f}" for c in columns)
        lines.append("  " + name.ljust(width) + cells)
    return "\n".join(lines)


def run(args: argparse.Namespace) -> int:
    sequences = find_sequences(args.gt, need="gt")
    if not args.results.exists():
        raise UserError(f"--results {args.results}: no such folder")
    if args.results.is_file() and len(sequences) > 1:
        raise UserError(f"--results {args.results}: a file, but --gt holds {len(sequences)} sequences; give the folder")
    runner = parallel.Runner.from_args(args)
    tasks = [make_task(seq, args.results) for seq in sequences]
    with runner:
        start = time.perf_counter()
        per_sequence = {}
        seconds = 0.0
        for scores in runner.map(eval_task, tasks, desc="evaluating", preload=["trackeval.metrics"]):
            per_sequence[scores.name] = scores.raw
            seconds += scores.seconds
        combined = combine(per_sequence)
        wall = time.perf_counter() - start
        where = runner.describe(len(tasks))
    report = {"sequences": {name: summary(raw) for name, raw in per_sequence.items()}, "combined": summary(combined)}
    import trackeval

    print(f"kelmora eval: {len(tasks)} sequence{'s' * (len(tasks) != 1)}, TrackEval {trackeval.__version__} "
          f"(every class counts)")
    print(format_table({**report["sequences"], "COMBINED": report["combined"]}))
    print(f"  evaluation: {wall:.2f} s wall, {seconds:.2f} s in the metrics on {where}")
    if args.json is not None:
        motio.write_text(args.json, json.dumps(_finite(report), indent=2) + "\n")
        print(f"  scores -> {args.json}")
    return 0


def _finite(value: Any) -> Any:
    """JSON has no NaN: a figure TrackEval cannot compute (no ground truth at all) becomes null."""
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value

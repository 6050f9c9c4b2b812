"""Evaluation of MOTChallenge results: HOTA, CLEAR, Identity and Count, TrackEval's figures.

`evaluate(gt, results)` scores a dataset and returns an `Evaluation`: every field of every metric per
sequence and combined. The benchmark (MOT15, MOT16, MOT17 or MOT20, see `benchmark`) decides which
rows count; the evaluator computes the figures: "builtin" (`metrics`, over arrays, natively) or
"trackeval" (TrackEval's own dataset preprocessing and metric classes, run in memory on the data its
MOTChallenge dataset class would build from the same files). Both give the same figures.
"""

from __future__ import annotations

import dataclasses
import math
import pathlib
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any

import numpy as np

from kelmora_tools import _native, metrics, mot_files, progress
from kelmora_tools import benchmark as benchmarks
from kelmora_tools.benchmark import Benchmark
from kelmora_tools.dataset import Sequence, find_sequences
from kelmora_tools.errors import UserError
from kelmora_tools.mot_files import Rows

# The figures of the JSON of `kelmora eval` that keep the names they have always had: name ->
# (TrackEval metric, field). Every further field of every metric follows under TrackEval's own name.
SUMMARY = {
    "HOTA": ("HOTA", "HOTA"),
    "DetA": ("HOTA", "DetA"),
    "AssA": ("HOTA", "AssA"),
    "LocA": ("HOTA", "LocA"),
    "MOTA": ("CLEAR", "MOTA"),
    "MOTP": ("CLEAR", "MOTP"),
    "IDF1": ("Identity", "IDF1"),
    "IDP": ("Identity", "IDP"),
    "IDR": ("Identity", "IDR"),
    "IDSW": ("CLEAR", "IDSW"),
    "FP": ("CLEAR", "CLR_FP"),
    "FN": ("CLEAR", "CLR_FN"),
    "Frag": ("CLEAR", "Frag"),
    "MT": ("CLEAR", "MT"),
    "ML": ("CLEAR", "ML"),
}

# Every figure: its JSON name -> (metric, field), SUMMARY's first.
FIGURES: dict[str, tuple[str, str]] = {
    **SUMMARY,
    **{
        field.name: (metric, field.name)
        for metric, table in metrics.FIELDS.items()
        for field in table
        if field.name not in SUMMARY
    },
}
_KIND = {(f.metric, f.name): f.kind for table in metrics.FIELDS.values() for f in table}

METRICS = ("HOTA", "DetA", "AssA", "MOTA", "IDF1")  # what `kelmora tune` can maximise


def figure(raw: dict[str, dict[str, Any]], name: str) -> float | int:
    """One figure of TrackEval's results as a plain number: a field over the alphas as its mean, a
    whole-number field as an int, fractions as they are (HOTA 0.676, not 67.6)."""
    metric, field = FIGURES[name]
    value = raw[metric][field]
    kind = _KIND[metric, field]
    if kind.endswith("array"):
        return float(np.mean(value))
    return int(value) if kind == "integer" else float(value)


class Scores(Mapping[str, float | int]):
    """The figures of one sequence, or of all sequences combined.

    As a mapping, it gives every figure by its JSON name (see FIGURES): "HOTA" is the mean over the
    localisation thresholds, "FP" and "CLR_FP" the same count. `raw` holds TrackEval's results,
    {metric: {field: value}}, with each per-alpha field as an array over `metrics.ALPHAS`.
    """

    def __init__(self, raw: dict[str, dict[str, Any]]) -> None:
        self.raw = raw

    def __getitem__(self, name: str) -> float | int:
        if name not in FIGURES:
            raise KeyError(name)
        return figure(self.raw, name)

    def __iter__(self) -> Iterator[str]:
        return iter(FIGURES)

    def __len__(self) -> int:
        return len(FIGURES)

    def __repr__(self) -> str:
        return f"Scores(HOTA={self['HOTA']:.4f}, MOTA={self['MOTA']:.4f}, IDF1={self['IDF1']:.4f})"

    def per_alpha(self, field: str) -> np.ndarray:
        """A HOTA field at each localisation threshold of metrics.ALPHAS."""
        return np.asarray(self.raw["HOTA"][field], dtype=float)

    def to_json(self) -> dict[str, float | int | None]:
        """Every figure by name; a figure that cannot be computed (NaN) is None, JSON's null."""
        return {name: _finite(value) for name, value in self.items()}


@dataclasses.dataclass(frozen=True)
class Evaluation:
    """What `evaluate` returns: the benchmark and evaluator used, the scores per sequence (sorted by
    name) and combined as TrackEval combines them, and where and how long it ran."""

    benchmark: Benchmark
    evaluator: str
    sequences: dict[str, Scores]
    combined: Scores
    wall_seconds: float = 0.0
    metric_seconds: float = 0.0  # in the metrics, summed over the sequences
    ran_on: str = "this process"

    def to_json(self) -> dict[str, Any]:
        """{"sequences": {name: {figure: value}}, "combined": {figure: value}}, as `kelmora eval
        --json` writes it."""
        return {
            "sequences": {name: scores.to_json() for name, scores in self.sequences.items()},
            "combined": self.combined.to_json(),
        }


def _finite(value: float | int) -> float | int | None:
    return None if isinstance(value, float) and not math.isfinite(value) else value


# --- checks ------------------------------------------------------------------------------------------


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
    # The first (frame, id) held twice, by frame and then id, in the first two rows that hold it.
    first, second = _native.repeated_id(rows.frames, rows.ids)
    if first < 0:
        return
    first, second = sorted((first, second), key=lambda r: int(rows.lines[r]))
    raise UserError(
        f"{rows.where(second)}: id {int(rows.ids[second])} appears twice in frame "
        f"{int(rows.frames[second])} (also line {int(rows.lines[first])})"
    )


def check_ground_truth(gt: Rows, n_frames: int, benchmark: Benchmark) -> None:
    """Every check of ground truth: its rows (check_rows) and its classes for the benchmark."""
    check_rows(gt, n_frames, "ground-truth")
    benchmarks.check_ground_truth(benchmark, gt)


def check_results(res: Rows, n_frames: int) -> None:
    """Every check of a results file: its rows (check_rows) and its classes."""
    check_rows(res, n_frames, "track")
    benchmarks.check_results(res)


# --- the evaluators ----------------------------------------------------------------------------------

# TrackEval's results of one sequence: {metric: {field: value}}.
Raw = dict[str, dict[str, Any]]


@dataclasses.dataclass(frozen=True)
class Evaluator:
    """How the figures are computed: the evaluator's name, the modules a worker process imports
    before its first task, and its two steps, scoring one sequence and combining the sequences."""

    name: str
    preload: tuple[str, ...]
    # (checked ground truth, checked results, frames, sequence name, benchmark, progress) -> Raw
    score: Callable[[Rows, Rows, int, str, Benchmark, Callable[[int, int], None] | None], Raw]
    combine: Callable[[dict[str, Raw]], Raw]
    describe: Callable[[], str]  # for the first line of a command's output


def _builtin_score(
    gt: Rows, res: Rows, n_frames: int, name: str, benchmark: Benchmark, report: Callable[[int, int], None] | None
) -> Raw:
    gt_keep, res_keep = benchmarks.scored(benchmark, gt, res)
    return metrics.eval_sequence(gt, res, n_frames, report, gt_keep, res_keep)


def _trackeval_metrics() -> dict[str, Any]:
    from trackeval.metrics import CLEAR, HOTA, Count, Identity

    return {
        "HOTA": HOTA(),
        "CLEAR": CLEAR({"PRINT_CONFIG": False}),
        "Identity": Identity({"PRINT_CONFIG": False}),
        "Count": Count(),
    }


def _trackeval_dataset(benchmark: Benchmark) -> Any:
    """TrackEval's MOTChallenge dataset class set to `benchmark`, without reading any folder: only its
    preprocessing is used, which depends on nothing but these attributes."""
    from trackeval.datasets import MotChallenge2DBox

    dataset = MotChallenge2DBox.__new__(MotChallenge2DBox)
    dataset.benchmark = benchmark.name
    dataset.do_preproc = True  # as its default configuration; never done for MOT15
    # The class table the class's constructor sets.
    dataset.class_name_to_class_id = dict(benchmarks.CLASS_IDS)
    dataset.valid_class_numbers = list(benchmarks.CLASS_IDS.values())
    return dataset


def trackeval_data(gt: Rows, res: Rows, n_frames: int, name: str, benchmark: Benchmark) -> dict[str, Any]:
    """The data TrackEval's metrics take for one sequence, as its MOTChallenge dataset class builds it
    from the two files in `benchmark`, preprocessing included.

    Ids are relabelled (in order) first, so that nothing TrackEval sizes by the largest id grows with
    it, and frames without rows are left out: TrackEval counts nothing in them, and the number of time
    steps is set afterwards.
    """
    dataset = _trackeval_dataset(benchmark)
    gt_ids, _ = metrics.relabel(gt.ids)
    res_ids, _ = metrics.relabel(res.ids)
    # In MOT15 the ground truth's eighth value is no class (TrackEval ignores it there).
    gt_classes = gt.class_ids if benchmark.preprocessed else np.ones(len(gt), dtype=np.int64)
    gt_slices = {f: (a, b) for f, a, b in gt.frame_slices()}
    res_slices = {f: (a, b) for f, a, b in res.frame_slices()}
    keys = (
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
    raw: dict[str, Any] = {key: [] for key in keys}
    for f in sorted(gt_slices.keys() | res_slices.keys()):
        g, r = slice(*gt_slices.get(f, (0, 0))), slice(*res_slices.get(f, (0, 0)))
        raw["gt_ids"].append(gt_ids[g].astype(int))
        raw["gt_classes"].append(gt_classes[g].astype(int))
        # TrackEval keeps its boxes as (left, top, width, height) and turns them into corners with the same
        # left + width sums that the reader did, so the corner boxes give the same overlaps to the bit.
        raw["gt_dets"].append(gt.xyxy[g])
        raw["gt_extras"].append({"zero_marked": gt.conf[g].astype(int)})
        raw["gt_crowd_ignore_regions"].append(np.empty((0, 4)))
        raw["tracker_ids"].append(res_ids[r].astype(int))
        raw["tracker_classes"].append(res.class_ids[r].astype(int))
        raw["tracker_dets"].append(res.xyxy[r])
        raw["tracker_confidences"].append(res.conf[r])
        raw["similarity_scores"].append(dataset._calculate_box_ious(gt.xyxy[g], res.xyxy[r], box_format="x0y0x1y1"))
    raw["num_timesteps"] = len(raw["gt_ids"])
    raw["seq"] = name
    data = dataset.get_preprocessed_seq_data(raw, "pedestrian")
    data["num_timesteps"] = n_frames
    return data


def _trackeval_score(
    gt: Rows, res: Rows, n_frames: int, name: str, benchmark: Benchmark, report: Callable[[int, int], None] | None
) -> Raw:
    data = trackeval_data(gt, res, n_frames, name, benchmark)
    return {metric_name: metric.eval_sequence(data) for metric_name, metric in _trackeval_metrics().items()}


def _trackeval_combine(per_sequence: dict[str, Raw]) -> Raw:
    return {
        metric_name: metric.combine_sequences({seq: res[metric_name] for seq, res in per_sequence.items()})
        for metric_name, metric in _trackeval_metrics().items()
    }


def _trackeval_version() -> str:
    import trackeval

    return f"TrackEval {trackeval.__version__}"


EVALUATORS = {
    "builtin": Evaluator(
        "builtin",
        ("kelmora_tools.evaluation",),
        _builtin_score,
        metrics.combine_sequences,
        lambda: "built-in evaluator, TrackEval's figures",
    ),
    "trackeval": Evaluator(
        "trackeval",
        ("kelmora_tools.evaluation", "trackeval.metrics", "trackeval.datasets"),
        _trackeval_score,
        _trackeval_combine,
        _trackeval_version,
    ),
}


def get_evaluator(name: str) -> Evaluator:
    """The evaluator of that name ("builtin" or "trackeval")."""
    try:
        return EVALUATORS[name]
    except KeyError:
        raise UserError(f"evaluator {name!r}: expected one of {', '.join(EVALUATORS)}") from None


def score_rows(
    gt: Rows,
    res: Rows,
    n_frames: int,
    name: str,
    evaluator_name: str = "builtin",
    benchmark: Benchmark = benchmarks.BENCHMARKS["MOT15"],
    report: Callable[[int, int], None] | None = None,
    checked: bool = False,
) -> Raw:
    """TrackEval's results of one sequence by the named evaluator in `benchmark`. The rows are
    checked first (check_ground_truth, check_results) unless they are `checked` already or come
    from the tracker."""
    if not checked:
        check_ground_truth(gt, n_frames, benchmark)
        check_results(res, n_frames)
    return get_evaluator(evaluator_name).score(gt, res, n_frames, name, benchmark, report)


# --- a dataset -------------------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class EvalTask:
    """Everything a worker needs to score one sequence; no file access on the worker. A task scored in
    this process may leave a file's text None: it is read from its source, the file's path, when the
    task runs, so that one sequence's files at a time are held."""

    name: str
    gt_text: bytes | str | None
    gt_source: str
    res_text: bytes | str | None
    res_source: str
    length: int | None  # seqLength of seqinfo.ini, else the last frame of either file
    benchmark: str = "MOT15"
    evaluator: str = "builtin"
    size: int = 0  # bytes of the two files, when their texts are left to be read


@dataclasses.dataclass(frozen=True)
class SequenceResult:
    """One sequence's results in TrackEval's form and the seconds they took."""

    name: str
    raw: Raw
    seconds: float


def eval_task(task: EvalTask) -> SequenceResult:
    """Scores one sequence; runs in a worker process or in this one. The seconds it reports leave out
    importing the evaluator's modules."""
    chosen = get_evaluator(task.evaluator)
    for module in chosen.preload:
        __import__(module)
    start = time.perf_counter()
    gt_text = task.gt_text if task.gt_text is not None else mot_files.read_bytes(task.gt_source)
    res_text = task.res_text if task.res_text is not None else mot_files.read_bytes(task.res_source)
    gt = mot_files.parse_mot(gt_text, task.gt_source, "gt")
    res = mot_files.parse_mot(res_text, task.res_source, "results")
    del gt_text, res_text
    n_frames = task.length or int(max(gt.frames.max(initial=0), res.frames.max(initial=0)))
    raw = score_rows(
        gt,
        res,
        n_frames,
        task.name,
        task.evaluator,
        benchmarks.BENCHMARKS[task.benchmark],
        progress.share(task_size(task)),
    )
    return SequenceResult(task.name, raw, time.perf_counter() - start)


def task_size(task: EvalTask) -> int:
    """The bytes of a task's two files: the units of the progress bar, and what its work grows with."""
    if task.gt_text is None or task.res_text is None:
        return task.size
    return len(task.gt_text) + len(task.res_text)


def make_task(
    seq: Sequence, results: pathlib.Path, benchmark: Benchmark, evaluator_name: str, read: bool = True
) -> EvalTask:
    """The task of scoring `seq` against its results in `results`. With `read`, its two files are read
    here, so that workers need no access to them; else they are read when it runs (in this process)."""
    assert seq.gt_path is not None
    res_path = results if results.is_file() else results / f"{seq.name}.txt"
    if not res_path.exists():
        raise UserError(f"{results}: no results for sequence {seq.name} ({res_path.name} is missing)")
    if read:
        gt_text, res_text, size = mot_files.read_bytes(seq.gt_path), mot_files.read_bytes(res_path), 0
    else:
        gt_text, res_text, size = None, None, mot_files.file_size(seq.gt_path) + mot_files.file_size(res_path)
    return EvalTask(
        seq.name, gt_text, str(seq.gt_path), res_text, str(res_path), seq.length, benchmark.name, evaluator_name, size
    )


def evaluate(
    gt: str | pathlib.Path,
    results: str | pathlib.Path,
    *,
    benchmark: str | None = None,
    evaluator: str = "builtin",
    workers: int | None = None,
    dask: str | None = None,
    dask_timeout: float | None = None,
    _labels: tuple[str, str] | None = None,
    _outputs: Iterable[tuple[str, pathlib.Path]] = (),
) -> Evaluation:
    """Scores the results of every sequence of a dataset against its ground truth, as TrackEval does.

    `gt` is a sequence folder (gt/gt.txt, seqinfo.ini), a gt.txt, or a dataset root of sequence
    folders; `results` the folder of results files, one <sequence>.txt each (or, for one sequence,
    the file itself). `benchmark` is "MOT15", "MOT16", "MOT17" or "MOT20"; by default MOT16, MOT17 or
    MOT20 when every sequence's name starts with that benchmark's "MOTnn-", else MOT15, where every
    class counts. `evaluator` is "builtin" or "trackeval" (TrackEval's own classes: the same figures,
    slower). `workers` local processes, or the Dask scheduler at `dask`, score the sequences; by
    default a small job runs in this process.

    Raises kelmora_tools.errors.UserError, naming the file and line, for input that cannot be scored.
    """
    from kelmora_tools import dask_cluster, outputs, parallel

    chosen = get_evaluator(evaluator)
    gt, results = pathlib.Path(gt), pathlib.Path(results)
    sequences = find_sequences(gt, need="gt")
    mode = benchmarks.choose(benchmark, [seq.name for seq in sequences])
    # The command names its options in these messages; a caller from Python, the arguments.
    results_label, gt_label = _labels if _labels is not None else (f"results {results}", str(gt))
    if not results.exists():
        raise UserError(f"{results_label}: no such folder")
    if results.is_file() and len(sequences) > 1:
        raise UserError(f"{results_label}: a file, but {gt_label} holds {len(sequences)} sequences; give the folder")
    # Where the job runs follows from the size of its files: read here only for other processes.
    planned = [make_task(seq, results, mode, chosen.name, read=False) for seq in sequences]
    # The command's output files may replace none of the files read here.
    read = [seq.info_path for seq in sequences]
    read += [pathlib.Path(p) for task in planned for p in (task.gt_source, task.res_source)]
    outputs.check_outputs(_outputs, read)
    runner = parallel.Runner(
        workers,
        dask,
        dask_cluster.DASK_TIMEOUT if dask_timeout is None else dask_timeout,
        job_bytes=sum(task_size(task) for task in planned),
    )
    here = runner.runs_here(len(planned))
    tasks = planned if here else [make_task(seq, results, mode, chosen.name) for seq in sequences]
    weights = [task_size(task) for task in tasks]
    with runner:
        start = time.perf_counter()
        per_sequence: dict[str, Raw] = {}
        seconds = 0.0
        for result in runner.map(eval_task, tasks, desc="evaluating", preload=chosen.preload, weights=weights):
            per_sequence[result.name] = result.raw
            seconds += result.seconds
        combined = chosen.combine(per_sequence)
        wall = time.perf_counter() - start
        where = runner.describe(len(tasks))
    return Evaluation(
        mode,
        chosen.name,
        {name: Scores(raw) for name, raw in per_sequence.items()},
        Scores(combined),
        wall,
        seconds,
        where,
    )

"""MOTChallenge benchmarks and the preprocessing TrackEval's MOTChallenge dataset applies for each.

MOT15 scores every ground-truth row whose "considered" flag (7th value, read as a whole number) is
not 0, whatever its class. MOT16, MOT17 and MOT20 ground truth names each row's class (8th value),
and TrackEval preprocesses each frame before scoring it:

1. every ground-truth row (whatever its class or flag) and every result are matched by SciPy's
   assignment solver on their IoU, zeroed below 0.5 - eps; a result matched (above eps) to a row of
   a distractor class is removed: person on vehicle, static person, distractor, reflection, and in
   MOT20 also non-MOT vehicle;
2. of the ground truth, only pedestrians (class 1) whose flag is not 0 are kept.

In every benchmark a results row of a class above 1 is refused, as TrackEval refuses it; from MOT16
on, so is a ground-truth row whose class is none of TrackEval's 13.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable

import numpy as np

from kelmora_tools.errors import UserError
from kelmora_tools.mot_files import NO_CLASS, Rows

# TrackEval's MOTChallenge classes.
CLASS_IDS = {
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
PEDESTRIAN = CLASS_IDS["pedestrian"]
_DISTRACTORS = ("person_on_vehicle", "static_person", "distractor", "reflection")


@dataclasses.dataclass(frozen=True)
class Benchmark:
    """A MOTChallenge benchmark as TrackEval evaluates it."""

    name: str
    distractors: frozenset[int]  # the classes whose matched results are removed; none in MOT15

    @property
    def preprocessed(self) -> bool:
        """Whether TrackEval preprocesses its ground truth and results (all but MOT15)."""
        return bool(self.distractors)

    @property
    def mode(self) -> str:
        """The mode in words, for the first line of a command's output."""
        if not self.preprocessed:
            return "every class counts"
        return "pedestrians only, results on distractors removed"

    def describe(self) -> str:
        return f"benchmark {self.name} ({self.mode})"


BENCHMARKS = {
    "MOT15": Benchmark("MOT15", frozenset()),
    "MOT16": Benchmark("MOT16", frozenset(CLASS_IDS[c] for c in _DISTRACTORS)),
    "MOT17": Benchmark("MOT17", frozenset(CLASS_IDS[c] for c in _DISTRACTORS)),
    "MOT20": Benchmark("MOT20", frozenset(CLASS_IDS[c] for c in (*_DISTRACTORS, "non_mot_vehicle"))),
}

# The benchmarks recognised by the names of their sequences (MOT17-02-FRCNN, ...).
_PREFIXED = ("MOT16", "MOT17", "MOT20")


def detect(sequence_names: Iterable[str]) -> Benchmark:
    """MOT16, MOT17 or MOT20 when every sequence's name starts with that benchmark's "MOTnn-"
    prefix, else MOT15 (every class counts)."""
    names = list(sequence_names)
    for name in _PREFIXED:
        if names and all(n.startswith(name + "-") for n in names):
            return BENCHMARKS[name]
    return BENCHMARKS["MOT15"]


def choose(option: str | None, sequence_names: Iterable[str]) -> Benchmark:
    """The benchmark named by --benchmark, or the one the sequence names say (see detect)."""
    if option is None:
        return detect(sequence_names)
    if option not in BENCHMARKS:
        raise UserError(f"benchmark {option!r}: expected one of {', '.join(BENCHMARKS)}")
    return BENCHMARKS[option]


def check_ground_truth(benchmark: Benchmark, gt: Rows) -> None:
    """UserError naming the row when the ground truth cannot be scored in `benchmark`: from MOT16
    on, every row needs a class, one of TrackEval's 13."""
    if not benchmark.preprocessed or len(gt) == 0:
        return
    bad = np.flatnonzero((gt.class_ids < 1) | (gt.class_ids > len(CLASS_IDS)))
    if not len(bad):
        return
    row = int(bad[0])
    if gt.class_ids[row] == NO_CLASS:
        raise UserError(
            f"{gt.where(row)}: ground truth without a class (8th value), which {benchmark.name} needs; "
            "give --benchmark MOT15 to score every row whatever its class"
        )
    raise UserError(
        f"{gt.where(row)}: class {int(gt.class_ids[row])} is not a MOTChallenge class (1 to {len(CLASS_IDS)}), "
        f"which {benchmark.name} needs"
    )


def check_results(res: Rows) -> None:
    """UserError naming the row of a result of a class above 1: TrackEval evaluates pedestrians only
    and refuses such results in every benchmark."""
    bad = np.flatnonzero(res.class_ids > PEDESTRIAN)
    if len(bad):
        row = int(bad[0])
        raise UserError(
            f"{res.where(row)}: class {int(res.class_ids[row])} (8th value); results must be pedestrians "
            "(class 1, or -1 for none), as the evaluation scores pedestrians only"
        )


def scored(benchmark: Benchmark, gt: Rows, res: Rows) -> tuple[np.ndarray, np.ndarray | None]:
    """Which rows TrackEval's metrics score in `benchmark`, of checked rows sorted by frame: the
    considered ground truth (of class pedestrian from MOT16 on), and the results but those matched to
    a distractor (None: all of them)."""
    considered = np.trunc(gt.conf) != 0
    if not benchmark.preprocessed:
        return considered, None
    from kelmora_tools import _native

    kept_results = None
    if len(gt) and len(res):
        distractor = np.isin(gt.class_ids, list(benchmark.distractors))
        removed = _native.distractor_matches(gt.frames, gt.xyxy, distractor, res.frames, res.xyxy)
        kept_results = ~removed if removed.any() else None
    return considered & (gt.class_ids == PEDESTRIAN), kept_results


def preprocess(benchmark: Benchmark, gt: Rows, res: Rows) -> tuple[Rows, Rows]:
    """The ground truth and results that TrackEval's metrics score in `benchmark` (see scored)."""
    gt_keep, res_keep = scored(benchmark, gt, res)
    return gt.select(gt_keep), res if res_keep is None else res.select(res_keep)

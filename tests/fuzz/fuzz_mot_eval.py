"""Fuzz target: the built-in evaluator (kelmora_tools._native.evaluate_sequence through
evaluation.score_rows) against TrackEval's own preprocessing and metric classes (score_rows with the
"trackeval" evaluator), in MOT15, MOT17 and MOT20.

On small sequences (up to 8 frames of up to 7 boxes a side) every count must be equal and every
fraction within 1e-12 (command_support.assert_same_results), or both must refuse the rows with the
same UserError. Boxes come from a small grid of places and sizes, so that equal boxes, ties and
overlaps right at a threshold are common, or anywhere in a small window; ids come from small
pools, so that they reappear after gaps; some ground truth is not considered (flag 0), and some is
of a distractor class.
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np
from command_support import assert_same_results

from kelmora_tools import evaluation, mot_files
from kelmora_tools.benchmark import BENCHMARKS
from kelmora_tools.errors import UserError


def score(gt, res, n_frames, evaluator, benchmark):
    """The evaluator's results of one sequence, by the built-in evaluator or by TrackEval's classes:
    the one call of its API here."""
    return evaluation.score_rows(gt, res, n_frames, "fuzz", evaluator, BENCHMARKS[benchmark])


PLACES = ((0.0, 0.0), (4.0, 0.0), (0.0, 6.0), (30.0, 30.0), (3.0, 2.5), (10.0, 0.0))
SIZES = ((10.0, 20.0), (12.0, 20.0), (10.0, 24.5), (0.0, 5.0), (20.0, 20.0), (1e-9, 1.0), (1e-8, 1e-8))
FLAGS = (1.0, 1.0, 1.0, 0.0, 0.5, -1.0, 2.0)
# Pedestrians mostly; distractor classes of MOT17 (2, 7, 8, 12) and MOT20 (also 6), and a car.
CLASSES = (1.0, 1.0, 1.0, 2.0, 7.0, 8.0, 12.0, 6.0, 3.0)


@atheris.instrument_func
def side(fdp, n_frames, pool, is_gt):
    table = []
    for frame in range(1, n_frames + 1):
        ids = sorted({fdp.ConsumeIntInRange(0, pool) for _ in range(fdp.ConsumeIntInRange(0, 7))})
        for i in ids:
            if fdp.ConsumeIntInRange(0, 3):
                (x, y) = PLACES[fdp.ConsumeIntInRange(0, len(PLACES) - 1)]
                w, h = SIZES[fdp.ConsumeIntInRange(0, len(SIZES) - 1)]
            else:
                x, y = fdp.ConsumeFloatInRange(-5.0, 40.0), fdp.ConsumeFloatInRange(-5.0, 40.0)
                w, h = fdp.ConsumeFloatInRange(0.0, 30.0), fdp.ConsumeFloatInRange(0.0, 30.0)
            conf = FLAGS[fdp.ConsumeIntInRange(0, len(FLAGS) - 1)] if is_gt else fdp.ConsumeFloatInRange(0.0, 1.0)
            cls = CLASSES[fdp.ConsumeIntInRange(0, len(CLASSES) - 1)] if is_gt else -1.0
            table.append([frame, i * 1_000_003, x, y, w, h, conf, cls])
    if fdp.ConsumeIntInRange(0, 7) == 0:
        # Rows in another order than by frame: the reader sorts them stably by frame.
        table.reverse()
    return mot_files.rows_from_table(np.array(table).reshape(-1, 8), np.arange(len(table)) + 1, "fuzz")


def outcome(label, gt, res, n_frames, evaluator, benchmark):
    try:
        result = score(gt, res, n_frames, evaluator, benchmark)
    except UserError as e:
        fl.note(label, e)
        return e
    # The kind of result: which counts are 0, 1, 2 or more, so that libFuzzer keeps inputs that reach new ones.
    clear, identity = result["CLEAR"], result["Identity"]
    counts = [clear[f] for f in ("CLR_TP", "CLR_FN", "CLR_FP", "IDSW", "MT", "PT", "ML", "Frag")] + [identity["IDTP"]]
    fl.note(label, ",".join(str(min(int(c), 3)) for c in counts))
    return result


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    n_frames = fdp.ConsumeIntInRange(1, 8)
    gt = side(fdp, n_frames, fdp.ConsumeIntInRange(0, 9), True)
    res = side(fdp, n_frames, fdp.ConsumeIntInRange(0, 9), False)
    # Time steps after the last row count too (CLEAR's frame count and per-frame figures).
    n_steps = n_frames + fdp.ConsumeIntInRange(0, 2)
    benchmark = ("MOT15", "MOT17", "MOT20")[fdp.ConsumeIntInRange(0, 2)]
    ours = outcome("built-in", gt, res, n_steps, "builtin", benchmark)
    theirs = outcome("trackeval", gt, res, n_steps, "trackeval", benchmark)
    if isinstance(theirs, UserError) or isinstance(ours, UserError):
        fl.check(str(ours) == str(theirs), "score_rows: refused on one side only", ours, theirs)
        return
    assert_same_results(ours, theirs)


if __name__ == "__main__":
    fl.run(test_one_input)

"""The built-in evaluator against TrackEval's own metric classes: every field of HOTA, CLEAR and Identity,
per sequence and combined, on generated sequences full of ties, gaps and crowds."""

from __future__ import annotations

import json
import pathlib
import subprocess

import numpy as np
import pytest
from command_support import ROOT, assert_same_results, kelmora
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kelmora_cpp
from kelmora_tools import _native, evaluation, metrics, mot_files, progress
from kelmora_tools.benchmark import BENCHMARKS

# Boxes from a small grid of places and sizes, so that equal boxes (ties) and overlaps are common.
PLACES = [(0.0, 0.0), (4.0, 0.0), (0.0, 6.0), (30.0, 30.0), (3.0, 2.5)]
SIZES = [(10.0, 20.0), (12.0, 20.0), (10.0, 24.5), (0.0, 5.0)]


@st.composite
def sequences(draw, max_frames: int = 9, max_boxes: int = 6):
    """(gt rows, result rows, frames): rows of random frames, ids from small pools (so that ids reappear
    after gaps), some ground truth not considered (flag 0) or of a distractor class, empty frames and
    one-sided frames."""
    n_frames = draw(st.integers(1, max_frames))
    sides = []
    for pool in (8, 10):
        table = []
        for f in range(1, n_frames + 1):
            n = draw(st.integers(0, max_boxes))
            ids = draw(st.lists(st.integers(0, pool), min_size=n, max_size=n, unique=True))
            for i in ids:
                x, y = draw(st.sampled_from(PLACES))
                w, h = draw(st.sampled_from(SIZES))
                flag = draw(st.sampled_from([1.0, 1.0, 1.0, 0.0, 0.5]))
                cls = draw(st.sampled_from([1.0, 1.0, 1.0, 2.0, 6.0, 7.0, 8.0, 12.0, 3.0])) if pool == 8 else -1.0
                table.append([f, i * 1_000_003, x, y, w, h, flag, cls])
        sides.append(mot_files.rows_from_table(np.array(table).reshape(-1, 8), np.arange(len(table)) + 1, "gen"))
    return sides[0], sides[1], n_frames


@settings(
    max_examples=300, deadline=None, derandomize=True, database=None, suppress_health_check=[HealthCheck.too_slow]
)
@given(st.lists(sequences(), min_size=1, max_size=3), st.sampled_from(["MOT15", "MOT17", "MOT20"]))
def test_every_field_equals_trackeval(seqs, benchmark):
    # On a grid of few places and sizes, ties are everywhere: in the distractor matching of MOT17 and
    # MOT20 too, which TrackEval's own preprocessing decides on the TrackEval side.
    mode = BENCHMARKS[benchmark]
    ours, theirs = {}, {}
    for k, (gt, res, n_frames) in enumerate(seqs):
        ours[f"s{k}"] = evaluation.score_rows(gt, res, n_frames, f"s{k}", "builtin", mode)
        theirs[f"s{k}"] = evaluation.score_rows(gt, res, n_frames, f"s{k}", "trackeval", mode)
        assert_same_results(ours[f"s{k}"], theirs[f"s{k}"])
    assert_same_results(metrics.combine_sequences(ours), evaluation.EVALUATORS["trackeval"].combine(theirs))


@pytest.mark.parametrize("crowd", [12, 40])
def test_crowds_equal_trackeval(crowd):
    # Many boxes jittered around a few places: frames of large, dense assignment problems.
    rng = np.random.default_rng(crowd)
    tables = []
    for _ in range(2):
        rows = []
        for f in range(1, 31):
            ids = rng.choice(crowd + 10, size=crowd, replace=False)
            centres = rng.choice(5, size=crowd) * 15.0 + rng.normal(0, 2, size=crowd)
            for i, c in zip(ids, centres):
                rows.append([f, i, c, c / 2, 20 + rng.integers(0, 3), 40, 1, -1])
        tables.append(mot_files.rows_from_table(np.array(rows, dtype=float), np.arange(len(rows)) + 1, "crowd"))
    ours = evaluation.score_rows(tables[0], tables[1], 30, "c")
    assert_same_results(ours, evaluation.score_rows(tables[0], tables[1], 30, "c", "trackeval"))


def test_solver_breaks_ties_as_scipy():
    from scipy.optimize import linear_sum_assignment

    rng = np.random.default_rng(0)
    for k in range(3000):
        n, m = rng.integers(1, 8, size=2)
        cost = rng.integers(-2, 2, size=(n, m)).astype(float) if k % 2 else rng.random((n, m))
        want = linear_sum_assignment(cost)
        got = _native.linear_sum_assignment(cost)
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1]), cost


@pytest.mark.parametrize(
    "cost",
    [
        [[np.inf, 1.0], [np.nan, 2.0]],
        [[1.0, 2.0], [3.0, -np.inf]],
        [[np.inf], [np.inf], [1.0]],
        [[np.inf, 1.0, np.inf], [np.inf, 2.0, np.inf]],
        np.full((0, 3), np.nan),
        [np.nan, 1.0],
        np.zeros((2, 2, 2)),
        np.array([[1j]]),
    ],
)
def test_solver_refuses_what_scipy_refuses(cost):
    from scipy.optimize import linear_sum_assignment

    def outcome(solve):
        try:
            return [a.tolist() for a in solve(cost)]
        except (ValueError, TypeError) as e:
            return str(e) if isinstance(e, ValueError) else "TypeError"

    assert outcome(_native.linear_sum_assignment) == outcome(linear_sum_assignment)


def test_ids_are_relabelled_before_anything_sized_by_them():
    # One id of 2**31 - 1 would make TrackEval size its id maps at 16 GiB; relabelled, it costs nothing.
    gt = mot_files.parse_mot("1,2147483647,0,0,10,10,1\n2,2147483647,0,0,10,10,1\n", "g", "gt")
    res = mot_files.parse_mot("1,100000000,0,0,10,10,1\n2,7,0,0,10,10,1\n", "r", "results")
    for evaluator in evaluation.EVALUATORS:
        scores = evaluation.Scores(evaluation.score_rows(gt, res, 2, "s", evaluator))
        assert (scores["IDSW"], scores["FP"], scores["FN"], scores["MOTA"]) == (1, 0, 0, 0.5)
    assert metrics.relabel(np.array([7, 2147483647, 7]))[0].tolist() == [0, 1, 0]


@pytest.fixture(scope="module")
def tud():
    """TUD-Campus and TUD-Stadtmitte (MOT15): ground truth with world coordinates and a tracker's results."""
    found = subprocess.run(["bash", str(ROOT / "dev" / "fetch_tud.sh")], capture_output=True, text=True, check=True)
    return pathlib.Path(found.stdout.strip())


def test_real_mot15_sequences_equal_trackeval(tud, tmp_path, capsys):
    from test_evaluate import trackeval_on_files

    run = kelmora(capsys, "eval", "--gt", tud, "--results", tud / "results", "--json", tmp_path / "s.json")
    assert run.status == 0, run.err
    ours = json.loads((tmp_path / "s.json").read_text())
    cases = {
        name: ((tud / name / "gt" / "gt.txt").read_text(), (tud / "results" / f"{name}.txt").read_text(), n)
        for name, n in (("TUD-Campus", 71), ("TUD-Stadtmitte", 179))
    }
    reference = trackeval_on_files(tmp_path, cases)
    for name, scores in [*ours["sequences"].items(), ("COMBINED_SEQ", ours["combined"])]:
        want = evaluation.Scores(reference[name]).to_json()
        assert scores.keys() == want.keys()
        for field, value in want.items():
            assert scores[field] == pytest.approx(value, rel=0, abs=1e-12), (name, field)
            assert type(scores[field]) is type(value)


def test_iou_matrix_on_corner_boxes_is_trackevals_iou(tud):
    # TrackEval reads (left, top, width, height) and makes corners with left + width; iou_matrix on the
    # corners the reader makes in the same way gives its IoU to the bit.
    from trackeval.datasets._base_dataset import _BaseDataset

    frames = 0
    for gt_path, res_path in [
        (tud / n / "gt" / "gt.txt", tud / "results" / f"{n}.txt") for n in ("TUD-Campus", "TUD-Stadtmitte")
    ]:
        gt_table, _ = mot_files._parse_rows(gt_path.read_text(), "g", "gt")
        res_table, _ = mot_files._parse_rows(res_path.read_text(), "r", "results")
        gt, res = (
            mot_files.parse_mot(gt_path.read_bytes(), "g", "gt"),
            mot_files.parse_mot(res_path.read_bytes(), "r", "results"),
        )
        for f in np.intersect1d(gt.frames, res.frames):
            want = _BaseDataset._calculate_box_ious(
                gt_table[gt_table[:, 0] == f, 2:6], res_table[res_table[:, 0] == f, 2:6]
            )
            got = kelmora_cpp.iou_matrix(gt.xyxy[gt.frames == f], res.xyxy[res.frames == f])
            assert got.tobytes() == want.tobytes(), f
            frames += 1
    assert frames == 250


def test_cost_follows_the_rows_and_progress_moves_within_a_sequence():
    gt = "".join(f"{f},{i},{10 * i},0,8,8,1,1,1\n" for f in range(1, 600) for i in (1, 2))
    res = "".join(f"{f},{i},{10 * i + 1},0,8,8,1,-1,-1,-1\n" for f in range(1, 600) for i in (1, 2))
    moved = []
    with progress.routed_to(moved.append):
        short = evaluation.eval_task(evaluation.EvalTask("s", gt, "g", res, "r", 599))
    assert sum(moved) == len(gt) + len(res) and len(moved) >= 4
    # The longest sequence a seqinfo.ini may state, over the same rows: the same figures, at once
    # (but the frames, which FP_per_frame divides by).
    for evaluator in evaluation.EVALUATORS:
        task = evaluation.EvalTask("s", gt, "g", res, "r", mot_files.MAX_FRAME, evaluator=evaluator)
        long = evaluation.Scores(evaluation.eval_task(task).raw).to_json()
        want = evaluation.Scores(short.raw).to_json()
        assert {k: v for k, v in long.items() if k not in ("FP_per_frame", "CLR_Frames")} == {
            k: v for k, v in want.items() if k not in ("FP_per_frame", "CLR_Frames")
        }

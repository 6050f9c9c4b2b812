"""The built-in evaluator against TrackEval's own metric classes: every field of HOTA, CLEAR and Identity,
per sequence and combined, on generated sequences full of ties, gaps and crowds."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kelmora_tools import _native, evaluate, metrics, motio

# Boxes from a small grid of places and sizes, so that equal boxes (ties) and overlaps are common.
PLACES = [(0.0, 0.0), (4.0, 0.0), (0.0, 6.0), (30.0, 30.0), (3.0, 2.5)]
SIZES = [(10.0, 20.0), (12.0, 20.0), (10.0, 24.5), (0.0, 5.0)]


@st.composite
def sequences(draw, max_frames: int = 9, max_boxes: int = 6):
    """(gt rows, result rows, frames): rows of random frames, ids from small pools (so that ids reappear
    after gaps), some ground truth not considered (flag 0), empty frames and one-sided frames."""
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
                table.append([f, i * 1_000_003, x, y, w, h, flag, -1.0])
        sides.append(motio.rows_from_table(np.array(table).reshape(-1, 8), np.arange(len(table)) + 1, "gen"))
    return sides[0], sides[1], n_frames


def assert_same_results(ours: dict, theirs: dict) -> None:
    """Every field TrackEval reports: counts exactly, fractions to 1e-12 (in practice, to the bit)."""
    for metric, fields in theirs.items():
        for field, want in fields.items():
            got = np.asarray(ours[metric][field], dtype=float)
            want = np.asarray(want, dtype=float)
            assert got.shape == want.shape, (metric, field)
            np.testing.assert_allclose(got, want, rtol=0, atol=1e-12, err_msg=f"{metric}.{field}")
            if metric != "HOTA" and field in ("CLR_TP", "CLR_FN", "CLR_FP", "IDSW", "MT", "PT", "ML", "Frag",
                                              "IDTP", "IDFN", "IDFP") or field.startswith("HOTA_"):
                assert np.array_equal(got, want), (metric, field)


@settings(max_examples=300, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(sequences(), min_size=1, max_size=3))
def test_every_field_equals_trackeval(seqs):
    ours, theirs = {}, {}
    for k, (gt, res, n_frames) in enumerate(seqs):
        ours[f"s{k}"] = evaluate.score_rows(gt, res, n_frames, f"s{k}")
        theirs[f"s{k}"] = evaluate.score_rows(gt, res, n_frames, f"s{k}", trackeval=True)
        assert_same_results(ours[f"s{k}"], theirs[f"s{k}"])
    assert_same_results(evaluate.combine(ours), evaluate.combine(theirs, trackeval=True))


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
        tables.append(motio.rows_from_table(np.array(rows, dtype=float), np.arange(len(rows)) + 1, "crowd"))
    ours = evaluate.score_rows(tables[0], tables[1], 30, "c")
    assert_same_results(ours, evaluate.score_rows(tables[0], tables[1], 30, "c", trackeval=True))


def test_solver_breaks_ties_as_scipy():
    from scipy.optimize import linear_sum_assignment

    rng = np.random.default_rng(0)
    for k in range(3000):
        n, m = rng.integers(1, 8, size=2)
        cost = rng.integers(-2, 2, size=(n, m)).astype(float) if k % 2 else rng.random((n, m))
        want = linear_sum_assignment(cost)
        got = _native.linear_sum_assignment(cost)
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1]), cost


def test_ids_are_relabelled_before_anything_sized_by_them():
    # One id of 2**31 - 1 would make TrackEval size its id maps at 16 GiB; relabelled, it costs nothing.
    gt = motio.parse_mot("1,2147483647,0,0,10,10,1\n2,2147483647,0,0,10,10,1\n", "g", "gt")
    res = motio.parse_mot("1,100000000,0,0,10,10,1\n2,7,0,0,10,10,1\n", "r", "results")
    for trackeval in (False, True):
        scores = evaluate.summary(evaluate.score_rows(gt, res, 2, "s", trackeval))
        assert (scores["IDSW"], scores["FP"], scores["FN"], scores["MOTA"]) == (1, 0, 0, 0.5)
    assert metrics.relabel(np.array([7, 2147483647, 7]))[0].tolist() == [0, 1, 0]

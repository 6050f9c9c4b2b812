"""Assignment solvers and gated association: worked examples, exact tie-breaking, optimality, errors."""

from __future__ import annotations

import math
import re
import struct

import numpy as np
import pytest
from scipy.optimize import linear_sum_assignment

import kelmora_cpp as k

INF = math.inf
NOT_FINITE = "cost matrix must be finite; gate before assignment"
NO_FREE_COLUMN = "linear_assignment: no free column; n > m?"
SOLVERS = {"hungarian": k.linear_assignment, "lapjv": k.linear_assignment_lapjv}


# Straight transcriptions of the two algorithms over Python floats (IEEE doubles), with
# flags instead of lists, so that the native solvers' choices can be checked pair for pair.
def reference_hungarian_core(c: list[list[float]]) -> list[int]:
    n, m = len(c), len(c[0]) if c else 0
    u, v = [0.0] * (n + 1), [0.0] * (m + 1)
    p, way = [0] * (m + 1), [0] * (m + 1)
    for i in range(1, n + 1):
        p[0], j0 = i, 0
        minv, used = [INF] * (m + 1), [False] * (m + 1)
        while True:
            used[j0] = True
            i0, delta, j1 = p[j0], INF, None
            if m == 0:
                raise RuntimeError(NO_FREE_COLUMN)
            for j in range(1, m + 1):
                if used[j]:
                    continue
                cur = (c[i0 - 1][j - 1] - u[i0]) - v[j]
                if minv[j] > cur:
                    minv[j], way[j] = cur, j0
                if delta > minv[j]:
                    delta, j1 = minv[j], j
            if j1 is None:
                raise RuntimeError(NO_FREE_COLUMN)
            for j in range(m + 1):
                if used[j]:
                    u[p[j]] += delta
                    v[j] -= delta
                else:
                    minv[j] -= delta
            j0 = j1
            if p[j0] == 0:
                break
        while j0 != 0:
            j1 = way[j0]
            p[j0] = p[j1]
            j0 = j1
    return [p[j] - 1 if p[j] else -1 for j in range(1, m + 1)]


def reference_lapjv_core(c: list[list[float]]) -> list[int]:
    n, m = len(c), len(c[0]) if c else 0
    x, y, v = [-1] * n, [-1] * m, [0.0] * m
    rowmin = []
    for i in range(n):
        best = c[i][0]
        for j in range(1, m):
            if c[i][j] < best:
                best = c[i][j]
        rowmin.append(best)
    for i in range(n):
        for j in range(m):
            if y[j] == -1 and c[i][j] == rowmin[i]:
                x[i], y[j] = j, i
                break
    for i in range(n):
        if x[i] != -1:
            continue
        d = [c[i][j] - v[j] for j in range(m)]
        pred, scanned = [i] * m, [False] * m
        while True:
            mu, jmin = INF, None
            for j in range(m):
                if not scanned[j] and mu > d[j]:
                    mu, jmin = d[j], j
            if jmin is None:
                raise RuntimeError("lapjv: no augmenting path")
            scanned[jmin] = True
            i2 = y[jmin]
            if i2 == -1:
                break
            h = (c[i2][jmin] - v[jmin]) - mu
            for j in range(m):
                if not scanned[j]:
                    cand = (c[i2][j] - v[j]) - h
                    if d[j] > cand:
                        d[j], pred[j] = cand, i2
        for j in range(m):
            if scanned[j] and j != jmin:
                v[j] = (d[j] - mu) + v[j]
        ip = pred[jmin]
        prev = x[ip]
        y[jmin], x[ip] = ip, jmin
        while ip != i:
            j = prev
            ip = pred[j]
            prev = x[ip]
            y[j], x[ip] = ip, j
    return x


def reference_solve(cost: np.ndarray, solver: str) -> tuple[list[int], list[int]]:
    n, m = cost.shape
    tall = n > m
    oriented = (cost.T if tall else cost).tolist()
    r = len(oriented)
    if solver == "hungarian":
        col_to_row = reference_hungarian_core(oriented)
        row_to_col = [-1] * r
        for j, i in enumerate(col_to_row):
            if i != -1:
                row_to_col[i] = j
    else:
        row_to_col = reference_lapjv_core(oriented)
    return (row_to_col, list(range(r))) if tall else (list(range(r)), row_to_col)


def lists(pair) -> tuple[list[int], list[int]]:
    return pair[0].tolist(), pair[1].tolist()


def check_valid(cost: np.ndarray, rows: np.ndarray, cols: np.ndarray) -> None:
    n, m = cost.shape
    assert rows.dtype == np.int64 and cols.dtype == np.int64
    assert len(rows) == len(cols) == min(n, m)
    assert len(set(rows.tolist())) == len(rows) and len(set(cols.tolist())) == len(cols)
    assert all(0 <= r < n for r in rows.tolist()) and all(0 <= c < m for c in cols.tolist())
    # Pair order: ascending row for wide and square matrices, ascending column for tall ones.
    if n <= m:
        assert rows.tolist() == list(range(n))
    else:
        assert cols.tolist() == list(range(m))


def exact_total(cost: np.ndarray, rows, cols) -> float:
    return math.fsum(cost[r, c] for r, c in zip(rows, cols))


def random_cost(seed: int, shape: tuple[int, int], kind: str) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random(shape)
    if kind == "ties":
        return rng.integers(0, 4, size=shape).astype(np.float64)
    if kind == "decimal":
        # Sums of these tie in real arithmetic but not always in doubles, so the
        # solvers' choices depend on the order of every subtraction.
        return rng.choice([0.1, 0.2, 0.3, 0.6, 0.7, 1.1], size=shape)
    if kind == "pooled":
        # Sums of three values from a pool of three: more such ties, at random magnitudes.
        pool = rng.random(3)
        per_row = rng.choice(pool, size=(shape[0], 1))
        per_col = rng.choice(pool, size=(1, shape[1]))
        return (rng.choice(pool, size=shape) + per_row) + per_col
    if kind == "signed":
        return rng.integers(-3, 3, size=shape).astype(np.float64) * 0.5
    # Tracking-like: one large forbidden value almost everywhere, a few cheap entries per row.
    cost = np.full(shape, 1.7)
    for row in cost:
        cheap = min(3, shape[1])
        row[rng.choice(shape[1], size=cheap, replace=False)] = rng.integers(0, 7, size=cheap) / 10
    return cost


# ---------------------------------------------------------------------------------------------
# Worked examples


@pytest.mark.parametrize(
    ("cost", "hungarian", "lapjv"),
    [
        ([[4, 1, 3], [2, 0, 5], [3, 2, 2]], ([0, 1, 2], [1, 0, 2]), ([0, 1, 2], [1, 0, 2])),
        ([[0, 0], [0, 0]], ([0, 1], [0, 1]), ([0, 1], [0, 1])),
        ([[3, 1, 1]], ([0], [1]), ([0], [1])),
        ([[3], [1], [1]], ([1], [0]), ([1], [0])),
        ([[0, 0, 0], [0, 1, 0]], ([0, 1], [1, 0]), ([0, 1], [0, 2])),
        ([[0, 0], [0, 1], [0, 0]], ([1, 0], [0, 1]), ([0, 2], [0, 1])),
        ([[5, 1], [1, 5], [1, 1]], ([1, 0], [0, 1]), ([1, 0], [0, 1])),
        ([[0, 0, 0], [0, 1, 0], [0, 0, 0]], ([0, 1, 2], [1, 0, 2]), ([0, 1, 2], [0, 2, 1])),
        ([[1, 2], [1, 3]], ([0, 1], [1, 0]), ([0, 1], [1, 0])),
    ],
)
def test_worked_examples(cost, hungarian, lapjv):
    assert lists(k.linear_assignment(cost)) == hungarian
    assert lists(k.linear_assignment_lapjv(cost)) == lapjv
    assert reference_solve(np.array(cost, dtype=float), "hungarian") == hungarian
    assert reference_solve(np.array(cost, dtype=float), "lapjv") == lapjv


# Each matrix holds a tie in real arithmetic that the stated order of subtractions breaks
# one way; computing the reduced costs or potentials in another order picks other pairs.
ORDER_SENSITIVE = [
    (
        "hungarian",
        [
            [1.7899450796939602, 1.7899450796939602, 0.8772862527094515, 0.8772862527094515],
            [1.9730071586809848, 1.7899450796939602, 1.060348331696476, 0.8772862527094515],
            [2.702603906678469, 2.5195418276914445, 1.6068830007069357, 1.6068830007069357],
            [2.702603906678469, 2.702603906678469, 1.060348331696476, 1.7899450796939602],
        ],
        [0, 1, 3, 2],
    ),
    (
        "lapjv",
        [
            [1.2178215043167289, 0.8583867994324116, 1.6213382289086904, 1.6213382289086904],
            [1.261903524024373, 0.8583867994324116, 1.261903524024373, 1.6213382289086904],
            [1.9807729337930078, 1.2178215043167289, 1.9807729337930078, 1.6213382289086904],
            [1.2178215043167289, 0.8143047797247673, 1.6213382289086904, 1.2178215043167289],
        ],
        [0, 2, 3, 1],
    ),
]


@pytest.mark.parametrize(("solver", "cost", "cols"), ORDER_SENSITIVE)
def test_choices_follow_the_operation_order(solver, cost, cols):
    assert lists(SOLVERS[solver](cost)) == (list(range(4)), cols)
    assert reference_solve(np.array(cost), solver) == (list(range(4)), cols)


@pytest.mark.parametrize(
    ("cost", "max_cost", "matches", "unmatched_rows", "unmatched_cols"),
    [
        ([[0.1, 0.9], [0.8, 0.2], [0.5, 0.5]], 0.2, [[0, 0], [1, 1]], [2], []),
        ([[0.1, 0.9], [0.8, 0.2], [0.5, 0.5]], 0.15, [[0, 0]], [1, 2], [1]),
        ([[5, 1], [1, 5], [1, 1]], 10, [[1, 0], [0, 1]], [2], []),
        # The solver pairs (0, 1) and (1, 0); the gate drops (1, 0), and row 0 keeps column 1.
        ([[0.0, 0.1], [5.0, 10.0]], 0.5, [[0, 1]], [1], [0]),
        # A cost equal to the gate passes it.
        ([[0.25, 0.9], [0.8, 0.5]], 0.5, [[0, 0], [1, 1]], [], []),
        ([[0.25, 0.9], [0.8, 0.5]], math.nextafter(0.5, 0.0), [[0, 0]], [1], [1]),
        ([[0.1, 0.9], [0.8, 0.2], [0.5, 0.5]], math.nan, [], [0, 1, 2], [0, 1]),
        ([[0.1, 0.9], [0.8, 0.2], [0.5, 0.5]], math.inf, [[0, 0], [1, 1]], [2], []),
        ([[1e300, -1e300, 7.0]], -math.inf, [], [0], [0, 1, 2]),
    ],
)
def test_associate_examples(cost, max_cost, matches, unmatched_rows, unmatched_cols):
    got = k.associate(cost, max_cost)
    assert got[0].dtype == np.int64 and got[0].shape == (len(matches), 2) and got[0].flags.c_contiguous
    assert got[0].tolist() == matches
    assert got[1].tolist() == unmatched_rows and got[1].dtype == np.int64
    assert got[2].tolist() == unmatched_cols and got[2].dtype == np.int64


@pytest.mark.parametrize(("shape", "rows", "cols"), [((0, 3), [], [0, 1, 2]), ((2, 0), [0, 1], []), ((0, 0), [], [])])
def test_associate_empty_side(shape, rows, cols):
    matches, unmatched_rows, unmatched_cols = k.associate(np.zeros(shape), 0.5)
    assert matches.shape == (0, 2) and matches.dtype == np.int64
    assert unmatched_rows.tolist() == rows and unmatched_cols.tolist() == cols
    assert unmatched_rows.dtype == np.int64 and unmatched_cols.dtype == np.int64


# ---------------------------------------------------------------------------------------------
# Exact choices and optimality on seeded random matrices

SHAPES_SMALL = [(1, 1), (1, 5), (5, 1), (3, 3), (4, 6), (6, 4), (7, 7), (5, 9), (9, 5)]


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("kind", ["ties", "signed", "decimal", "pooled", "tracking", "uniform"])
@pytest.mark.parametrize("shape", SHAPES_SMALL)
def test_same_pairs_as_transcription(solver, kind, shape):
    for seed in range(25):
        cost = random_cost(1000 * seed + shape[0] * 10 + shape[1], shape, kind)
        assert lists(SOLVERS[solver](cost)) == reference_solve(cost, solver), seed


SHAPES_LARGE = [(20, 20), (30, 50), (50, 30), (64, 64), (10, 80), (80, 10), (100, 100)]


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("kind", ["ties", "signed", "tracking", "uniform"])
@pytest.mark.parametrize("shape", SHAPES_LARGE)
def test_total_equals_scipy_optimum(solver, kind, shape):
    for seed in range(8):
        cost = random_cost(7919 * seed + shape[0] + 3 * shape[1], shape, kind)
        rows, cols = SOLVERS[solver](cost)
        check_valid(cost, rows, cols)
        peer_rows, peer_cols = linear_sum_assignment(cost)
        assert exact_total(cost, rows, cols) == exact_total(cost, peer_rows, peer_cols), seed


@pytest.mark.parametrize("kind", ["ties", "tracking"])
def test_associate_gates_the_solver_pairs(kind):
    for seed in range(40):
        rng = np.random.default_rng(seed)
        shape = tuple(int(s) for s in rng.integers(1, 12, size=2))
        cost = random_cost(seed, shape, kind)
        max_cost = float(rng.choice([0.0, 0.5, 1.0, 2.0]))
        rows, cols = k.linear_assignment(cost)
        keep = [(r, c) for r, c in zip(rows.tolist(), cols.tolist()) if max_cost >= cost[r, c]]
        matches, unmatched_rows, unmatched_cols = k.associate(cost, max_cost)
        assert [tuple(pair) for pair in matches.tolist()] == keep
        assert unmatched_rows.tolist() == sorted(set(range(shape[0])) - {r for r, _ in keep})
        assert unmatched_cols.tolist() == sorted(set(range(shape[1])) - {c for _, c in keep})


# ---------------------------------------------------------------------------------------------
# Values at the edge of the double range


def test_negative_costs_and_negative_zero():
    cost = np.array([[-0.0, 0.0, -2.5], [0.0, -0.0, -1.0], [-3.0, -0.0, 0.0]])
    for solver in SOLVERS:
        got = lists(SOLVERS[solver](cost))
        assert got == reference_solve(cost, solver)
        assert exact_total(cost, *got) == -5.5


def test_overflowing_reduced_costs():
    cost = [[1.7e308, -1.7e308], [1.7e308, -1.7e308]]
    with pytest.raises(RuntimeError, match=re.escape(NO_FREE_COLUMN)) as info:
        k.linear_assignment(cost)
    assert str(info.value) == NO_FREE_COLUMN
    with pytest.raises(RuntimeError) as info:
        k.associate(cost, 1.0)
    assert str(info.value) == NO_FREE_COLUMN
    # The Jonker-Volgenant search finds its free column before any distance overflows.
    assert lists(k.linear_assignment_lapjv(cost)) == ([0, 1], [1, 0])


def outcome(fn, cost):
    """The pairs as lists, or the text of the RuntimeError raised instead."""
    try:
        return lists(fn(cost))
    except RuntimeError as error:
        return str(error)


def huge_cost(seed: int, shape: tuple[int, int]) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return rng.choice([-1.0, 1.0], size=shape) * rng.uniform(0.5, 1.0, size=shape) * np.finfo(float).max


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("shape", [(2, 2), (3, 3), (6, 6), (4, 9), (9, 4)])
def test_huge_finite_values_match_transcription(solver, shape):
    outcomes = []
    for seed in range(40):
        cost = huge_cost(seed, shape)
        try:
            want = reference_solve(cost, solver)
        except RuntimeError as error:
            want = str(error)
        got = outcome(SOLVERS[solver], cost)
        assert got == want, seed
        outcomes.append(isinstance(got, str))
    # Only the Hungarian search can overflow: a free column always keeps a finite distance
    # in the Jonker-Volgenant search.
    if solver == "hungarian" and shape[0] == shape[1]:
        assert any(outcomes) and not all(outcomes)
    else:
        assert not any(outcomes)


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("shape", [(40, 40), (30, 90), (90, 30), (120, 120)])
def test_huge_finite_values_finish(solver, shape):
    for seed in range(5):
        cost = huge_cost(seed, shape)
        got = outcome(SOLVERS[solver], cost)
        if isinstance(got, str):
            assert solver == "hungarian" and got == NO_FREE_COLUMN
        else:
            check_valid(cost, np.array(got[0]), np.array(got[1]))


# ---------------------------------------------------------------------------------------------
# Refusals and shapes


def nan_with_payload() -> float:
    return struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, -math.nan, nan_with_payload()])
@pytest.mark.parametrize("shape", [(1, 1), (3, 5), (5, 3), (40, 40), (2, 700)])
@pytest.mark.parametrize("where", ["first", "last", "middle"])
def test_non_finite_entries_are_refused(bad, shape, where):
    cost = np.ones(shape)
    index = {"first": 0, "last": cost.size - 1, "middle": cost.size // 2}[where]
    cost.flat[index] = bad
    for fn in (k.linear_assignment, k.linear_assignment_lapjv, lambda c: k.associate(c, 0.5)):
        with pytest.raises(ValueError) as info:
            fn(cost)
        assert str(info.value) == NOT_FINITE


def test_largest_finite_values_pass_the_finite_test():
    cost = np.array([[np.finfo(float).max, -np.finfo(float).max], [5e-324, -0.0]])
    for fn in SOLVERS.values():
        check_valid(cost, *fn(cost))


@pytest.mark.parametrize("solver", SOLVERS)
def test_non_finite_refused_before_solving(solver):
    # Without the NaN this matrix overflows in the Hungarian search; the finite test wins.
    cost = np.array([[1.7e308, -1.7e308, 0.0], [1.7e308, -1.7e308, math.nan]]).T
    with pytest.raises(ValueError, match=re.escape(NOT_FINITE)):
        SOLVERS[solver](cost)
    with pytest.raises(ValueError, match=re.escape(NOT_FINITE)):
        k.associate(cost, math.nan)


@pytest.mark.parametrize("name", ["linear_assignment", "linear_assignment_lapjv"])
@pytest.mark.parametrize("shape", [(0,), (0, 4), (4, 0), (0, 0), (2, 0, 3), (0, 0, 0, 1)])
def test_empty_inputs_give_empty_pairs(name, shape):
    rows, cols = getattr(k, name)(np.zeros(shape))
    assert rows.shape == (0,) and cols.shape == (0,)
    assert rows.dtype == np.int64 and cols.dtype == np.int64


@pytest.mark.parametrize("name", ["linear_assignment", "linear_assignment_lapjv", "associate"])
@pytest.mark.parametrize("value", [np.float64(3.0), np.zeros(4), np.zeros((2, 2, 2)), math.nan, None, [1.0]])
def test_non_2d_inputs_are_refused(name, value):
    args = (value, 1.0) if name == "associate" else (value,)
    with pytest.raises(ValueError) as info:
        getattr(k, name)(*args)
    assert str(info.value) == f"{name}: cost must be a 2-D (n, m) array"


@pytest.mark.parametrize("shape", [(0,), (2, 0, 3)])
def test_associate_has_no_empty_shortcut(shape):
    with pytest.raises(ValueError, match=re.escape("associate: cost must be a 2-D (n, m) array")):
        k.associate(np.zeros(shape), 1.0)


def test_ragged_input_is_a_type_error():
    for fn in (k.linear_assignment, k.linear_assignment_lapjv, lambda c: k.associate(c, 1.0)):
        with pytest.raises(TypeError):
            fn([[1.0, 2.0], [3.0]])
    with pytest.raises(TypeError):
        k.associate([[1.0]], "gate")


# ---------------------------------------------------------------------------------------------
# Argument conversion and the Python surface


@pytest.mark.parametrize(
    "convert",
    [
        lambda c: c.astype(np.int64),
        lambda c: c.astype(np.float32),
        lambda c: c.tolist(),
        lambda c: np.asfortranarray(c),
        lambda c: np.repeat(c, 2, axis=0)[::2],
        lambda c: np.repeat(c, 2, axis=1)[:, ::2],
    ],
)
def test_input_dtype_and_layout_do_not_change_results(convert):
    for shape in [(5, 8), (8, 5)]:
        cost = random_cost(11, shape, "ties")
        for fn in SOLVERS.values():
            assert lists(fn(convert(cost))) == lists(fn(cost))
        got = k.associate(convert(cost), 1.0)
        want = k.associate(cost, 1.0)
        assert all(a.tolist() == b.tolist() for a, b in zip(got, want))


def test_inputs_are_not_written():
    cost = random_cost(3, (6, 9), "uniform")
    before = cost.tobytes()
    k.linear_assignment(cost)
    k.linear_assignment(cost.T)
    k.linear_assignment_lapjv(cost)
    k.linear_assignment_lapjv(cost.T)
    k.associate(cost, 0.5)
    assert cost.tobytes() == before


def test_keywords_and_docstrings():
    cost = [[1.0, 0.0], [0.0, 1.0]]
    assert lists(k.linear_assignment(cost=cost)) == ([0, 1], [1, 0])
    assert lists(k.linear_assignment_lapjv(cost=cost)) == ([0, 1], [1, 0])
    assert k.associate(cost=cost, max_cost=0.0)[0].tolist() == [[0, 1], [1, 0]]
    assert k.associate(cost, np.float32(0.5))[0].tolist() == [[0, 1], [1, 0]]
    docs = {
        "linear_assignment": "Solve the rectangular linear-sum-assignment problem (minimisation).",
        "associate": "Gated one-to-one association; returns (matches, unmatched_rows, unmatched_cols).",
        "linear_assignment_lapjv": "Jonker-Volgenant assignment. NOT parity-safe: optimal, but a different "
        "optimum on ties. Provided to price the trade, not to take it.",
    }
    for name, doc in docs.items():
        signature, _, body = getattr(k, name).__doc__.partition("\n\n")
        assert signature.startswith(f"{name}(cost: ")
        assert body.strip() == doc
    assert "max_cost: " in k.associate.__doc__.partition("\n")[0]


def test_registration_order():
    names = [n for n in vars(k) if not n.startswith("__")]
    assert names.index("clip_boxes") + 1 == names.index("linear_assignment")
    assert names.index("linear_assignment") + 1 == names.index("associate")
    assert names.index("associate") + 1 == names.index("linear_assignment_lapjv")


def test_results_are_fresh_arrays():
    rows, cols = k.linear_assignment([[1.0, 2.0], [2.0, 1.0]])
    for array in (rows, cols):
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata

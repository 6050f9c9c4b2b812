"""Fuzz target: linear_assignment, linear_assignment_lapjv and associate.

Checks that both solvers return min(n, m) distinct pairs in the documented order with an
optimal total (against SciPy, where the values are small enough to sum safely), and that
associate keeps exactly the solver's pairs within the gate, lists every other row and
column once in ascending order, and refuses non-finite matrices.
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np
from scipy.optimize import linear_sum_assignment

import kelmora_cpp as k

FINITE_MESSAGE = "cost matrix must be finite; gate before assignment"


def cost_argument(fdp):
    form = fdp.ConsumeIntInRange(0, 5)
    n, m = fdp.ConsumeIntInRange(0, 7), fdp.ConsumeIntInRange(0, 7)
    if form == 0:
        # Small integers: many ties, where the solvers' choice rules matter.
        return np.array([float(fdp.ConsumeIntInRange(0, 3)) for _ in range(n * m)]).reshape(n, m)
    if form == 1:
        return fl.array(fdp, (n, m), lo=-1e6, hi=1e6, max_elements=64)
    if form == 2:
        # Wide magnitudes, where reduced costs may overflow.
        scale = fl.SPECIAL[fdp.ConsumeIntInRange(0, len(fl.SPECIAL) - 1)]
        return fl.values(fdp, n * m, -1.0, 1.0).reshape(n, m) * (scale if np.isfinite(scale) else 1e300)
    return fl.array(fdp, (n, m))


def check_pairs(name, rows, cols, cost):
    n, m = cost.shape
    fl.check_int_result(rows, 1, name)
    fl.check_int_result(cols, 1, name)
    kk = min(n, m)
    fl.check(len(rows) == len(cols) == kk, f"{name}: {len(rows)} pairs for a {n}x{m} matrix", cost)
    fl.check(len(set(rows.tolist())) == kk and len(set(cols.tolist())) == kk, f"{name}: repeated index", rows, cols)
    fl.check(
        bool(np.all((rows >= 0) & (rows < n)) and np.all((cols >= 0) & (cols < m))),
        f"{name}: index out of range",
        rows,
        cols,
    )
    if n <= m:
        fl.check(rows.tolist() == list(range(n)), f"{name}: rows not 0..n-1 for n <= m", rows)
    else:
        fl.check(cols.tolist() == list(range(m)), f"{name}: cols not 0..m-1 for n > m", cols)
    if kk and np.max(np.abs(cost)) <= 1e6:
        r, c = linear_sum_assignment(cost)
        best = cost[r, c].sum()
        got = cost[rows, cols].sum()
        fl.check(
            abs(got - best) <= 1e-9 * max(1.0, abs(best)) + 1e-6,
            f"{name}: total {got} above the optimum {best}",
            cost,
            rows,
            cols,
        )


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    cost = cost_argument(fdp)
    before = fl.snapshot(cost)
    seen = fl.as_float64(cost)
    is_2d = seen is not None and seen.ndim == 2
    empty = seen is not None and seen.ndim >= 1 and seen.size == 0
    finite = seen is not None and bool(np.all(np.isfinite(seen)))
    tame = finite and seen is not None and seen.size > 0 and float(np.max(np.abs(seen))) <= 1e100

    for name in ("linear_assignment", "linear_assignment_lapjv"):
        ok, result = fl.call(name, getattr(k, name), cost)
        fl.check_unchanged(cost, before, name)
        if not ok:
            if isinstance(result, ValueError):
                if is_2d and not finite and not empty:
                    fl.check(str(result) == FINITE_MESSAGE, f"{name}: wrong message", result)
                else:
                    fl.check(not is_2d and not empty, f"{name}: refused a valid matrix", seen, result)
            if isinstance(result, RuntimeError):
                fl.check(not tame, f"{name}: failed on a matrix of moderate finite values", seen, result)
            continue
        fl.check(isinstance(result, tuple) and len(result) == 2, f"{name}: result is not a pair")
        rows, cols = result
        if empty:
            fl.check(len(rows) == 0 and len(cols) == 0, f"{name}: pairs from an empty input", result)
            fl.check_int_result(rows, 1, name)
            continue
        fl.check(is_2d and finite, f"{name}: accepted an input that is not a finite 2-D matrix", seen)
        check_pairs(name, rows, cols, seen)

    # associate: its result for (0, m) and (n, 0) lists every row or column, so a huge
    # extent stands for a legitimately huge result; those shapes are left out here.
    if seen is not None and max(seen.shape, default=0) > fl.MAX_ELEMENTS:
        return
    max_cost = fl.float_arg(fdp)
    ok, result = fl.call("associate", k.associate, cost, max_cost)
    fl.check_unchanged(cost, before, "associate")
    if not ok:
        if isinstance(result, ValueError):
            fl.check(not is_2d or (not finite and seen.size > 0), "associate: refused a valid matrix", seen, result)
        if isinstance(result, RuntimeError):
            fl.check(not tame, "associate: failed on a matrix of moderate finite values", seen, result)
        return
    fl.check(is_2d, "associate: accepted an input that is not 2-D", seen)
    matches, unmatched_rows, unmatched_cols = result
    n, m = seen.shape
    fl.check_int_result(matches, 2, "associate")
    fl.check(matches.shape[1] == 2 and matches.shape[0] <= min(n, m), "associate: matches shape", matches.shape)
    fl.check_int_result(unmatched_rows, 1, "associate")
    fl.check_int_result(unmatched_cols, 1, "associate")
    for label, unmatched, matched, count in (
        ("rows", unmatched_rows, matches[:, 0], n),
        ("cols", unmatched_cols, matches[:, 1], m),
    ):
        fl.check(bool(np.all(np.diff(unmatched) > 0)), f"associate: unmatched {label} not ascending", unmatched)
        fl.check(
            sorted(unmatched.tolist() + matched.tolist()) == list(range(count)),
            f"associate: {label} not each listed once",
            matches,
            unmatched,
        )
    if n and m:
        gate = float(max_cost)
        rows, cols = k.linear_assignment(seen)
        kept = [(r, c) for r, c in zip(rows.tolist(), cols.tolist()) if gate >= seen[r, c]]
        fl.check(
            matches.tolist() == [list(p) for p in kept],
            "associate: kept pairs differ from the gated solver pairs",
            seen,
            gate,
            matches,
            kept,
        )


if __name__ == "__main__":
    fl.run(test_one_input)

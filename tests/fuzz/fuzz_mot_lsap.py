"""Fuzz target: kelmora_tools._native.linear_sum_assignment against
scipy.optimize.linear_sum_assignment.

Both must give the same pairs, in the same order and dtype, or both must refuse: with the same
exception and message where SciPy's own checks refuse (not a matrix, NaN or -inf entries, an
infeasible matrix), and with any documented exception where SciPy cannot convert the argument.
Costs have ties, +inf entries that may leave a row unassignable, magnitudes whose reduced costs
overflow, and every form of fuzzlib's arrays.
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np
from scipy.optimize import linear_sum_assignment

from kelmora_tools import _native

# SciPy's own refusals, which the native solver must word the same.
SCIPY_CHECKS = ("expected a matrix (2-D array), got a ", "matrix contains invalid numeric entries", "cost matrix is")


def cost_argument(fdp):
    form = fdp.ConsumeIntInRange(0, 5)
    n, m = fdp.ConsumeIntInRange(0, 7), fdp.ConsumeIntInRange(0, 7)
    if form <= 1:
        # Small integers, many ties, and now and then +inf (forbidden pairs) or a special value.
        cost = np.array([float(fdp.ConsumeIntInRange(0, 3)) for _ in range(n * m)]).reshape(n, m)
        for _ in range(fdp.ConsumeIntInRange(0, 6) if cost.size else 0):
            special = np.inf if form == 0 else fl.SPECIAL[fdp.ConsumeIntInRange(0, len(fl.SPECIAL) - 1)]
            cost.flat[fdp.ConsumeIntInRange(0, cost.size - 1)] = special
        return cost
    if form == 2:
        # Wide magnitudes, where reduced costs overflow.
        scale = fl.SPECIAL[fdp.ConsumeIntInRange(0, len(fl.SPECIAL) - 1)]
        return fl.values(fdp, n * m, -1.0, 1.0).reshape(n, m) * (scale if np.isfinite(scale) else 1e300)
    if form == 3:
        return fl.array(fdp, (n, m), lo=-1e6, hi=1e6, max_elements=64)
    return fl.array(fdp, (n, m))


def outcome(label, solve, cost):
    try:
        rows, cols = solve(cost)
    except fl.ALLOWED as e:
        fl.note(label, e)
        return e
    fl.note(label, (rows, cols))
    return (rows.dtype.str, rows.tolist(), cols.dtype.str, cols.tolist())


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    cost = cost_argument(fdp)
    before = fl.snapshot(cost)
    ours = outcome("native", _native.linear_sum_assignment, cost)
    fl.check_unchanged(cost, before, "linear_sum_assignment")
    theirs = outcome("scipy", linear_sum_assignment, cost)
    if not isinstance(theirs, Exception):
        fl.check(ours == theirs, "linear_sum_assignment: not SciPy's pairs", cost, ours, theirs)
    elif str(theirs).startswith(SCIPY_CHECKS):
        fl.check(
            type(ours) is type(theirs) and str(ours) == str(theirs),
            "linear_sum_assignment: not SciPy's refusal",
            cost,
            ours,
            theirs,
        )
    else:
        fl.check(isinstance(ours, Exception), "linear_sum_assignment: solved what SciPy cannot convert", cost, ours)


if __name__ == "__main__":
    fl.run(test_one_input)

"""Fuzz target: KalmanBoxTracker (construction, initiate, predict, project, update, both
gating distances) and chi2_gating_threshold.

States come from initiate on fuzzed measurements (then predicted and updated a few times)
or are arbitrary arrays of any shape. Checks the documented result shapes and errors, and
that the one-state and batch forms of predict and of the gating distance agree bit for bit.
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np

import kelmora_cpp as k

CHI2_DOF_RANGE = range(1, 10)
NOT_POSITIVE_DEFINITE = "gating: innovation covariance is not positive definite"


def measurement(fdp):
    """cx, cy, a, h: ordinary most of the time."""
    if fdp.ConsumeIntInRange(0, 3):
        return np.array(
            [
                fdp.ConsumeFloatInRange(-1e4, 1e4),
                fdp.ConsumeFloatInRange(-1e4, 1e4),
                fdp.ConsumeFloatInRange(0.01, 10.0),
                fdp.ConsumeFloatInRange(0.1, 1e3),
            ]
        )
    return fl.values(fdp, 4)


def good_state(fdp, kf):
    """A state the filter itself produced, so that its covariance is well formed."""
    mean, cov = kf.initiate(measurement(fdp))
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        mean, cov = kf.predict(mean, cov)
        if fdp.ConsumeBool():
            mean, cov = kf.update(mean, cov, measurement(fdp))
    return mean, cov


def state_arrays(fdp, kf, batch):
    """(mean, covariance) arguments: well formed, arbitrary, or mismatched."""
    kind = fdp.ConsumeIntInRange(0, 5)
    n = fdp.ConsumeIntInRange(0, 4)
    if kind <= 2:
        states = [good_state(fdp, kf) for _ in range(n if batch else 1)]
        if not batch:
            return states[0]
        if not states:
            return np.empty((0, 8)), np.empty((0, 8, 8))
        return np.stack([s[0] for s in states]), np.stack([s[1] for s in states])
    if kind == 3:
        shape = (n, 8) if batch else (8,)
        cov_shape = (n, 8, 8) if batch else (8, 8)
        return fl.array(fdp, shape, max_elements=512), fl.array(fdp, cov_shape, max_elements=512)
    return fl.array(fdp, None, max_elements=512), fl.array(fdp, None, max_elements=512)


def measurements_argument(fdp):
    m = fdp.ConsumeIntInRange(0, 4)
    if fdp.ConsumeIntInRange(0, 2):
        return np.stack([measurement(fdp) for _ in range(m)]) if m else np.empty((0, 4))
    return fl.array(fdp, (m, 4))


def size_of(arg):
    seen = fl.as_float64(arg)
    return None if seen is None else seen.size


def shape_of(arg):
    seen = fl.as_float64(arg)
    return None if seen is None else seen.shape


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    op = fdp.ConsumeIntInRange(0, 7)

    if op == 7:
        dof = fl.int_arg(fdp, -2, 12)
        ok, result = fl.call("chi2", k.chi2_gating_threshold, dof)
        if ok:
            fl.check(isinstance(result, float) and result > 0.0, "chi2: not a positive float", dof, result)
            fl.check(int(dof) in CHI2_DOF_RANGE, "chi2: accepted a dof out of range", dof)
        elif isinstance(result, ValueError):
            fl.check(str(result) == "chi2_gating_threshold: dof out of range 1..9", "chi2: message", result)
        return

    if fdp.ConsumeIntInRange(0, 5) == 0:
        ok, kf = fl.call("kf", k.KalmanBoxTracker, fl.float_arg(fdp), fl.float_arg(fdp))
        if not ok:
            return
    else:
        kf = k.KalmanBoxTracker()

    if op == 0:
        meas = measurement(fdp) if fdp.ConsumeBool() else fl.array(fdp, (4,))
        ok, result = fl.call("initiate", kf.initiate, meas)
        if ok:
            fl.check(size_of(meas) == 4, "initiate: accepted a measurement of another size", meas)
            fl.check_float_result(result[0], (8,), "initiate", meas)
            fl.check_float_result(result[1], (8, 8), "initiate", meas)
        elif isinstance(result, ValueError):
            fl.check(size_of(meas) != 4, "initiate: refused 4 values", meas, result)
        return

    if op in (1, 2):
        batch = fdp.ConsumeBool()
        mean, cov = state_arrays(fdp, kf, batch)
        name = "predict" if op == 1 else "project"
        before = (fl.snapshot(mean), fl.snapshot(cov))
        ok, result = fl.call(name, getattr(kf, name), mean, cov)
        fl.check_unchanged(mean, before[0], name)
        fl.check_unchanged(cov, before[1], name)
        if not ok:
            if isinstance(result, RuntimeError):
                raise fl.Finding(f"{name}: RuntimeError {result}")
            return
        m_shape = shape_of(mean)
        width = 8 if name == "predict" else 4
        if len(m_shape) == 1:
            fl.check_float_result(result[0], (width,), name, mean, cov)
            fl.check_float_result(result[1], (width, width), name, mean, cov)
        else:
            count = m_shape[0]
            fl.check_float_result(result[0], (count, width), name, mean, cov)
            fl.check_float_result(result[1], (count, width, width), name, mean, cov)
            if count and name == "predict":
                one = kf.predict(np.ascontiguousarray(fl.as_float64(mean)[0]), fl.as_float64(cov)[0])
                fl.check(
                    fl.same_bits(one[0], result[0][0]) and fl.same_bits(one[1], result[1][0]),
                    "predict: batch row differs from the one-state form",
                    mean,
                    cov,
                )
        return

    if op == 3:
        mean, cov = state_arrays(fdp, kf, False)
        meas = measurement(fdp) if fdp.ConsumeBool() else fl.array(fdp, (4,))
        ok, result = fl.call("update", kf.update, mean, cov, meas)
        if ok:
            fl.check((size_of(mean), size_of(cov), size_of(meas)) == (8, 64, 4), "update: accepted bad sizes")
            fl.check_float_result(result[0], (8,), "update", mean, cov, meas)
            fl.check_float_result(result[1], (8, 8), "update", mean, cov, meas)
        elif isinstance(result, ValueError):
            fl.check((size_of(mean), size_of(cov), size_of(meas)) != (8, 64, 4), "update: refused good sizes", result)
        elif isinstance(result, RuntimeError):
            raise fl.Finding(f"update: RuntimeError {result}")
        return

    batch = op in (5, 6)
    means, covs = state_arrays(fdp, kf, batch)
    meas = measurements_argument(fdp)
    name = "gating_distance_batch" if batch else "gating_distance"
    ok, result = fl.call(name, getattr(kf, name), means, covs, meas)
    if not ok:
        if isinstance(result, RuntimeError):
            fl.check(str(result) == NOT_POSITIVE_DEFINITE, f"{name}: unexpected RuntimeError", result)
        return
    m = size_of(meas) // 4
    if batch:
        m_shape = shape_of(means)
        count = 1 if len(m_shape) == 1 else m_shape[0]
        fl.check_float_result(result, (count, m), name, means, covs, meas)
    else:
        fl.check_float_result(result, (m,), name, means, covs, meas)
        if m:
            again = kf.gating_distance_batch(
                fl.as_float64(means).reshape(-1)[:8], fl.as_float64(covs).reshape(-1)[:64], meas
            )
            fl.check(fl.same_bits(again[0], result), "gating_distance: differs from the batch form", result, again)


if __name__ == "__main__":
    fl.run(test_one_input)

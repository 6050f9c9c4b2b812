"""Fuzz target: build_association_cost, appearance_distance and uncertainty_distance.

The optional matrices of the cost builder come in any shape and form (they are read as
T*D values in storage order); results are checked bit for bit against the NumPy form of
the documented operation sequences.
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np

import kelmora_cpp as k

OPTIONAL = ("motion", "class_mismatch", "gating_d2", "appearance", "uncertainty")


def reference_cost(ious, w_iou, w_app, w_unc, iou_thresh, extra, gate_thresh):
    """extra: the optional matrices as flat float64 arrays of at least T*D values, or None."""
    n = ious.size
    flat = ious.reshape(-1)
    take = {name: (None if v is None else v.reshape(-1)[:n]) for name, v in extra.items()}
    if take["motion"] is not None:
        cost = w_iou * take["motion"]
    else:
        cost = (1.0 - flat) * w_iou
    g = (1.0 - iou_thresh) * w_iou
    if w_app > 0.0 and take["appearance"] is not None:
        cost = cost + take["appearance"] * w_app
        g = (w_app + w_app) + g
    if w_unc > 0.0 and take["uncertainty"] is not None:
        cost = cost + take["uncertainty"] * w_unc
        g = g + w_unc
    forbid = iou_thresh > flat
    if take["class_mismatch"] is not None:
        forbid = forbid | (take["class_mismatch"] != 0.0)
    if take["gating_d2"] is not None and gate_thresh is not None:
        forbid = forbid | (take["gating_d2"] > gate_thresh)
    cost = np.where(forbid, g + 1.0, cost)
    return cost.reshape(ious.shape), g


def normalised(x):
    s = np.zeros(x.shape[0])
    for c in range(x.shape[1]):
        s = s + x[:, c] * x[:, c]
    n = np.sqrt(s)
    den = np.where(1e-9 > n, 1e-9, n)
    return x / den[:, None]


def reference_appearance(a, b):
    a, b = normalised(a), normalised(b)
    dot = np.zeros((a.shape[0], b.shape[0]))
    for c in range(a.shape[1]):
        dot = dot + a[:, c][:, None] * b[:, c][None, :]
    return 1.0 - dot


def reference_uncertainty(d2, gate):
    den = 1e-9 if 1e-9 > gate else gate
    u = d2 / den
    return np.where(u < 0.0, 0.0, np.where(u > 1.0, 1.0, u))


def weight(fdp):
    return fdp.ConsumeFloatInRange(0.0, 2.0) if fdp.ConsumeIntInRange(0, 2) else fl.float_arg(fdp)


def test_cost(fdp):
    t, d = fdp.ConsumeIntInRange(0, 5), fdp.ConsumeIntInRange(0, 5)
    ious = fl.array(fdp, (t, d), lo=-0.5, hi=1.5)
    args = {
        "w_iou": weight(fdp),
        "w_app": weight(fdp),
        "w_unc": weight(fdp),
        "use_giou": fl.bool_arg(fdp),
        "iou_thresh": fl.float_arg(fdp) if fdp.ConsumeIntInRange(0, 3) == 0 else fdp.ConsumeFloatInRange(0, 1),
    }
    for name in OPTIONAL:
        if fdp.ConsumeBool():
            # Usually T*D values, in whatever shape; sometimes fewer or more.
            count = t * d + (fdp.ConsumeIntInRange(-2, 2) if fdp.ConsumeIntInRange(0, 3) == 0 else 0)
            args[name] = fl.array(fdp, (max(count, 0),) if fdp.ConsumeBool() else (t, d), lo=0.0, hi=3.0)
    if fdp.ConsumeBool():
        args["gate_thresh"] = fl.float_arg(fdp)
    with np.errstate(all="ignore"):
        ok, result = fl.call("build_association_cost", k.build_association_cost, ious, **args)
    seen = fl.as_float64(ious)
    given = {name: fl.as_float64(args[name]) for name in OPTIONAL if args.get(name) is not None}
    if not ok:
        if isinstance(result, ValueError) and seen is not None and seen.ndim == 2:
            # Refused only for an optional matrix that NumPy cannot convert (its own
            # ValueError) or that holds fewer than T*D values.
            fl.check(
                any(v is None or v.size < seen.size for v in given.values()),
                "build_association_cost: refused valid matrices",
                result,
            )
        return
    fl.check(seen is not None and seen.ndim == 2, "build_association_cost: accepted ious that are not 2-D", ious)
    cost, max_cost = result
    fl.check(isinstance(max_cost, float), "build_association_cost: max_cost is not a float", max_cost)
    fl.check_float_result(cost, seen.shape, "build_association_cost", ious, *[args[a] for a in OPTIONAL if a in args])
    extra = {}
    for name in OPTIONAL:
        extra[name] = fl.as_float64(args[name]) if args.get(name) is not None else None
        if extra[name] is not None:
            fl.check(
                extra[name].size >= seen.size,
                f"build_association_cost: accepted a short {name}",
                extra[name].shape,
                seen.shape,
            )
    gate = float(args["gate_thresh"]) if args.get("gate_thresh") is not None else None
    with np.errstate(all="ignore"):
        expected, expected_max = reference_cost(
            seen,
            float(args["w_iou"]),
            float(args["w_app"]),
            float(args["w_unc"]),
            float(args["iou_thresh"]),
            extra,
            gate,
        )
    fl.check(fl.same_bits(max_cost, expected_max), "build_association_cost: max_cost differs", max_cost, expected_max)
    fl.check(fl.same_bits(cost, expected), "build_association_cost: cost differs", args, cost, expected)


def test_appearance(fdp):
    dim = fdp.ConsumeIntInRange(0, 6)
    t, d = fdp.ConsumeIntInRange(0, 5), fdp.ConsumeIntInRange(0, 5)
    a = fl.array(fdp, (t, dim), lo=-2.0, hi=2.0)
    b = fl.array(fdp, (d, dim), lo=-2.0, hi=2.0)
    sa, sb = fl.as_float64(a), fl.as_float64(b)
    # (T, 0) and (D, 0) give a legitimately (T, D) result; keep it small.
    both_2d = sa is not None and sb is not None and sa.ndim == 2 and sb.ndim == 2
    if both_2d and sa.shape[0] * sb.shape[0] > fl.MAX_ELEMENTS:
        return
    with np.errstate(all="ignore"):
        ok, result = fl.call("appearance_distance", k.appearance_distance, a, b)
    valid = sa is not None and sb is not None and sa.ndim == 2 and sb.ndim == 2 and sa.shape[1] == sb.shape[1]
    if not ok:
        if isinstance(result, ValueError):
            fl.check(not valid, "appearance_distance: refused valid features", sa, sb, result)
        return
    fl.check(valid, "appearance_distance: accepted features of the wrong form", a, b)
    fl.check_float_result(result, (sa.shape[0], sb.shape[0]), "appearance_distance", a, b)
    if result.size:
        with np.errstate(all="ignore"):
            expected = reference_appearance(sa, sb)
        fl.check(
            fl.same_bits(result, expected), "appearance_distance: differs from the formula", sa, sb, result, expected
        )


def test_uncertainty(fdp):
    d2 = fl.array(fdp, None, lo=-5.0, hi=30.0)
    gate = fl.float_arg(fdp)
    with np.errstate(all="ignore"):
        ok, result = fl.call("uncertainty_distance", k.uncertainty_distance, d2, gate)
    seen = fl.as_float64(d2)
    if not ok:
        fl.check(not isinstance(result, ValueError), "uncertainty_distance: ValueError", result)
        return
    fl.check_float_result(result, seen.shape, "uncertainty_distance", d2)
    with np.errstate(all="ignore"):
        expected = reference_uncertainty(seen, float(gate))
    fl.check(fl.same_bits(result, expected), "uncertainty_distance: differs from the formula", seen, gate, result)


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    (test_cost, test_appearance, test_uncertainty)[fdp.ConsumeIntInRange(0, 2)](fdp)


if __name__ == "__main__":
    fl.run(test_one_input)

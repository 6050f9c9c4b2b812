"""Fuzz target: iou_matrix and giou_matrix.

Checks the (N, M) form for every accepted pair of inputs, that `a` is judged before `b`,
and each element bit for bit against the NumPy form of the documented operation sequence.
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np

import kelmora_cpp as k


def _clamp(v):
    return np.where(0 > v, 0.0, v)


def _guard(v):
    return np.where(1e-7 > v, 1e-7, v)


def reference(a, b, giou):
    ax1, ay1, ax2, ay2 = (a[:, c][:, None] for c in range(4))
    bx1, by1, bx2, by2 = (b[:, c][None, :] for c in range(4))
    area_a = _clamp(ay2 - ay1) * _clamp(ax2 - ax1)
    ix1 = np.where(bx1 > ax1, bx1, ax1)
    iy1 = np.where(by1 > ay1, by1, ay1)
    ix2 = np.where(ax2 > bx2, bx2, ax2)
    iy2 = np.where(ay2 > by2, by2, ay2)
    inter = _clamp(ix2 - ix1) * _clamp(iy2 - iy1)
    area_b = _clamp(by2 - by1) * _clamp(bx2 - bx1)
    union = (area_a + area_b) - inter
    iou = inter / _guard(union)
    if not giou:
        return iou
    ex1 = np.where(ax1 > bx1, bx1, ax1)
    ey1 = np.where(ay1 > by1, by1, ay1)
    ex2 = np.where(bx2 > ax2, bx2, ax2)
    ey2 = np.where(by2 > ay2, by2, ay2)
    enclose = _clamp(ey2 - ey1) * _clamp(ex2 - ex1)
    return iou - (enclose - union) / _guard(enclose)


def box_count(arr):
    """N under the flexible box check, or None where the check refuses the array."""
    if arr is None:
        return None
    if arr.ndim == 1:
        return arr.shape[0] // 4 if arr.shape[0] % 4 == 0 else None
    if arr.ndim == 2 and arr.shape[1] == 4:
        return arr.shape[0]
    return None


def argument(fdp):
    form = fdp.ConsumeIntInRange(0, 4)
    n = fdp.ConsumeIntInRange(0, 5)
    if form == 0:
        # Ordinary boxes, where overlaps are likely.
        return fl.boxes_xyxy(fdp, n, scale=fdp.ConsumeFloatInRange(1e-9, 100.0))
    if form == 1:
        return fl.array(fdp, (4 * n,))
    return fl.array(fdp, (n, 4))


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    giou = fdp.ConsumeBool()
    name = "giou_matrix" if giou else "iou_matrix"
    a = argument(fdp)
    b = a if fdp.ConsumeIntInRange(0, 7) == 0 else argument(fdp)
    before_a, before_b = fl.snapshot(a), fl.snapshot(b)
    with np.errstate(all="ignore"):
        ok, result = fl.call(name, getattr(k, name), a, b)
    fl.check_unchanged(a, before_a, name)
    fl.check_unchanged(b, before_b, name)

    seen_a, seen_b = fl.as_float64(a), fl.as_float64(b)
    n, m = box_count(seen_a), box_count(seen_b)
    if not ok:
        if isinstance(result, ValueError) and n is None:
            fl.check(str(result).startswith(name + ": "), f"{name}: message without the function's name", result)
        elif isinstance(result, ValueError) and n is not None:
            # `a` passed, so the message must be about `b`.
            fl.check(m is None, f"{name}: valid arrays refused", a, b, result)
        return
    fl.check(n is not None and m is not None, f"{name}: accepted an input of unexpected form", a, b)
    fl.check_float_result(result, (n, m), name, a, b)
    if n and m:
        with np.errstate(all="ignore"):
            expected = reference(seen_a.reshape(-1, 4), seen_b.reshape(-1, 4), giou)
        fl.check(
            fl.same_bits(result, expected), f"{name}: result differs from the formula", seen_a, seen_b, result, expected
        )


if __name__ == "__main__":
    fl.run(test_one_input)

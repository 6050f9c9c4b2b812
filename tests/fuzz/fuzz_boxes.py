"""Fuzz target: the six box conversions, box_area and clip_boxes (and echo, the bare array
boundary).

Each result is checked for its form and, bit for bit, against the NumPy form of the
documented operation sequence (any NaN matching any NaN).
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np

import kelmora_cpp as k


def _half(v):
    return v * 0.5


def _floor_height(h):
    return np.where(1e-7 > h, 1e-7, h)


def _clamp(v):
    return np.where(0 > v, 0.0, v)


def _xyxy_to_xyah(b):
    x1, y1, x2, y2 = b.T
    h = y2 - y1
    return np.stack([_half(x1 + x2), _half(y1 + y2), (x2 - x1) / _floor_height(h), h], axis=-1)


def _xyah_to_xyxy(b):
    cx, cy, a, h = b.T
    hw = _half(h * a)
    hh = _half(h)
    return np.stack([cx - hw, cy - hh, cx + hw, cy + hh], axis=-1)


def _cxcywh_to_xyxy(b):
    cx, cy, w, h = b.T
    hw, hh = _half(w), _half(h)
    return np.stack([cx - hw, cy - hh, cx + hw, cy + hh], axis=-1)


REFERENCE = {
    "xyxy_to_xywh": lambda b: np.stack([b[:, 0], b[:, 1], b[:, 2] - b[:, 0], b[:, 3] - b[:, 1]], axis=-1),
    "xywh_to_xyxy": lambda b: np.stack([b[:, 0], b[:, 1], b[:, 0] + b[:, 2], b[:, 1] + b[:, 3]], axis=-1),
    "xyxy_to_cxcywh": lambda b: np.stack(
        [_half(b[:, 0] + b[:, 2]), _half(b[:, 1] + b[:, 3]), b[:, 2] - b[:, 0], b[:, 3] - b[:, 1]], axis=-1
    ),
    "cxcywh_to_xyxy": _cxcywh_to_xyxy,
    "xyxy_to_xyah": _xyxy_to_xyah,
    "xyah_to_xyxy": _xyah_to_xyxy,
    "box_area": lambda b: _clamp(b[:, 2] - b[:, 0]) * _clamp(b[:, 3] - b[:, 1]),
}
NAMES = list(REFERENCE) + ["clip_boxes"]


def _clip(b, width, height):
    out = _clamp(b.copy())
    for col, limit in ((0, width), (1, height), (2, width), (3, height)):
        out[:, col] = np.where(limit < out[:, col], limit, out[:, col])
    return out


def test_echo(fdp):
    arg = fl.array(fdp, None)
    ok, result = fl.call("echo", k.echo, arg)
    if not ok:
        fl.check(isinstance(result, TypeError), "echo: raised other than TypeError", arg, result)
        return
    seen = fl.as_float64(arg)
    fl.check(
        seen is not None and type(result) is np.ndarray and result.dtype == np.float64 and result.flags.c_contiguous,
        "echo: not a C-contiguous float64 array",
        arg,
        result,
    )
    fl.check(fl.same_bits(result, seen), "echo: values or shape changed", arg, result)


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 15) == 0:
        test_echo(fdp)
        return
    name = NAMES[fdp.ConsumeIntInRange(0, len(NAMES) - 1)]
    n = fdp.ConsumeIntInRange(0, 6)
    shape = (4,) if fdp.ConsumeIntInRange(0, 3) == 0 else (n, 4)
    boxes = fl.array(fdp, shape)
    before = fl.snapshot(boxes)
    fn = getattr(k, name)
    args = (boxes,)
    if name == "clip_boxes":
        args = (boxes, fl.float_arg(fdp), fl.float_arg(fdp))
    with np.errstate(all="ignore"):
        ok, result = fl.call(name, fn, *args)
    fl.check_unchanged(boxes, before, name)

    seen = fl.as_float64(boxes)
    valid_shape = seen is not None and (seen.shape == (4,) or (seen.ndim == 2 and seen.shape[1] == 4))
    if not ok:
        # A well-formed array must not be refused; anything else is refused with the
        # documented types only (checked by fl.call).
        if valid_shape and isinstance(boxes, np.ndarray) and boxes.dtype != object and name != "clip_boxes":
            raise fl.Finding(f"{name}: valid {boxes.dtype} input {boxes.shape} refused: {result!r}")
        return
    fl.check(seen is not None and valid_shape, f"{name}: accepted an input of unexpected form", boxes)
    rows = seen.reshape(-1, 4)
    if name == "box_area":
        expected_shape = () if seen.ndim == 1 else (rows.shape[0],)
    else:
        expected_shape = seen.shape
    fl.check_float_result(result, expected_shape, name, boxes)

    with np.errstate(all="ignore"):
        if name == "clip_boxes":
            width, height = (float(a) for a in args[1:])
            expected = _clip(rows, width, height)
        else:
            expected = REFERENCE[name](rows)
    fl.check(
        fl.same_bits(result.reshape(expected.shape), expected),
        f"{name}: result differs from the formula",
        rows,
        result,
        expected,
    )


if __name__ == "__main__":
    fl.run(test_one_input)

"""Fuzz target: the MOTChallenge results writer, kelmora_tools._native.format_results through
mot_files.format_results, against Python's formatting of the same values (results_values, then
f"{value:.2f}" and f"{score:.4f}", as format_results' own fallback writes them).

The text must be the same, character for character; the native writer may decline (huge or
non-finite values), and then the fallback must be what it writes. Values include halves at the
rounding digit, -0.0, subnormals, NaN, infinities and magnitudes on both sides of the largest value
the native writer takes (2**52 once scaled).
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np

from kelmora_tools import _native, mot_files

INT64 = np.iinfo(np.int64)


def python_text(frames, ids, xyxy, scores):
    xywh, conf = mot_files.results_values(xyxy, scores)
    return "".join(
        f"{f},{i},{b[0]:.2f},{b[1]:.2f},{b[2]:.2f},{b[3]:.2f},{c:.4f},-1,-1,-1\n"
        for f, i, b, c in zip(frames.tolist(), ids.tolist(), xywh.tolist(), conf.tolist())
    )


def coordinate(fdp, spread):
    """A value near a rounding edge, near the native writer's limit, at any magnitude, or any float:
    of the first `spread` + 1 of these kinds, so that some inputs stay within the native writer's range."""
    kind = fdp.ConsumeIntInRange(0, spread)
    if kind == 0:
        # k / 10**d + a half at the last written digit, to within a few units in the last place.
        value = fdp.ConsumeIntInRange(-(10**8), 10**8) / 10 ** fdp.ConsumeIntInRange(0, 4) + 0.005
        toward = np.inf if fdp.ConsumeBool() else -np.inf
        for _ in range(fdp.ConsumeIntInRange(0, 2)):
            value = np.nextafter(value, toward)
        return float(value)
    if kind == 1:
        # Around 2**52 / 100 and 2**52 / 10**4, where the native writer stops.
        sign = 1.0 if fdp.ConsumeBool() else -1.0
        return sign * fdp.ConsumeFloatInRange(0.5, 1.5) * 2.0**52 / 10 ** fdp.ConsumeIntInRange(1, 5)
    if kind == 2:
        return fdp.ConsumeFloatInRange(-1.0, 1.0) * 10.0 ** fdp.ConsumeIntInRange(-320, 308)
    return fl.scalar(fdp)


def integers(fdp, n):
    kind = fdp.ConsumeIntInRange(0, 2)
    if kind == 0:
        return np.array([fdp.ConsumeIntInRange(INT64.min, INT64.max) for _ in range(n)], dtype=np.int64)
    return np.array([fdp.ConsumeIntInRange(-5, 10**6) for _ in range(n)], dtype=np.int64)


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    n = fdp.ConsumeIntInRange(0, 12)
    frames, ids = integers(fdp, n), integers(fdp, n)
    spread = fdp.ConsumeIntInRange(0, 3)
    xyxy = np.array([coordinate(fdp, spread) for _ in range(4 * n)], dtype=np.float64).reshape(n, 4)
    if fdp.ConsumeBool():
        # Corner boxes as a tracker reports them: x1 <= x2 and y1 <= y2.
        xyxy = np.hstack([np.minimum(xyxy[:, :2], xyxy[:, 2:]), np.maximum(xyxy[:, :2], xyxy[:, 2:])])
    scores = np.array([coordinate(fdp, spread) for _ in range(n)], dtype=np.float64)
    with np.errstate(all="ignore"):
        native = _native.format_results(frames, ids, np.ascontiguousarray(xyxy), scores)
        fl.note("native", native if native is None else np.empty(len(native)))
        text = mot_files.format_results(frames, ids, xyxy, scores)
        want = python_text(frames, ids, xyxy, scores)
    fl.check(native is None or native == text, "format_results did not write the native text", native, text)
    fl.check(text == want, "format_results differs from Python's formatting", frames, ids, xyxy, scores, text, want)


if __name__ == "__main__":
    fl.run(test_one_input)

"""Box conversions, areas, clipping and the IoU/GIoU matrices."""

from __future__ import annotations

import re

import numpy as np
import pytest
from conftest import assert_bits_equal

import kelmora_cpp as k

CONVERSIONS = ["xyxy_to_xywh", "xywh_to_xyxy", "xyxy_to_cxcywh", "cxcywh_to_xyxy", "xyxy_to_xyah", "xyah_to_xyxy"]
STRICT = CONVERSIONS + ["box_area", "clip_boxes"]


def call(name, boxes):
    fn = getattr(k, name)
    return fn(boxes, 640.0, 480.0) if name == "clip_boxes" else fn(boxes)


def reference(name: str, b: np.ndarray) -> np.ndarray:
    """The operation sequences written out with NumPy (each operation rounded on its own)."""
    x1, y1, x2, y2 = b[:, 0], b[:, 1], b[:, 2], b[:, 3]
    if name == "xyxy_to_xywh":
        return np.stack([x1, y1, x2 - x1, y2 - y1], 1)
    if name == "xywh_to_xyxy":
        return np.stack([x1, y1, x1 + x2, y1 + y2], 1)
    if name == "xyxy_to_cxcywh":
        return np.stack([(x1 + x2) * 0.5, (y1 + y2) * 0.5, x2 - x1, y2 - y1], 1)
    if name == "cxcywh_to_xyxy":
        hw, hh = x2 * 0.5, y2 * 0.5
        return np.stack([x1 - hw, y1 - hh, x1 + hw, y1 + hh], 1)
    if name == "xyxy_to_xyah":
        h = y2 - y1
        d = np.where(1e-7 > h, 1e-7, h)
        return np.stack([(x1 + x2) * 0.5, (y1 + y2) * 0.5, (x2 - x1) / d, h], 1)
    if name == "xyah_to_xyxy":
        hw, hh = (y2 * x2) * 0.5, y2 * 0.5
        return np.stack([x1 - hw, y1 - hh, x1 + hw, y1 + hh], 1)
    raise AssertionError(name)


def reference_overlap(a: np.ndarray, b: np.ndarray, generalised: bool) -> np.ndarray:
    def clamp(v):
        return np.where(0.0 > v, 0.0, v)

    def guard(v):
        return np.where(1e-7 > v, 1e-7, v)

    A, B = a[:, None, :], b[None, :, :]
    ix1 = np.where(B[..., 0] > A[..., 0], B[..., 0], A[..., 0])
    iy1 = np.where(B[..., 1] > A[..., 1], B[..., 1], A[..., 1])
    ix2 = np.where(A[..., 2] > B[..., 2], B[..., 2], A[..., 2])
    iy2 = np.where(A[..., 3] > B[..., 3], B[..., 3], A[..., 3])
    inter = clamp(ix2 - ix1) * clamp(iy2 - iy1)
    area_a = clamp(A[..., 3] - A[..., 1]) * clamp(A[..., 2] - A[..., 0])
    area_b = clamp(B[..., 3] - B[..., 1]) * clamp(B[..., 2] - B[..., 0])
    union = (area_a + area_b) - inter
    iou = inter / guard(union)
    if not generalised:
        return iou
    ex1 = np.where(A[..., 0] > B[..., 0], B[..., 0], A[..., 0])
    ey1 = np.where(A[..., 1] > B[..., 1], B[..., 1], A[..., 1])
    ex2 = np.where(B[..., 2] > A[..., 2], B[..., 2], A[..., 2])
    ey2 = np.where(B[..., 3] > A[..., 3], B[..., 3], A[..., 3])
    enclose = clamp(ey2 - ey1) * clamp(ex2 - ex1)
    return iou - (enclose - union) / guard(enclose)


def messy_boxes(rng: np.random.Generator, n: int) -> np.ndarray:
    """Random boxes with reversed corners, zero sizes, ties, NaN, infinities and signed zeros."""
    b = rng.uniform(-50, 50, size=(n, 4)).round(rng.integers(0, 3))
    special = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-8, 1e300])
    mask = rng.random((n, 4)) < 0.08
    b[mask] = rng.choice(special, size=mask.sum())
    b[: n // 4, 2:] = b[: n // 4, :2]  # zero-size boxes
    return b


@pytest.mark.parametrize("name", CONVERSIONS)
def test_conversions_match_the_operation_sequence(name):
    b = messy_boxes(np.random.default_rng(1), 257)
    with np.errstate(all="ignore"):
        want = reference(name, b)
    assert_bits_equal(getattr(k, name)(b), want)


@pytest.mark.parametrize("generalised", [False, True])
@pytest.mark.parametrize("columns", [41, 42, 43, 3])  # every mix of 4-, 2- and 1-column steps
def test_overlaps_match_the_operation_sequence(generalised, columns):
    rng = np.random.default_rng(2)
    a, b = messy_boxes(rng, 37), messy_boxes(rng, columns)
    fn = k.giou_matrix if generalised else k.iou_matrix
    with np.errstate(all="ignore"):
        want = reference_overlap(a, b, generalised)
    assert_bits_equal(fn(a, b), want)


def test_conversion_examples():
    assert_bits_equal(k.xyxy_to_xywh(np.array([10.0, 20, 30, 60])), np.array([10.0, 20, 20, 40]))
    assert k.xyxy_to_xywh([[10, 20, 30, 60]]).shape == (1, 4)
    assert_bits_equal(k.xyxy_to_xyah([0, 0, 4, 0]), np.array([2.0, 0.0, 4 / 1e-7, 0.0]))
    assert_bits_equal(k.xyxy_to_xyah([0, 5, 4, 3]), np.array([2.0, 4.0, 4 / 1e-7, -2.0]))
    assert_bits_equal(k.xyah_to_xyxy([50, 40, 0.5, 20]), np.array([45.0, 30, 55, 50]))


def test_area_and_clip_examples():
    assert_bits_equal(k.box_area([[5, 5, 3, 9]]), np.array([0.0]))
    area = k.box_area([0, 0, 2, 3])
    assert area.shape == () and area[()] == 6.0
    assert_bits_equal(k.box_area(np.zeros((0, 4))), np.zeros(0))
    assert_bits_equal(k.clip_boxes([-5, -5, 120, 60], 100, 50), np.array([0.0, 0, 100, 50]))
    assert_bits_equal(k.clip_boxes([[0, 0, 100, 50]], 100, 50), np.array([[0.0, 0, 100, 50]]))
    assert_bits_equal(k.clip_boxes([1, 2, 3, 4], -1, 50), np.array([-1.0, 2, -1, 4]))
    # The second argument bounds x, the third y.
    assert_bits_equal(k.clip_boxes([700, 700, 700, 700], 640, 480), np.array([640.0, 480, 640, 480]))
    # A NaN limit sets no upper bound; a NaN coordinate stays NaN.
    assert_bits_equal(k.clip_boxes([5, np.nan, 900, 9], np.nan, 4), np.array([5.0, np.nan, 900, 4]))


def test_nan_propagates_through_every_box_function():
    box = np.array([[np.nan, 0.0, 1.0, 1.0]])
    for name in CONVERSIONS:
        assert np.isnan(getattr(k, name)(box)[0]).any()
    assert np.isnan(k.box_area(box)[0])


@pytest.mark.parametrize(
    "a, b, iou, giou",
    [
        ([0, 0, 2, 2], [1, 1, 3, 3], 1 / 7, 1 / 7 - 2 / 9),
        ([0, 0, 1, 1], [2, 2, 3, 3], 0.0, 0 - (9 - 2) / 9),
        ([1, 2, 5, 9], [1, 2, 5, 9], 1.0, 1.0),
        ([1, 2, 1, 9], [1, 2, 1, 9], 0.0, 0.0),
    ],
)
def test_overlap_examples(a, b, iou, giou):
    assert k.iou_matrix(a, b)[0, 0] == iou
    assert k.giou_matrix(a, b)[0, 0] == giou


@pytest.mark.parametrize("fn", [k.iou_matrix, k.giou_matrix])
@pytest.mark.parametrize(
    "a, b, shape",
    [
        ([0, 0, 1, 1], [0, 0, 1, 1], (1, 1)),
        (np.arange(8.0), np.ones((3, 4)), (2, 3)),
        (np.zeros((0, 4)), np.ones((5, 4)), (0, 5)),
        (np.zeros(0), np.ones((5, 4)), (0, 5)),
        (np.ones((3, 4)), np.zeros((0, 4)), (3, 0)),
        (np.zeros(0), np.zeros(0), (0, 0)),
    ],
)
def test_overlap_shapes(fn, a, b, shape):
    assert fn(a, b).shape == shape


def dtype_variants(values: np.ndarray):
    wide = np.zeros((values.shape[0] * 2, 6))
    wide[::2, 1:5] = values
    return [
        values,
        values.astype(np.int64),
        values.astype(np.float32),
        values.tolist(),
        wide[::2, 1:5],  # non-contiguous view
        np.asfortranarray(values),
    ]


@pytest.mark.parametrize("name", STRICT + ["iou_matrix", "giou_matrix"])
def test_results_independent_of_dtype_and_layout(name):
    values = np.array([[1.0, 2, 7, 9], [3, -4, 5, 6], [0, 0, 3, 3]])
    results = []
    for v in dtype_variants(values):
        out = getattr(k, name)(v, v) if "iou" in name else call(name, v)
        results.append(out)
    for out in results[1:]:
        assert_bits_equal(out, results[0])


def test_arguments_are_not_written():
    b = np.array([[1.0, 2, 3, 4]])
    before = b.copy()
    for name in STRICT:
        call(name, b)
    k.giou_matrix(b, b)
    assert_bits_equal(b, before)


@pytest.mark.parametrize("name", STRICT)
@pytest.mark.parametrize(
    "value, suffix",
    [
        (np.zeros(8), ": a 1-D box must have 4 values"),
        (np.zeros(0), ": a 1-D box must have 4 values"),
        (np.zeros((2, 5)), ": a 2-D box array must be (N, 4)"),
        (np.zeros((2, 2, 4)), ": expected shape (4,) or (N, 4)"),
        (3.0, ": expected shape (4,) or (N, 4)"),
        (None, ": expected shape (4,) or (N, 4)"),
    ],
)
def test_strict_box_check_messages(name, value, suffix):
    with pytest.raises(ValueError, match="^" + re.escape(name + suffix) + "$"):
        call(name, value)


@pytest.mark.parametrize("name", ["iou_matrix", "giou_matrix"])
@pytest.mark.parametrize(
    "a, b, suffix",
    [
        (np.zeros(6), np.zeros(4), ": 1-D input must be a multiple of 4"),
        (np.zeros(4), np.zeros(6), ": 1-D input must be a multiple of 4"),
        (np.zeros((2, 5)), np.zeros(6), ": a 2-D box array must be (N, 4)"),
        (np.zeros((1, 2, 4)), np.zeros(4), ": expected shape (4,) or (N, 4)"),
        (np.zeros(4), None, ": expected shape (4,) or (N, 4)"),
    ],
)
def test_flexible_box_check_messages(name, a, b, suffix):
    with pytest.raises(ValueError, match="^" + re.escape(name + suffix) + "$"):
        getattr(k, name)(a, b)


@pytest.mark.parametrize(
    "call_",
    [
        lambda: k.box_area([[1, 2, 3, 4], [1, 2]]),
        lambda: k.iou_matrix("boxes", [0, 0, 1, 1]),
        lambda: k.clip_boxes([0, 0, 1, 1], "640", 480),
        lambda: k.clip_boxes([0, 0, 1, 1], None, 480),
    ],
)
def test_unconvertible_arguments_are_type_errors(call_):
    with pytest.raises(TypeError):
        call_()

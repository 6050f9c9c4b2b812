"""build_association_cost, appearance_distance and uncertainty_distance."""

from __future__ import annotations

import math
import re

import numpy as np
import pytest
from conftest import assert_bits_equal

import kelmora_cpp as k

# --- build_association_cost: worked examples and registration -------------------------


@pytest.mark.parametrize(
    "kwargs, cost, max_cost",
    [
        ({}, [[0.19999999999999996, 1.7]], 0.7),
        ({"w_app": 0.5, "appearance": [[0.1, 0.4]]}, [[0.24999999999999994, 2.7]], 1.7),
        (
            {"w_app": 0.5, "appearance": [[0.1, 0.4]], "w_unc": 0.25, "uncertainty": [[0.2, 0.9]]},
            [[0.29999999999999993, 2.95]],
            1.95,
        ),
    ],
)
def test_worked_examples(kwargs, cost, max_cost):
    got, got_max = k.build_association_cost([[0.8, 0.2]], **kwargs)
    assert_bits_equal(got, cost)
    assert type(got_max) is float and got_max == max_cost


def test_positional_arguments_in_order():
    ious = [[0.8, 0.2]]
    by_position = k.build_association_cost(
        ious, 1.0, 0.5, 0.25, False, 0.3, None, None, None, None, [[0.1, 0.4]], [[0.2, 0.9]]
    )
    by_keyword = k.build_association_cost(
        ious, w_app=0.5, w_unc=0.25, appearance=[[0.1, 0.4]], uncertainty=[[0.2, 0.9]]
    )
    assert_bits_equal(by_position[0], by_keyword[0])
    assert by_position[1] == by_keyword[1] == 1.95


def test_signature_defaults():
    doc = k.build_association_cost.__doc__
    assert doc.startswith("build_association_cost(")
    for text in [
        "w_iou: typing.SupportsFloat | typing.SupportsIndex = 1.0",
        "= 0.0, w_unc",
        "use_giou: bool = False",
        "iou_thresh: typing.SupportsFloat | typing.SupportsIndex = 0.3",
        "motion: object = None",
        "class_mismatch: object = None",
        "gating_d2: object = None",
        "gate_thresh: object = None",
        "appearance: object = None",
        "uncertainty: object = None",
    ]:
        assert text in doc
    assert doc.strip().count("\n") == 0  # no docstring beyond the signature


# --- build_association_cost: rules --------------------------------------------------


def python_cost(
    ious,
    w_iou=1.0,
    w_app=0.0,
    w_unc=0.0,
    iou_thresh=0.3,
    motion=None,
    class_mismatch=None,
    gating_d2=None,
    gate_thresh=None,
    appearance=None,
    uncertainty=None,
):
    """The builder in plain Python floats, which round like the native doubles."""
    flat = [float(v) for v in np.ravel(ious)]
    cost = [w_iou * float(v) for v in np.ravel(motion)] if motion is not None else [(1.0 - v) * w_iou for v in flat]
    g = (1.0 - iou_thresh) * w_iou
    if w_app > 0.0 and appearance is not None:
        cost = [c + float(a) * w_app for c, a in zip(cost, np.ravel(appearance))]
        g = (w_app + w_app) + g
    if w_unc > 0.0 and uncertainty is not None:
        cost = [c + float(u) * w_unc for c, u in zip(cost, np.ravel(uncertainty))]
        g = g + w_unc
    for i, v in enumerate(flat):
        forbid = iou_thresh > v
        forbid |= class_mismatch is not None and float(np.ravel(class_mismatch)[i]) != 0.0
        forbid |= gating_d2 is not None and gate_thresh is not None and float(np.ravel(gating_d2)[i]) > gate_thresh
        if forbid:
            cost[i] = g + 1.0
    return np.array(cost).reshape(np.shape(ious)), g


@pytest.mark.parametrize("seed", range(8))
def test_random_inputs_match_the_rules_exactly(seed):
    rng = np.random.default_rng(seed)
    t, d = rng.integers(1, 7, size=2)
    ious = rng.uniform(0, 1, size=(t, d))
    kwargs = {
        "w_iou": float(rng.uniform(0.5, 2)),
        "w_app": float(rng.uniform(0, 1)),
        "w_unc": float(rng.uniform(0, 1)),
        "iou_thresh": float(rng.uniform(0.1, 0.5)),
        "motion": rng.uniform(0, 2, size=(t, d)) if seed % 2 else None,
        "class_mismatch": rng.uniform(size=(t, d)) < 0.2,
        "gating_d2": rng.uniform(0, 15, size=(t, d)),
        "gate_thresh": 9.4877,
        "appearance": rng.uniform(0, 2, size=(t, d)),
        "uncertainty": rng.uniform(0, 1, size=(t, d)),
    }
    cost, max_cost = k.build_association_cost(ious, **kwargs)
    want_cost, want_max = python_cost(ious, **kwargs)
    assert_bits_equal(cost, want_cost)
    assert max_cost == want_max


@pytest.mark.parametrize(
    "kwargs",
    [
        {"w_app": 0.5},
        {"appearance": [[0.1, 0.4]]},
        {"w_app": 0.0, "appearance": [[0.1, 0.4]]},
        {"w_app": -1.0, "appearance": [[0.1, 0.4]]},
        {"w_app": float("nan"), "appearance": [[0.1, 0.4]]},
        {"w_unc": 0.25},
        {"w_unc": -0.25, "uncertainty": [[0.2, 0.9]]},
        {"w_unc": float("nan"), "uncertainty": [[0.2, 0.9]]},
    ],
)
def test_switched_off_terms_change_nothing(kwargs):
    cost, max_cost = k.build_association_cost([[0.8, 0.2]], **kwargs)
    assert_bits_equal(cost, [[0.19999999999999996, 1.7]])
    assert max_cost == 0.7


def test_thresholds_are_strict():
    cost, max_cost = k.build_association_cost(
        [[0.3, 0.29999999999999993]], gating_d2=[[9.4877, 9.4877]], gate_thresh=9.4877
    )
    assert cost[0, 0] == (1.0 - 0.3) * 1.0
    assert cost[0, 1] == max_cost + 1.0
    cost, _ = k.build_association_cost([[0.9, 0.9]], gating_d2=[[9.4877, 9.487700000000002]], gate_thresh=9.4877)
    assert cost[0, 0] == (1.0 - 0.9) and cost[0, 1] == 0.7 + 1.0


@pytest.mark.parametrize("kwargs", [{"gating_d2": [[100.0, 100.0]]}, {"gate_thresh": 1.0}])
def test_distance_gate_needs_both_inputs(kwargs):
    cost, _ = k.build_association_cost([[0.8, 0.9]], **kwargs)
    assert_bits_equal(cost, [[1.0 - 0.8, 1.0 - 0.9]])


def test_nan_distance_does_not_forbid():
    cost, _ = k.build_association_cost([[0.8, 0.9]], gating_d2=[[np.nan, 10.0]], gate_thresh=9.0)
    assert_bits_equal(cost, [[1.0 - 0.8, 0.7 + 1.0]])


def test_nan_overlap_is_not_forbidden_and_gives_nan():
    cost, _ = k.build_association_cost([[np.nan, 0.1]])
    assert np.isnan(cost[0, 0]) and cost[0, 1] == 1.7


def test_motion_replaces_the_overlap_term_but_not_its_gate():
    cost, max_cost = k.build_association_cost([[0.8, 0.2, 0.5]], w_iou=2.0, motion=[[0.25, 0.0, 1.5]])
    assert max_cost == (1.0 - 0.3) * 2.0
    assert_bits_equal(cost, [[2.0 * 0.25, max_cost + 1.0, 2.0 * 1.5]])


@pytest.mark.parametrize("w_iou", [0.0, -1.0])
def test_w_iou_is_used_as_given(w_iou):
    cost, max_cost = k.build_association_cost([[0.8, 0.2]], w_iou=w_iou)
    assert max_cost == (1.0 - 0.3) * w_iou
    assert_bits_equal(cost, [[(1.0 - 0.8) * w_iou, max_cost + 1.0]])


def test_use_giou_is_carried_only():
    args = ([[0.8, 0.2, 0.6]],)
    kwargs = {"motion": [[0.3, 0.9, 0.5]], "w_app": 0.5, "appearance": [[0.1, 0.2, 0.3]]}
    plain = k.build_association_cost(*args, use_giou=False, **kwargs)
    giou = k.build_association_cost(*args, use_giou=True, **kwargs)
    assert_bits_equal(giou[0], plain[0])
    assert giou[1] == plain[1]


@pytest.mark.parametrize(
    "mask",
    [[[False, True]], [[0, 1]], [[0.0, 2.5]], [[0.0, np.nan]], np.array([[0, -1]], dtype=np.int8)],
)
def test_class_mismatch_forbids_set_flags(mask):
    cost, max_cost = k.build_association_cost([[0.8, 0.9]], class_mismatch=mask)
    assert_bits_equal(cost, [[1.0 - 0.8, max_cost + 1.0]])


def test_forbidden_value_replaces_every_term():
    cost, max_cost = k.build_association_cost([[0.1]], w_app=0.5, appearance=[[2.0]], w_unc=0.5, uncertainty=[[1.0]])
    assert max_cost == 0.7 + 1.0 + 0.5 and cost[0, 0] == max_cost + 1.0


@pytest.mark.parametrize("shape", [(0, 5), (3, 0), (0, 0)])
def test_empty_ious(shape):
    cost, max_cost = k.build_association_cost(
        np.zeros(shape), w_app=0.5, appearance=np.zeros(shape), w_unc=0.25, uncertainty=[]
    )
    assert cost.shape == shape and cost.dtype == np.float64
    assert max_cost == 0.7 + 1.0 + 0.25


def test_optional_matrices_are_read_in_storage_order():
    ious = [[0.8, 0.9], [0.7, 0.6]]
    flat = k.build_association_cost(ious, w_app=1.0, appearance=[0.1, 0.2, 0.3, 0.4])
    shaped = k.build_association_cost(ious, w_app=1.0, appearance=[[0.1], [0.2], [0.3], [0.4]])
    assert_bits_equal(flat[0], shaped[0])
    assert_bits_equal(flat[0], python_cost(ious, w_app=1.0, appearance=[0.1, 0.2, 0.3, 0.4])[0])


def test_dtype_and_layout_independence():
    rng = np.random.default_rng(3)
    ious = rng.uniform(size=(4, 6)).astype(np.float32)
    app = np.asfortranarray(rng.uniform(0, 2, size=(4, 6)))
    ref = k.build_association_cost(ious.astype(np.float64), w_app=0.3, appearance=np.ascontiguousarray(app))
    got = k.build_association_cost(ious, w_app=0.3, appearance=app)
    assert_bits_equal(got[0], ref[0])


def test_inputs_are_not_modified():
    ious = np.array([[0.8, 0.2]])
    motion = np.array([[0.5, 0.5]])
    before = ious.copy(), motion.copy()
    k.build_association_cost(ious, motion=motion)
    assert_bits_equal(ious, before[0])
    assert_bits_equal(motion, before[1])


@pytest.mark.parametrize("gate", [np.float32(9.0), 9, np.float64(9.0)])
def test_gate_thresh_takes_any_number(gate):
    cost, _ = k.build_association_cost([[0.8, 0.9]], gating_d2=[[9.0, 9.5]], gate_thresh=gate)
    assert_bits_equal(cost, [[1.0 - 0.8, 1.7]])


# --- build_association_cost: errors -------------------------------------------------


@pytest.mark.parametrize("ious", [[0.8, 0.2], 0.5, np.zeros((1, 2, 2)), None])
def test_ious_must_be_two_dimensional(ious):
    with pytest.raises(ValueError, match=re.escape("ious must be (T, D)")):
        k.build_association_cost(ious)


def test_ious_error_comes_before_anything_else():
    with pytest.raises(ValueError, match=re.escape("ious must be (T, D)")):
        k.build_association_cost([0.8], motion=[[1, 2], [3]], gate_thresh="x")


def test_unconvertible_matrix_raises_numpys_error():
    with pytest.raises(ValueError, match="inhomogeneous"):
        k.build_association_cost([[0.8, 0.2]], motion=[[1, 2], [3]])


def test_gate_thresh_without_a_float_value_is_a_cast_error():
    with pytest.raises(RuntimeError, match="Unable to cast"):
        k.build_association_cost([[0.8, 0.2]], gating_d2=[[1, 2]], gate_thresh="x")


def test_ragged_ious_is_a_type_error():
    with pytest.raises(TypeError):
        k.build_association_cost([[0.8, 0.2], [0.1]])


@pytest.mark.parametrize("name", ["motion", "class_mismatch", "gating_d2", "appearance", "uncertainty"])
@pytest.mark.parametrize("values", [[0.5], 0.5, np.zeros((1, 5))])
def test_short_optional_matrix_is_refused(name, values):
    have = int(np.size(values))
    message = f"build_association_cost: {name} must hold T*D = 6 values, got {have}"
    kwargs = {name: values, "gate_thresh": 1.0, "w_app": 1.0, "w_unc": 1.0}
    with pytest.raises(ValueError, match=re.escape(message)):
        k.build_association_cost(np.full((2, 3), 0.5), **kwargs)


def test_short_matrix_refused_even_when_its_term_is_off():
    # The size test does not depend on the weights: an absent term is only None.
    with pytest.raises(
        ValueError, match=re.escape("build_association_cost: appearance must hold T*D = 2 values, got 1")
    ):
        k.build_association_cost([[0.8, 0.2]], appearance=[0.1])


def test_cast_error_comes_before_the_size_test():
    with pytest.raises(RuntimeError):
        k.build_association_cost([[0.8, 0.2]], motion=[0.1], gate_thresh=object())


def test_longer_optional_matrix_is_read_up_to_t_times_d():
    cost, _ = k.build_association_cost([[0.8, 0.9]], motion=[0.5, 0.25, 99.0])
    assert_bits_equal(cost, [[0.5, 0.25]])


# --- appearance_distance ------------------------------------------------------------


def python_appearance(a, b):
    """1 - <a_i, b_j> of floored unit rows, in plain Python floats (bit for bit)."""

    def unit(row):
        s = 0.0
        for x in row:
            s = s + x * x
        n = math.sqrt(s)
        den = 1e-9 if 1e-9 > n else n
        return [x / den for x in row]

    ua = [unit([float(x) for x in row]) for row in a]
    ub = [unit([float(x) for x in row]) for row in b]
    out = []
    for ra in ua:
        line = []
        for rb in ub:
            dot = 0.0
            for x, y in zip(ra, rb):
                dot = dot + x * y
            line.append(1.0 - dot)
        out.append(line)
    return np.array(out, dtype=np.float64).reshape(len(ua), len(ub))


@pytest.mark.parametrize(
    "a, b, want",
    [
        ([[1.0, 0.0]], [[1.0, 0.0]], [[0.0]]),
        ([[1.0, 0.0]], [[0.0, 1.0]], [[1.0]]),
        ([[1.0, 0.0]], [[-1.0, 0.0]], [[2.0]]),
        ([[0.0, 0.0]], [[3.0, 4.0], [0.0, 0.0]], [[1.0, 1.0]]),
        (np.zeros((2, 0)), np.zeros((3, 0)), np.ones((2, 3))),
    ],
)
def test_appearance_simple_cases(a, b, want):
    assert_bits_equal(k.appearance_distance(a, b), want)


@pytest.mark.parametrize("seed", range(6))
def test_appearance_matches_the_formula_exactly(seed):
    rng = np.random.default_rng(seed)
    t, d, dim = rng.integers(1, 6), rng.integers(1, 6), rng.integers(1, 20)
    a = rng.normal(size=(t, dim))
    b = rng.normal(size=(d, dim))
    b[0] *= 1e-12  # below the floor: divided by 1e-9, not by its norm
    got = k.appearance_distance(a, b)
    assert got.shape == (t, d)
    assert_bits_equal(got, python_appearance(a, b))


def test_appearance_scaling_keeps_distances():
    rng = np.random.default_rng(9)
    a, b = rng.normal(size=(3, 8)), rng.normal(size=(4, 8))
    np.testing.assert_allclose(k.appearance_distance(a * 37.5, b * 0.01), k.appearance_distance(a, b), atol=1e-15)


def test_appearance_nan_feature_poisons_its_row():
    got = k.appearance_distance([[np.nan, 1.0], [1.0, 0.0]], [[1.0, 0.0], [0.0, 1.0]])
    assert np.isnan(got[0]).all() and np.isfinite(got[1]).all()


def test_appearance_argument_order():
    got = k.appearance_distance(track_features=np.eye(3)[:2], det_features=np.eye(3))
    assert got.shape == (2, 3)
    assert_bits_equal(got, [[0.0, 1.0, 1.0], [1.0, 0.0, 1.0]])


@pytest.mark.parametrize("t, d", [(0, 3), (3, 0), (0, 0)])
def test_appearance_empty(t, d):
    got = k.appearance_distance(np.zeros((t, 4)), np.zeros((d, 4)))
    assert got.shape == (t, d)


@pytest.mark.parametrize(
    "a, b",
    [
        (np.zeros((3, 4)), np.zeros((2, 5))),
        (np.zeros(4), np.zeros((2, 4))),
        (np.zeros((2, 4)), np.zeros(4)),
        (np.zeros((1, 2, 4)), np.zeros((2, 4))),
        (1.0, np.zeros((2, 4))),
        (np.zeros((0, 4)), np.zeros((0, 3))),
    ],
)
def test_appearance_shape_errors(a, b):
    with pytest.raises(ValueError, match=re.escape("appearance_distance: expected (T, d) and (D, d)")):
        k.appearance_distance(a, b)


def test_appearance_dtype_independence():
    a = np.array([[1, 2, 3], [0, 0, 1]], dtype=np.int32)
    b = np.array([[3, 2, 1]], dtype=np.float32)
    assert_bits_equal(k.appearance_distance(a, b), k.appearance_distance(a.astype(float), b.astype(float)))


# --- uncertainty_distance -----------------------------------------------------------


def test_uncertainty_worked_example():
    got = k.uncertainty_distance([-1.0, 0.0, 4.7, 9.4877, 20.0], 9.4877)
    assert_bits_equal(got, [0.0, 0.0, 4.7 / 9.4877, 1.0, 1.0])


@pytest.mark.parametrize("gate", [0.0, -3.0, 1e-12])
def test_uncertainty_floor_of_the_gate(gate):
    got = k.uncertainty_distance([0.0, 1e-10, 2.0, -1.0], gate)
    assert_bits_equal(got, [0.0, 1e-10 / 1e-9, 1.0, 0.0])


@pytest.mark.parametrize("shape", [(2, 3), (), (0,), (1, 2, 2)])
def test_uncertainty_keeps_the_shape(shape):
    values = np.arange(int(np.prod(shape)), dtype=np.float64).reshape(shape)
    got = k.uncertainty_distance(values, 4.0)
    assert got.shape == shape
    assert_bits_equal(got.ravel(), [min(v / 4.0, 1.0) for v in values.ravel()])


def test_uncertainty_nan_passes_through():
    got = k.uncertainty_distance([np.nan, 1.0], 2.0)
    assert np.isnan(got[0]) and got[1] == 0.5
    assert np.isnan(k.uncertainty_distance([1.0], float("nan"))[0])


def test_uncertainty_argument_names():
    got = k.uncertainty_distance(gating_d2=np.array([[1.0, 2.0]], dtype=np.float32), gate_thresh=4)
    assert_bits_equal(got, [[0.25, 0.5]])

"""TrackerConfig, ByteTracker and the frame update."""

from __future__ import annotations

import math

import numpy as np
import pytest
from conftest import assert_bits_equal, raises_exactly
from reference_tracker import RefTracker

import kelmora_cpp as k

THRESHOLDS = "require 0 <= low_score_thresh <= high_score_thresh <= 1"
WEIGHTS = "cost weights must be non-negative"
GMC = "use_gmc is not ported in Phase 1 (global motion compensation stays in the NumPy reference); leave it False"
OCSORT = "OC-SORT (use_oru / w_ocm) is not ported in Phase 1; leave use_oru False and w_ocm 0.0"


# --- configuration -------------------------------------------------------------------------


def test_config_defaults():
    c = k.TrackerConfig()
    assert (
        c.high_score_thresh,
        c.low_score_thresh,
        c.match_iou_thresh,
        c.recovery_iou_thresh,
        c.new_track_thresh,
        c.kf_noise_scale,
        c.n_init,
        c.max_age,
    ) == (0.5, 0.1, 0.3, 0.5, 0.6, 1.0, 3, 30)
    assert type(c.n_init) is int and type(c.kf_noise_scale) is float


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(high_score_thresh=1.5), THRESHOLDS),
        (dict(low_score_thresh=-0.01), THRESHOLDS),
        (dict(low_score_thresh=0.6, high_score_thresh=0.5), THRESHOLDS),
        (dict(high_score_thresh=math.nan), THRESHOLDS),
        (dict(low_score_thresh=math.nan), THRESHOLDS),
        (dict(high_score_thresh=2.0, n_init=0), THRESHOLDS),
        (dict(n_init=0, max_age=0), "n_init must be >= 1"),
        (dict(max_age=0), "max_age must be >= 1"),
        (dict(w_iou=-1.0), WEIGHTS),
        (dict(w_ocm=-1.0), WEIGHTS),
        (dict(w_unc=-0.5, use_gmc=True), WEIGHTS),
        (dict(ocm_delta_t=0), "ocm_delta_t must be >= 1"),
        (dict(use_gmc=True, use_oru=True), GMC),
        (dict(use_oru=True), OCSORT),
        (dict(w_ocm=0.5), OCSORT),
        # Mended: a NaN weight would make every cost NaN; a zero or non-finite noise scale
        # makes every Kalman step singular.
        (dict(w_app=math.nan), WEIGHTS),
        (dict(w_iou=math.nan, use_gmc=True), WEIGHTS),
        (dict(w_ocm=math.nan), WEIGHTS),
        (dict(kf_noise_scale=0.0), "kf_noise_scale must be finite and non-zero"),
        (dict(kf_noise_scale=math.nan), "kf_noise_scale must be finite and non-zero"),
        (dict(kf_noise_scale=math.inf), "kf_noise_scale must be finite and non-zero"),
        (dict(kf_noise_scale=0.0, use_oru=True), OCSORT),
    ],
)
def test_config_validation(kwargs, message):
    with raises_exactly(ValueError, message):
        k.TrackerConfig(**kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(low_score_thresh=0.5, high_score_thresh=0.5),
        dict(low_score_thresh=0.0, high_score_thresh=1.0),
        dict(low_score_thresh=-0.0),
        dict(w_app=-0.0),
        dict(match_iou_thresh=1.5, new_track_thresh=-1.0, appearance_ema_alpha=2.0),
        dict(kf_noise_scale=-2.0),
    ],
)
def test_config_accepts(kwargs):
    k.TrackerConfig(**kwargs)


def test_config_positional_order_and_read_only():
    c = k.TrackerConfig(0.4, 0.2)
    assert (c.high_score_thresh, c.low_score_thresh) == (0.4, 0.2)
    args = [0.5, 0.1, 0.3, 0.5, 0.6, 3, 30, True, True, 1.0, 0.0, 0.0, False, 0.9, 1.0, 0.0, 3, False, False]
    k.TrackerConfig(*args, True)  # the twentieth positional argument is use_lapjv
    with pytest.raises(TypeError):
        k.TrackerConfig(*args, True, True)
    with pytest.raises(AttributeError):
        c.n_init = 5
    with pytest.raises(AttributeError):
        c.w_iou  # noqa: B018
    with pytest.raises(TypeError):
        k.TrackerConfig(n_init="3")


# --- tracker surface -----------------------------------------------------------------------


def box(x, y, w=10.0, h=20.0):
    return [x, y, x + w, y + h]


def states(tracker):
    return [a.tolist() for a in tracker.track_states()]


def test_new_tracker_and_constructor_arguments():
    t = k.ByteTracker()
    assert t.frame_index == -1
    out = t.track_states()
    assert len(out) == 5 and all(a.dtype == np.int64 and a.shape == (0,) for a in out)
    with raises_exactly(RuntimeError, ""):
        k.ByteTracker(None)
    with pytest.raises(TypeError):
        k.ByteTracker("config")
    assert k.ByteTracker.update.__doc__.rstrip().endswith(
        "Advance one frame. Returns (track_ids, xyxy, scores, class_ids)."
    )
    assert k.ByteTracker.track_states.__doc__.rstrip().endswith(
        "Return (ids, states, hits, ages, time_since_update) in track order."
    )


def test_first_frame_example():
    t = k.ByteTracker()
    ids, xyxy, scores, classes = t.update([box(0, 0), box(100, 0), box(200, 0)], [0.9, 0.55, 0.3])
    assert (ids.shape, xyxy.shape, scores.shape, classes.shape) == ((0,), (0, 4), (0,), (0,))
    assert (ids.dtype, xyxy.dtype, scores.dtype, classes.dtype) == (np.int64, np.float64, np.float64, np.int64)
    assert states(t) == [[1], [0], [1], [1], [0]]
    assert t.frame_index == 0


def test_confirmation_with_default_n_init():
    t = k.ByteTracker()
    for frame in range(3):
        ids, xyxy, scores, classes = t.update([box(10, 10)], [0.9], class_ids=[4])
        assert len(ids) == (1 if frame == 2 else 0)
    assert ids.tolist() == [1] and classes.tolist() == [4] and scores.tolist() == [0.9]
    assert np.allclose(xyxy, [box(10, 10)], atol=1e-9)
    assert states(t) == [[1], [1], [3], [3], [0]]


def test_n_init_one_confirms_at_second_detection():
    t = k.ByteTracker(k.TrackerConfig(n_init=1))
    t.update([box(0, 0)], [0.9])
    assert states(t) == [[1], [0], [1], [1], [0]]
    ids, *_ = t.update([box(0, 0)], [0.9])
    assert ids.tolist() == [1]


def test_recovery_through_a_low_score_detection():
    t = k.ByteTracker(k.TrackerConfig(n_init=1))
    t.update([box(0, 0)], [0.9])
    t.update([box(0, 0)], [0.9])
    ids, *_ = t.update(np.zeros((0, 4)), [])  # missed: confirmed tracks age, nothing is reported
    assert ids.tolist() == [] and states(t) == [[1], [1], [2], [3], [1]]
    ids, _, scores, _ = t.update([box(0, 0)], [0.3])  # low-score detection, second pass
    assert ids.tolist() == [1] and scores.tolist() == [0.3]
    assert states(t)[4] == [0]


def test_low_score_detection_never_starts_or_feeds_tentative_tracks():
    t = k.ByteTracker()
    t.update([box(0, 0)], [0.9])
    t.update([box(0, 0)], [0.3])  # the tentative track is not matched by a low-score detection
    assert states(t) == [[], [], [], [], []]


def test_confirmed_track_deleted_after_max_age():
    t = k.ByteTracker(k.TrackerConfig(n_init=1, max_age=1))
    t.update([box(0, 0)], [0.9])
    t.update([box(0, 0)], [0.9])
    t.update(np.zeros((0, 4)), [])
    assert states(t)[4] == [1]
    t.update(np.zeros((0, 4)), [])
    assert states(t) == [[], [], [], [], []]


def test_reset_and_independence():
    a, b = k.ByteTracker(), k.ByteTracker()
    for _ in range(3):
        a.update([box(0, 0), box(50, 50)], [0.9, 0.8])
    assert a.frame_index == 2 and b.frame_index == -1 and states(b) == [[], [], [], [], []]
    a.reset()
    assert a.frame_index == -1 and states(a) == [[], [], [], [], []]
    a.update([box(0, 0)], [0.9])
    assert states(a)[0] == [1]


def test_track_states_in_birth_order_new_tracks_last():
    t = k.ByteTracker(k.TrackerConfig(n_init=1))
    t.update([box(0, 0)], [0.9])
    t.update([box(0, 0), box(300, 0), box(600, 0)], [0.9, 0.7, 0.65])
    assert states(t) == [[1, 2, 3], [1, 0, 0], [2, 1, 1], [2, 1, 1], [0, 0, 0]]


# --- input step ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, message",
    [
        (([], []), "update: boxes must be (N, 4)"),
        ((np.zeros((2, 5)), [1, 1]), "update: boxes must be (N, 4)"),
        (([box(0, 0)], [0.9, 0.8]), "update: scores must have one entry per box"),
        (([box(0, 0)], [0.9], [1, 2]), "update: class_ids must have one entry per box"),
        (([box(0, 0)], [0.9], None, np.zeros(3)), "update: features must be (N, d)"),
        (([box(0, 0)], [0.9], None, np.zeros((2, 3))), "update: features must be (N, d)"),
        (([box(0, 0)] * 3 + [[5, 0, 4, 20]], [0.9] * 4), "degenerate box (x2<x1 or y2<y1)"),
        (([[0, 0, math.nan, 20], [5, 0, 4, 20]], [0.9] * 2), "degenerate box (x2<x1 or y2<y1)"),
        # Mended faults: such detections would wedge the tracker on every later frame.
        (
            ([box(0, 0), [0, 0, math.nan, 20]], [0.9] * 2),
            "update: box coordinates must be finite and at most 1e+100 in magnitude (row 1)",
        ),
        (
            ([[0, 0, math.inf, 20]], [0.9]),
            "update: box coordinates must be finite and at most 1e+100 in magnitude (row 0)",
        ),
        (
            ([[0, 0, 1e200, 20]], [0.9]),
            "update: box coordinates must be finite and at most 1e+100 in magnitude (row 0)",
        ),
        (
            ([box(0, 0), [0, 5, 10, 5]], [0.9] * 2),
            "update: boxes must have a positive height, y2 - y1 >= 1e-100 (row 1)",
        ),
        (([[0, 0, 1e-300, 1e-300]], [0.9]), "update: boxes must have a positive height, y2 - y1 >= 1e-100 (row 0)"),
        (([box(0, 0)], [0.9], None, [[1.0, math.nan]]), "update: features must be finite (row 0)"),
        (([box(0, 0)], [0.9], [math.nan]), "update: class_ids must be finite and within the signed 32-bit range"),
        (([box(0, 0)], [0.9], [2.0**31]), "update: class_ids must be finite and within the signed 32-bit range"),
        (([box(0, 0)], [0.9], [-(2.0**31) - 1]), "update: class_ids must be finite and within the signed 32-bit range"),
    ],
)
def test_input_errors_leave_the_tracker_unchanged(args, message):
    t = k.ByteTracker(k.TrackerConfig(n_init=1))
    t.update([box(0, 0)], [0.9])
    before = states(t)
    with raises_exactly(ValueError, message):
        t.update(*args)
    assert t.frame_index == 0 and states(t) == before


def test_numpy_conversion_errors_pass_through():
    t = k.ByteTracker()
    with pytest.raises(ValueError, match="inhomogeneous"):
        t.update([box(0, 0)], [0.9], class_ids=[[1], [2, 3]])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        t.update([box(0, 0)], [[0.9], [0.1, 0.2]])
    assert t.frame_index == -1


def test_accepted_input_forms():
    t = k.ByteTracker(k.TrackerConfig(n_init=1))
    t.update([[0, 0, 0, 20]], [[0.9]])  # zero width and scores of shape (N, 1)
    t.update([box(0, 0)], [[0.9]], class_ids=[2.7], features=np.zeros((1, 0)))
    t.update([box(0, 0)], [[0.9]], class_ids=[2.7], features=np.zeros((1, 0)))
    assert states(t)[0] == [2]  # the zero-width box overlaps nothing; its track was replaced
    t2 = k.ByteTracker(k.TrackerConfig(n_init=1))
    t2.update([box(0, 0), box(100, 0), box(200, 0)], [0.9] * 3)
    _, _, _, classes = t2.update([box(0, 0), box(100, 0), box(200, 0)], [0.9] * 3, class_ids=[2.7, -0.5, -1.7])
    assert classes.tolist() == [2, 0, -1]


def test_score_boundaries():
    t = k.ByteTracker(k.TrackerConfig(high_score_thresh=0.5, low_score_thresh=0.1, new_track_thresh=0.6))
    t.update([box(0, 0), box(100, 0), box(200, 0)], [0.6, 0.5999, math.nan])
    assert states(t)[0] == [1]


# --- faults mended inside the frame ----------------------------------------------------------


def test_feature_length_change_replaces_the_stored_feature():
    cfg = dict(n_init=1, w_app=0.5)
    t, ref = k.ByteTracker(k.TrackerConfig(**cfg)), RefTracker(**cfg)
    for feats in ([[1.0, 0.0, 0.0]], [[0.0, 2.0]], [[0.0, 2.0]], [[3.0, 0.0, 1.0, 0.5]], None):
        got = t.update([box(0, 0)], [0.9], features=feats)
        want = ref.update([box(0, 0)], [0.9], features=feats)
        for g, w in zip(got, want):
            assert_bits_equal(g, w)


# --- the frame update against its straightforward order --------------------------------------


def scene(seed: int, frames: int, objects: int, feature_dim: int):
    """Objects moving at constant velocity, detected with jitter, misses, low scores,
    false positives and class noise."""
    rng = np.random.default_rng(seed)
    pos = rng.uniform(0, 600, size=(objects, 2))
    vel = rng.normal(0, 4, size=(objects, 2))
    size = rng.uniform(15, 60, size=(objects, 2))
    cls = rng.integers(0, 3, size=objects)
    emb = rng.normal(size=(objects, max(feature_dim, 1)))
    for f in range(frames):
        seen = rng.random(objects) > 0.15
        xy = pos + vel * f + rng.normal(0, 1.5, size=(objects, 2))
        boxes = np.hstack([xy, xy + size + rng.normal(0, 1, size=(objects, 2))])[seen]
        scores = np.where(rng.random(objects) < 0.25, rng.uniform(0.1, 0.5, objects), rng.uniform(0.5, 1, objects))[
            seen
        ]
        classes = np.where(rng.random(objects) < 0.05, -1, cls)[seen]
        feats = (emb + rng.normal(0, 0.2, size=emb.shape))[seen, :feature_dim]
        extra = rng.integers(0, 3)
        fp = rng.uniform(0, 600, size=(extra, 2))
        boxes = np.vstack([boxes, np.hstack([fp, fp + 30])])
        scores = np.concatenate([scores, rng.uniform(0.05, 0.9, extra)])
        classes = np.concatenate([classes, rng.integers(-1, 3, extra)])
        feats = np.vstack([feats, rng.normal(size=(extra, feature_dim))])
        order = rng.permutation(len(boxes))
        yield boxes[order], scores[order], classes[order].astype(np.float64), feats[order]


@pytest.mark.parametrize(
    "cfg, with_features",
    [
        (dict(), False),
        (dict(n_init=2, max_age=5), False),
        (dict(use_giou=True, class_aware=False), False),
        (dict(w_unc=0.3, use_mahalanobis_gating=False), False),
        (dict(w_app=0.4, w_unc=0.2, appearance_ema_alpha=0.7), True),
        (dict(use_lapjv=True, w_app=0.3), True),
        (dict(use_lapjv=True, use_giou=True, n_init=1, kf_noise_scale=2.0), False),
    ],
)
def test_frame_update_matches_the_straightforward_order(cfg, with_features):
    tracker, ref = k.ByteTracker(k.TrackerConfig(**cfg)), RefTracker(**cfg)
    reported = 0
    for boxes, scores, classes, feats in scene(seed=len(cfg), frames=60, objects=12, feature_dim=6):
        features = feats if with_features else None
        got = tracker.update(boxes, scores, classes, features)
        want = ref.update(boxes, scores, classes, features)
        for g, w in zip(got, want):
            assert_bits_equal(g, w)
        for g, w in zip(tracker.track_states(), ref.track_states()):
            assert_bits_equal(g, w)
        reported += len(got[0])
    assert reported > 100  # the scene really exercises confirmed tracks

"""Fuzz target: TrackerConfig and sequences of ByteTracker.update, reset and track_states.

A fuzzed configuration (valid or not) and a few moving objects with clutter give a
sequence of frames; some frames are malformed (shapes, degenerate or non-finite boxes,
odd class ids and features, feature lengths that change between frames). After each call:
- a refused frame (ValueError) leaves frame_index and every track counter unchanged;
- an accepted frame advances frame_index by one, reports exactly the confirmed tracks
  matched in it, in ascending id order, with scores and class ids taken from the frame;
- track_states lists ascending ids, states 0 or 1 only, 1 <= hits <= ages and
  0 <= time_since_update < ages.
"""

import atheris

with atheris.instrument_imports(include=["fuzzlib"]):
    import fuzzlib as fl

import numpy as np

import kelmora_cpp as k

FLOAT_FIELDS = (
    "high_score_thresh",
    "low_score_thresh",
    "match_iou_thresh",
    "recovery_iou_thresh",
    "new_track_thresh",
    "w_iou",
    "w_app",
    "w_unc",
    "appearance_ema_alpha",
    "kf_noise_scale",
    "w_ocm",
)
INT_FIELDS = ("n_init", "max_age", "ocm_delta_t")
BOOL_FIELDS = ("use_mahalanobis_gating", "class_aware", "use_giou", "use_oru", "use_gmc", "use_lapjv")
READABLE = (
    "high_score_thresh",
    "low_score_thresh",
    "match_iou_thresh",
    "recovery_iou_thresh",
    "new_track_thresh",
    "n_init",
    "max_age",
    "kf_noise_scale",
)


def sensible_config(fdp):
    high = fdp.ConsumeFloatInRange(0.2, 0.95)
    return {
        "high_score_thresh": high,
        "low_score_thresh": fdp.ConsumeFloatInRange(0.0, high),
        "match_iou_thresh": fdp.ConsumeFloatInRange(0.0, 0.9),
        "recovery_iou_thresh": fdp.ConsumeFloatInRange(0.0, 0.9),
        "new_track_thresh": fdp.ConsumeFloatInRange(0.0, 1.0),
        "n_init": fdp.ConsumeIntInRange(1, 4),
        "max_age": fdp.ConsumeIntInRange(1, 6),
        "use_mahalanobis_gating": fdp.ConsumeBool(),
        "class_aware": fdp.ConsumeBool(),
        "w_iou": fdp.ConsumeFloatInRange(0.0, 2.0),
        "w_app": fdp.ConsumeFloatInRange(0.0, 1.0) if fdp.ConsumeBool() else 0.0,
        "w_unc": fdp.ConsumeFloatInRange(0.0, 1.0) if fdp.ConsumeBool() else 0.0,
        "use_giou": fdp.ConsumeBool(),
        "appearance_ema_alpha": fdp.ConsumeFloatInRange(0.0, 1.0),
        "kf_noise_scale": fdp.ConsumeFloatInRange(0.05, 5.0),
        "use_lapjv": fdp.ConsumeBool(),
    }


def wild_config(fdp):
    """Any subset of the twenty arguments with any values, by keyword or by position."""
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        kind = fdp.ConsumeIntInRange(0, 2)
        if kind == 0:
            kwargs[FLOAT_FIELDS[fdp.ConsumeIntInRange(0, len(FLOAT_FIELDS) - 1)]] = fl.float_arg(fdp)
        elif kind == 1:
            kwargs[INT_FIELDS[fdp.ConsumeIntInRange(0, len(INT_FIELDS) - 1)]] = fl.int_arg(fdp, -2, 5)
        else:
            kwargs[BOOL_FIELDS[fdp.ConsumeIntInRange(0, len(BOOL_FIELDS) - 1)]] = fl.bool_arg(fdp)
    return kwargs


class Scene:
    """A few objects moving at constant velocity; each frame's detections of them.

    The bulk of each frame (positions, jitter, scores, features) comes from a generator
    seeded by the input, so that even a short input gives a scene whose tracks live long
    enough to be confirmed; the input's other bytes steer the frames' shape.
    """

    def __init__(self, fdp):
        self.fdp = fdp
        self.rng = np.random.default_rng(fdp.ConsumeIntInRange(0, 2**32 - 1))
        rng = self.rng
        self.objects = []
        for _ in range(int(rng.integers(0, 6))):
            x, y = rng.uniform(0, 500, size=2)
            w, h = rng.uniform(5, 80), rng.uniform(5, 120)
            vx, vy = rng.uniform(-8, 8, size=2)
            self.objects.append([x, y, w, h, vx, vy, int(rng.integers(-1, 3))])
        self.feature_dim = int(rng.integers(0, 5))
        self.detect_rate = rng.uniform(0.5, 1.0)

    def frame(self):
        """(boxes, scores, class_ids, features, sane) for one frame."""
        fdp, rng = self.fdp, self.rng
        rows, scores, classes = [], [], []
        for obj in self.objects:
            obj[0] += obj[4]
            obj[1] += obj[5]
            if rng.uniform() > self.detect_rate:
                continue  # missed in this frame
            jx, jy = rng.uniform(-2, 2, size=2)
            rows.append([obj[0] + jx, obj[1] + jy, obj[0] + obj[2] + jx, obj[1] + obj[3] + jy])
            scores.append(rng.uniform(0.3, 1.0) if rng.uniform() < 0.8 else rng.uniform(0.0, 0.3))
            classes.append(obj[6] if rng.uniform() < 0.9 else int(rng.integers(-1, 3)))
        for _ in range(int(rng.integers(0, 3))):
            x, y = rng.uniform(0, 600, size=2)
            rows.append([x, y, x + rng.uniform(1, 60), y + rng.uniform(1, 60)])
            scores.append(rng.uniform(0.0, 1.0))
            classes.append(int(rng.integers(-1, 3)))
        order = rng.permutation(len(rows)) if fdp.ConsumeBool() else np.arange(len(rows))
        boxes = np.array([rows[i] for i in order], dtype=np.float64).reshape(-1, 4)
        scores = np.array([scores[i] for i in order], dtype=np.float64)
        class_ids = np.array([classes[i] for i in order], dtype=np.float64)
        dim = self.feature_dim if fdp.ConsumeIntInRange(0, 7) else fdp.ConsumeIntInRange(0, 4)
        features = None
        if dim and fdp.ConsumeIntInRange(0, 7):
            features = rng.normal(size=(len(order), dim))
        elif dim:
            features = fl.values(fdp, len(order) * dim, -1.0, 1.0).reshape(len(order), dim)
        sane = features is None or bool(np.all(np.isfinite(features)))
        return boxes, scores, class_ids, features, sane


def malformed(fdp, boxes, scores, class_ids, features):
    """One thing wrong (or odd but valid) with a frame."""
    n = len(boxes)
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind == 0:
        boxes = fl.array(fdp, (n, 4))
    elif kind == 1 and n:
        boxes = boxes.copy()
        boxes[fdp.ConsumeIntInRange(0, n - 1), fdp.ConsumeIntInRange(0, 3)] = fl.scalar(fdp)
    elif kind == 2:
        scores = fl.array(fdp, (n,), lo=0.0, hi=1.0)
    elif kind == 3:
        class_ids = fl.array(fdp, (n,), lo=-3.0, hi=3.0)
    elif kind == 4:
        features = fl.array(fdp, (n, fdp.ConsumeIntInRange(0, 3)), lo=-1.0, hi=1.0)
    elif kind == 5 and n:
        boxes = boxes.copy()
        row = fdp.ConsumeIntInRange(0, n - 1)
        boxes[row, 3] = boxes[row, 1]  # zero height
    elif kind == 6 and n:
        boxes = boxes.copy()
        row = fdp.ConsumeIntInRange(0, n - 1)
        boxes[row, [0, 2]] = boxes[row, [2, 0]]  # x2 < x1
    elif kind == 7:
        scores = scores.reshape(1, -1) if fdp.ConsumeBool() else scores.reshape(-1, 1)
    elif kind == 8:
        boxes = boxes.tolist()
    elif kind == 9:
        class_ids = fl.junk(fdp)
    elif kind == 10:
        features = fl.junk(fdp)
    else:
        scale = fl.SPECIAL[fdp.ConsumeIntInRange(0, len(fl.SPECIAL) - 1)]
        with np.errstate(all="ignore"):
            boxes = boxes * scale
    return boxes, scores, class_ids, features


def states_of(tracker):
    result = tracker.track_states()
    fl.check(isinstance(result, tuple) and len(result) == 5, "track_states: not a 5-tuple")
    for a in result:
        fl.check_int_result(a, 1, "track_states")
        fl.check(len(a) == len(result[0]), "track_states: arrays of different lengths")
    ids, states, hits, ages, tsu = result
    fl.check(bool(np.all(np.diff(ids) > 0)), "track_states: ids not ascending", ids)
    fl.check(bool(np.all((states == 0) | (states == 1))), "track_states: state other than 0 or 1", states)
    fl.check(bool(np.all((hits >= 1) & (hits <= ages))), "track_states: hits outside 1..ages", hits, ages)
    fl.check(bool(np.all((tsu >= 0) & (tsu < ages))), "track_states: time_since_update outside 0..ages-1", tsu, ages)
    return result


def same_states(a, b):
    return all(np.array_equal(x, y) for x, y in zip(a, b))


def check_output(result, states, scores, class_ids):
    fl.check(isinstance(result, tuple) and len(result) == 4, "update: result is not a 4-tuple")
    ids, xyxy, out_scores, out_classes = result
    fl.check_int_result(ids, 1, "update ids")
    fl.check_int_result(out_classes, 1, "update class_ids")
    fl.check_float_result(xyxy, (len(ids), 4), "update xyxy")
    fl.check_float_result(out_scores, (len(ids),), "update scores")
    fl.check(len(out_classes) == len(ids), "update: class_ids length")
    fl.check(bool(np.all(np.diff(ids) > 0)), "update: ids not ascending", ids)
    s_ids, s_states, _, _, s_tsu = states
    expected = s_ids[(s_states == 1) & (s_tsu == 0)]
    fl.check(
        np.array_equal(ids, expected), "update: reported ids are not the confirmed tracks matched now", ids, expected
    )
    given = set(np.asarray(scores, dtype=np.float64).reshape(-1).tolist())
    fl.check(
        all(s in given for s in out_scores.tolist()),
        "update: a reported score is not from this frame",
        out_scores,
        given,
    )
    if class_ids is None:
        fl.check(bool(np.all(out_classes == -1)), "update: class ids without class input", out_classes)
    else:
        allowed = set(np.trunc(np.asarray(class_ids, dtype=np.float64).reshape(-1)).astype(np.int64).tolist())
        fl.check(
            all(c in allowed for c in out_classes.tolist()),
            "update: a reported class is not from this frame",
            out_classes,
            allowed,
        )


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 9)
    if mode == 0:
        # The constructor's argument itself.
        arg = (None, "config", 3, k.KalmanBoxTracker(), object())[fdp.ConsumeIntInRange(0, 4)]
        ok, _ = fl.call("ByteTracker(arg)", k.ByteTracker, arg)
        fl.check(not ok, "ByteTracker: accepted a config that is not a TrackerConfig", arg)
        return
    kwargs = wild_config(fdp) if mode <= 2 else sensible_config(fdp)
    positional = mode <= 2 and fdp.ConsumeBool()
    if positional:
        # The values in keyword order, given by position: they land on the first fields.
        ok, config = fl.call("TrackerConfig(*args)", k.TrackerConfig, *kwargs.values())
    else:
        ok, config = fl.call("TrackerConfig", k.TrackerConfig, **kwargs)
    if not ok:
        return
    if not positional:
        for name in READABLE:
            if name in kwargs and isinstance(kwargs[name], float):
                fl.check(fl.same_bits(getattr(config, name), kwargs[name]), f"TrackerConfig.{name} reads back wrong")
    ok, tracker = fl.call("ByteTracker", k.ByteTracker, config)
    fl.check(ok, "ByteTracker: refused a TrackerConfig", tracker)
    sane_config = 0.01 <= config.kf_noise_scale <= 100.0

    scene = Scene(fdp)
    frame_index = -1
    # False once the tracker has accepted an odd frame: a track born from, say, a box
    # 1e-300 high has a covariance whose gating fails with RuntimeError in later frames.
    history_sane = True
    states = states_of(tracker)
    # An exhausted input reads as zeros: twelve plain frames.
    for _ in range(12 - fdp.ConsumeIntInRange(0, 10)):
        step = fdp.ConsumeIntInRange(0, 19)
        if step == 19:
            tracker.reset()
            frame_index = -1
            history_sane = True
            states = states_of(tracker)
            fl.check(len(states[0]) == 0 and tracker.frame_index == -1, "reset: tracker not empty")
            continue
        boxes, scores, class_ids, features, sane = scene.frame()
        if fdp.ConsumeIntInRange(0, 2) == 2:
            class_ids = None
        if step >= 15:
            boxes, scores, class_ids, features = malformed(fdp, boxes, scores, class_ids, features)
            sane = False
        args = [boxes, scores]
        if class_ids is not None or features is not None:
            args.append(class_ids)
        if features is not None:
            args.append(features)
        ok, result = fl.call("update", tracker.update, *args)
        after = states_of(tracker)
        if not ok:
            if isinstance(result, ValueError):
                fl.check(
                    tracker.frame_index == frame_index and same_states(after, states),
                    "update: a refused frame changed the tracker",
                    result,
                )
            if isinstance(result, RuntimeError):
                fl.check(
                    not (sane and history_sane and sane_config),
                    "update: RuntimeError on an ordinary frame",
                    result,
                    boxes,
                )
            frame_index = tracker.frame_index
            states = after
            continue
        history_sane = history_sane and sane
        frame_index += 1
        fl.check(
            tracker.frame_index == frame_index,
            "update: frame_index did not advance by one",
            tracker.frame_index,
            frame_index,
        )
        check_output(result, after, scores, class_ids)
        states = after


if __name__ == "__main__":
    fl.run(test_one_input)

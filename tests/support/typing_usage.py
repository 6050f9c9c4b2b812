"""Every public name of kelmora_cpp and every class member, called the way a typed caller would.

Checked with `mypy --strict` against the installed stubs (dev/check_wheel.sh) and run
as a script against the installed module. assert_type pins each result to the exact type
the stubs promise; it costs nothing at run time.
"""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import kelmora_cpp
from kelmora_cpp import ByteTracker, KalmanBoxTracker, TrackerConfig
from kelmora_tools import _native

# TrackerConfig's keywords and defaults, from the table the module's own record is generated from.
DEFAULTS = {name: default for name, _, default in _native.TRACKER_FIELDS}

F64 = NDArray[np.float64]
I64 = NDArray[np.int64]


def diagnostics() -> None:
    info = kelmora_cpp.build_info()
    assert_type(info, dict[str, str | int | bool])
    assert info["module_version"] == kelmora_cpp.__version__
    assert_type(kelmora_cpp.__version__, str)
    assert_type(kelmora_cpp.eigen_selftest(), float)
    echoed = kelmora_cpp.echo([[1.0, 2.0], [3.0, 4.0]])
    assert_type(echoed, F64)
    assert echoed.shape == (2, 2)


def geometry() -> None:
    boxes: F64 = np.array([[10.0, 20.0, 50.0, 80.0], [0.0, 0.0, 4.0, 4.0]])
    xywh = kelmora_cpp.xyxy_to_xywh(boxes)
    assert_type(xywh, F64)
    assert_type(kelmora_cpp.xywh_to_xyxy(xywh), F64)
    cxcywh = kelmora_cpp.xyxy_to_cxcywh(boxes)
    assert_type(cxcywh, F64)
    assert_type(kelmora_cpp.cxcywh_to_xyxy(cxcywh), F64)
    xyah = kelmora_cpp.xyxy_to_xyah(boxes)
    assert_type(xyah, F64)
    assert_type(kelmora_cpp.xyah_to_xyxy(xyah), F64)
    # A 1-D box gives a 0-d area; lists and tuples are accepted as array-likes.
    assert_type(kelmora_cpp.box_area((0, 0, 2, 3)), F64)
    assert_type(kelmora_cpp.box_area(boxes), F64)
    assert_type(kelmora_cpp.iou_matrix(boxes, boxes[:1]), F64)
    assert_type(kelmora_cpp.giou_matrix(a=boxes, b=[0.0, 0.0, 1.0, 1.0]), F64)
    # width and height take ints as well as floats.
    assert_type(kelmora_cpp.clip_boxes(boxes, 40, height=60.0), F64)


def assignment() -> None:
    cost: F64 = np.array([[4.0, 1.0, 3.0], [2.0, 0.0, 5.0]])
    rows, cols = kelmora_cpp.linear_assignment(cost)
    assert_type(rows, I64)
    assert_type(cols, I64)
    matches, unmatched_rows, unmatched_cols = kelmora_cpp.associate(cost, max_cost=2.5)
    assert_type(matches, I64)
    assert_type(unmatched_rows, I64)
    assert_type(unmatched_cols, I64)
    assert_type(kelmora_cpp.linear_assignment_lapjv(cost=cost), tuple[I64, I64])


def cost_terms() -> None:
    ious: F64 = np.array([[0.9, 0.1], [0.2, 0.7]])
    d2: F64 = np.array([[1.0, 30.0], [12.0, 0.5]])
    gate = kelmora_cpp.chi2_gating_threshold()
    assert_type(gate, float)
    assert_type(kelmora_cpp.chi2_gating_threshold(dof=2), float)
    unc = kelmora_cpp.uncertainty_distance(d2, gate)
    assert_type(unc, F64)
    app = kelmora_cpp.appearance_distance(
        track_features=[[1.0, 0.0], [0.0, 1.0]], det_features=[[0.6, 0.8], [1.0, 0.0]]
    )
    assert_type(app, F64)
    combined, max_cost = kelmora_cpp.build_association_cost(
        ious,
        w_iou=0.5,
        w_app=0.25,
        w_unc=0.25,
        use_giou=False,
        iou_thresh=0.3,
        motion=None,
        class_mismatch=np.zeros((2, 2), dtype=bool),
        gating_d2=d2,
        gate_thresh=gate,
        appearance=app,
        uncertainty=unc,
    )
    assert_type(combined, F64)
    assert_type(max_cost, float)
    assert_type(kelmora_cpp.build_association_cost(ious), tuple[F64, float])


def kalman() -> None:
    kf = KalmanBoxTracker()
    assert_type(KalmanBoxTracker(std_weight_position=0.05, std_weight_velocity=0.00625), KalmanBoxTracker)
    assert_type(kf.std_weight_position, float)
    assert_type(kf.std_weight_velocity, float)
    mean, cov = kf.initiate([100.0, 50.0, 0.5, 40.0])
    assert_type(mean, F64)
    assert_type(cov, F64)
    mean, cov = kf.predict(mean, cov)
    projected_mean, projected_cov = kf.project(mean=mean, covariance=cov)
    assert_type(projected_mean, F64)
    assert_type(projected_cov, F64)
    mean, cov = kf.update(mean, cov, measurement=[101.0, 51.0, 0.5, 41.0])
    measurements: F64 = np.array([[101.0, 51.0, 0.5, 41.0], [300.0, 10.0, 1.0, 20.0]])
    assert_type(kf.gating_distance(mean, cov, measurements), F64)
    batch = kf.gating_distance_batch(means=mean[np.newaxis], covariances=cov[np.newaxis], measurements=measurements)
    assert_type(batch, F64)


def tracking() -> None:
    # Every constructor argument by keyword, at its default from the tracker's field table.
    config = TrackerConfig(
        high_score_thresh=DEFAULTS["high_score_thresh"],
        low_score_thresh=DEFAULTS["low_score_thresh"],
        match_iou_thresh=DEFAULTS["match_iou_thresh"],
        recovery_iou_thresh=DEFAULTS["recovery_iou_thresh"],
        new_track_thresh=DEFAULTS["new_track_thresh"],
        n_init=DEFAULTS["n_init"],
        max_age=DEFAULTS["max_age"],
        use_mahalanobis_gating=DEFAULTS["use_mahalanobis_gating"],
        class_aware=DEFAULTS["class_aware"],
        w_iou=DEFAULTS["w_iou"],
        w_app=DEFAULTS["w_app"],
        w_unc=DEFAULTS["w_unc"],
        use_giou=DEFAULTS["use_giou"],
        appearance_ema_alpha=DEFAULTS["appearance_ema_alpha"],
        kf_noise_scale=DEFAULTS["kf_noise_scale"],
        w_ocm=DEFAULTS["w_ocm"],
        ocm_delta_t=DEFAULTS["ocm_delta_t"],
        use_oru=DEFAULTS["use_oru"],
        use_gmc=DEFAULTS["use_gmc"],
        use_lapjv=DEFAULTS["use_lapjv"],
    )
    thresholds: list[float] = [
        config.high_score_thresh,
        config.low_score_thresh,
        config.match_iou_thresh,
        config.recovery_iou_thresh,
        config.new_track_thresh,
        config.kf_noise_scale,
    ]
    assert thresholds == [0.5, 0.1, 0.3, 0.5, 0.6, 1.0]
    assert_type(config.n_init, int)
    assert_type(config.max_age, int)

    tracker = ByteTracker(config)
    assert_type(ByteTracker(), ByteTracker)
    assert_type(tracker.frame_index, int)
    boxes: F64 = np.array([[10.0, 10.0, 50.0, 90.0], [200.0, 40.0, 260.0, 160.0]])
    scores: F64 = np.array([0.9, 0.8])
    for step in range(4):
        moved = boxes + 2.0 * step
        ids, xyxy, out_scores, class_ids = tracker.update(moved, scores, class_ids=[1, 2], features=None)
        assert_type(ids, I64)
        assert_type(xyxy, F64)
        assert_type(out_scores, F64)
        assert_type(class_ids, I64)
    assert_type(tracker.update(boxes=boxes, scores=scores), tuple[I64, F64, F64, I64])
    track_ids, states, hits, ages, since_update = tracker.track_states()
    for column in (track_ids, states, hits, ages, since_update):
        assert_type(column, I64)
    assert len(track_ids) == 2
    tracker.reset()
    assert tracker.frame_index == -1


def main() -> None:
    diagnostics()
    geometry()
    assignment()
    cost_terms()
    kalman()
    tracking()
    print("typing_usage: every name of kelmora_cpp", kelmora_cpp.__version__, "called")


if __name__ == "__main__":
    main()

"""The frame update written out in its straightforward order (predict, then each pass applied
before the next runs) on top of the module's own building blocks. The native tracker computes
all passes before applying any; the tests hold the two to identical results."""

from __future__ import annotations

import math

import numpy as np

import kelmora_cpp as k
from kelmora_tools import _native

GATE = 9.4877


class RefTrack:
    def __init__(self, tid, mean, cov, class_id, score, cfg, feature):
        self.id, self.mean, self.cov = tid, mean, cov
        self.state, self.class_id, self.score = 0, class_id, score
        self.hits, self.age, self.tsu = 1, 1, 0
        self.n_init, self.max_age, self.alpha = cfg["n_init"], cfg["max_age"], cfg["appearance_ema_alpha"]
        self.feature = None if feature is None else normalise(feature.copy())


def normalise(f: np.ndarray) -> np.ndarray:
    s = 0.0
    for x in f.tolist():
        s = s + x * x
    n = math.sqrt(s)
    return f / n if n > 1e-12 else f


# TrackerConfig's keywords and defaults, from the table the module's own record is generated from.
DEFAULTS = {name: default for name, _, default in _native.TRACKER_FIELDS}


class RefTracker:
    def __init__(self, **overrides):
        self.cfg = dict(DEFAULTS, **overrides)
        s = self.cfg["kf_noise_scale"]
        self.kf = k.KalmanBoxTracker(s * 0.05, s * 0.00625)
        self.tracks: list[RefTrack] = []
        self.next_id, self.frame = 1, -1

    def update(self, boxes, scores, class_ids=None, features=None):
        cfg = self.cfg
        boxes = np.asarray(boxes, dtype=np.float64)
        scores = np.asarray(scores, dtype=np.float64).ravel()
        n = len(boxes)
        cls = [-1] * n if class_ids is None else [int(v) for v in np.asarray(class_ids, dtype=np.float64).ravel()]
        feats = None if features is None else np.asarray(features, dtype=np.float64)
        d = 0 if feats is None else feats.shape[1]
        dets = [(boxes[i], scores[i], cls[i], feats[i] if feats is not None and d > 0 else None) for i in range(n)]
        self.frame += 1
        for t in self.tracks:
            t.mean, t.cov = self.kf.predict(t.mean, t.cov)
            t.age += 1
            t.tsu += 1
        high = [x for x in dets if x[1] >= cfg["high_score_thresh"]]
        low = [x for x in dets if cfg["high_score_thresh"] > x[1] >= cfg["low_score_thresh"]]
        confirmed = [t for t in self.tracks if t.state == 1]
        tentative = [t for t in self.tracks if t.state == 0]
        m1, ur1, uc1 = self.associate_pass(confirmed, high, cfg["match_iou_thresh"], True, d)
        for r, c in m1:
            self.update_track(confirmed[r], high[c], d)
        second = [confirmed[i] for i in ur1]
        m2, ur2, _ = self.associate_pass(second, low, cfg["recovery_iou_thresh"], False, d)
        for r, c in m2:
            self.update_track(second[r], low[c], d)
        left = [high[j] for j in uc1]
        m3, ur3, uc3 = self.associate_pass(tentative, left, cfg["match_iou_thresh"], True, d)
        for r, c in m3:
            self.update_track(tentative[r], left[c], d)
        for t in [second[i] for i in ur2] + [tentative[i] for i in ur3]:
            if t.state == 0 or t.tsu > t.max_age:
                t.state = 2
        for j in uc3:
            box, score, c, f = left[j]
            if score >= cfg["new_track_thresh"]:
                mean, cov = self.kf.initiate(k.xyxy_to_xyah(box))
                self.tracks.append(RefTrack(self.next_id, mean, cov, c, score, cfg, f))
                self.next_id += 1
        self.tracks = [t for t in self.tracks if t.state != 2]
        out = [t for t in self.tracks if t.state == 1 and t.tsu == 0]
        return (
            np.array([t.id for t in out], dtype=np.int64),
            k.xyah_to_xyxy(np.array([t.mean[:4] for t in out]).reshape(-1, 4)),
            np.array([t.score for t in out], dtype=np.float64),
            np.array([t.class_id for t in out], dtype=np.int64),
        )

    def track_states(self):
        cols = [
            [t.id for t in self.tracks],
            [t.state for t in self.tracks],
            [t.hits for t in self.tracks],
            [t.age for t in self.tracks],
            [t.tsu for t in self.tracks],
        ]
        return tuple(np.array(c, dtype=np.int64) for c in cols)

    def update_track(self, t, det, d):
        box, score, c, f = det
        t.mean, t.cov = self.kf.update(t.mean, t.cov, k.xyxy_to_xyah(box))
        t.hits += 1
        t.score, t.class_id, t.tsu = score, c, 0
        if f is not None and d > 0:
            if t.feature is None or len(t.feature) != d:
                t.feature = f.copy()
            else:
                t.feature = ((1.0 - t.alpha) * f) + (t.alpha * t.feature)
            t.feature = normalise(t.feature)
        if t.state == 0 and t.hits >= t.n_init:
            t.state = 1

    def associate_pass(self, tracks, dets, thresh, gated, d):
        cfg = self.cfg
        if not tracks or not dets:
            return [], list(range(len(tracks))), list(range(len(dets)))
        tb = k.xyah_to_xyxy(np.array([t.mean[:4] for t in tracks]))
        db = np.array([x[0] for x in dets])
        ious = k.iou_matrix(tb, db)
        motion = 1.0 - k.giou_matrix(tb, db) if cfg["use_giou"] else None
        mismatch = None
        if cfg["class_aware"]:
            tc = np.array([t.class_id for t in tracks])[:, None]
            dc = np.array([x[2] for x in dets])[None, :]
            mismatch = (tc != dc) & (tc != -1) & (dc != -1)
        gate = gated and cfg["use_mahalanobis_gating"]
        d2 = None
        if gate or cfg["w_unc"] > 0.0:
            d2 = self.kf.gating_distance_batch(
                np.array([t.mean for t in tracks]), np.array([t.cov for t in tracks]), k.xyxy_to_xyah(db)
            )
        unc = k.uncertainty_distance(d2, GATE) if cfg["w_unc"] > 0.0 else None
        app = None
        if (
            cfg["w_app"] > 0.0
            and d > 0
            and all(t.feature is not None and len(t.feature) == d for t in tracks)
            and all(x[3] is not None for x in dets)
        ):
            app = k.appearance_distance(np.array([t.feature for t in tracks]), np.array([x[3] for x in dets]))
        cost, max_cost = k.build_association_cost(
            ious,
            cfg["w_iou"],
            cfg["w_app"],
            cfg["w_unc"],
            cfg["use_giou"],
            thresh,
            motion,
            mismatch,
            d2,
            GATE if gate else None,
            app,
            unc,
        )
        if not cfg["use_lapjv"]:
            matches, ur, uc = k.associate(cost, max_cost)
            return matches.tolist(), ur.tolist(), uc.tolist()
        rows, cols = k.linear_assignment_lapjv(cost)
        kept = [(r, c) for r, c in zip(rows.tolist(), cols.tolist()) if max_cost >= cost[r, c]]
        used_r, used_c = {r for r, _ in kept}, {c for _, c in kept}
        return (
            kept,
            [r for r in range(len(tracks)) if r not in used_r],
            [c for c in range(len(dets)) if c not in used_c],
        )

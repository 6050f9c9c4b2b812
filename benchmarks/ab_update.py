"""A/B comparison of two builds of the module: the same random frame streams through
ByteTracker.update in each, every output, every track_states() and every exception compared.

    python benchmarks/ab_update.py OLD_BUILD_DIR NEW_BUILD_DIR [--streams 300] [--frames 100]

Each build runs in its own interpreter (a module can be imported only once per process) and
writes one digest line per frame; the first line that differs is printed with its stream,
configuration and frame. The streams mix ties (boxes on a coarse grid, repeated boxes and
scores), clutter, empty frames, class ids, appearance features of changing length, frames
that raise, and the configurations that switch each term and each solver on.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import subprocess
import sys

CONFIGS = [
    {},
    {"n_init": 1, "max_age": 3},
    {"use_giou": True, "class_aware": False},
    {"w_unc": 0.3, "use_mahalanobis_gating": False},
    {"w_app": 0.4, "w_unc": 0.2, "appearance_ema_alpha": 0.7},
    {"use_lapjv": True, "w_app": 0.3},
    {"use_lapjv": True, "use_giou": True, "n_init": 1, "kf_noise_scale": 2.0},
    {"match_iou_thresh": 0.0, "recovery_iou_thresh": -1.0, "n_init": 1},
    {"match_iou_thresh": 1.5, "new_track_thresh": -1.0},
    {"high_score_thresh": 0.5, "low_score_thresh": 0.5, "w_iou": 0.0, "w_app": 1.0},
    {"kf_noise_scale": 1e-3, "use_giou": True, "w_unc": 1.0},
]

CHILD = r"""
import hashlib, sys
import numpy as np
import kelmora_cpp as k

configs = eval(sys.argv[1])
streams, frames = int(sys.argv[2]), int(sys.argv[3])

def frame(rng, f, objects, dim):
    kind = rng.integers(10)
    if kind == 0:
        return np.zeros((0, 4)), np.zeros(0), None, None
    if kind == 1:  # input the update refuses
        bad = rng.integers(4)
        if bad == 0:
            return np.array([[5.0, 0.0, 1.0, 10.0]]), [0.9], None, None
        if bad == 1:
            return np.array([[0.0, 0.0, np.nan, 10.0]]), [0.9], None, None
        if bad == 2:
            return np.zeros((2, 4)) + [0, 0, 1, 1], [0.9], None, None
        return np.array([[0.0, 0.0, 1.0, 1.0]]), [0.9], None, np.zeros((3, 2))
    n = objects.shape[0]
    seen = rng.random(n) > 0.15
    xy = objects[:, :2] + objects[:, 2:4] * f
    if kind == 2:  # ties: a coarse grid and repeated boxes
        xy = np.round(xy / 8.0) * 8.0
    boxes = np.hstack([xy, xy + objects[:, 4:6]])[seen]
    scores = np.round(rng.uniform(0.05, 1.0, len(boxes)), 1 if kind == 2 else 6)
    if kind == 3 and len(boxes):  # clutter
        extra = rng.uniform(0, 400, (int(rng.integers(1, 20)), 2))
        boxes = np.vstack([boxes, np.hstack([extra, extra + rng.uniform(5, 60, extra.shape)])])
        scores = np.concatenate([scores, rng.uniform(0, 1, len(extra))])
    if kind == 4 and len(boxes):
        boxes = np.vstack([boxes, boxes[: len(boxes) // 2]])
        scores = np.concatenate([scores, scores[: len(scores) // 2]])
    classes = rng.integers(-1, 3, len(boxes)).astype(float) if rng.random() < 0.7 else None
    features = None
    if dim:
        d = dim if rng.random() < 0.9 else dim + 1
        features = rng.normal(size=(len(boxes), d))
    order = rng.permutation(len(boxes))
    return (boxes[order], scores[order], None if classes is None else classes[order],
            None if features is None else features[order])

for stream in range(streams):
    cfg = configs[stream % len(configs)]
    rng = np.random.default_rng(stream)
    tracker = k.ByteTracker(k.TrackerConfig(**cfg))
    count = int(rng.integers(1, 40))
    objects = np.hstack([rng.uniform(0, 300, (count, 2)), rng.normal(0, 3, (count, 2)),
                         rng.uniform(10, 60, (count, 2))])
    dim = int(rng.integers(0, 5)) if cfg.get("w_app", 0) > 0 else 0
    for f in range(frames):
        args = frame(rng, f, objects, dim)
        digest = hashlib.sha256()
        try:
            for a in tracker.update(*args):
                digest.update(a.dtype.str.encode() + repr(a.shape).encode() + a.tobytes())
        except Exception as e:
            digest.update(f"{type(e).__name__}: {e}".encode())
        for a in tracker.track_states():
            digest.update(a.tobytes())
        digest.update(str(tracker.frame_index).encode())
        print(stream, f, digest.hexdigest()[:32])
"""


def run(build: str, streams: int, frames: int) -> list[str]:
    env = dict(os.environ, PYTHONPATH=build)
    done = subprocess.run(
        [sys.executable, "-c", CHILD, repr(CONFIGS), str(streams), str(frames)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return done.stdout.splitlines()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--streams", type=int, default=300)
    parser.add_argument("--frames", type=int, default=100)
    args = parser.parse_args()
    old = run(args.old, args.streams, args.frames)
    new = run(args.new, args.streams, args.frames)
    for a, b in zip(old, new):
        if a != b:
            stream, frame = map(int, a.split()[:2])
            print(f"differ: stream {stream} ({CONFIGS[stream % len(CONFIGS)]}), frame {frame}")
            return 1
    if len(old) != len(new):
        print("differ: the runs have different lengths")
        return 1
    digest = hashlib.sha256("\n".join(old).encode()).hexdigest()[:16]
    print(f"identical: {len(old)} frames in {args.streams} streams, digest {digest}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""ByteTracker.update per frame on steady-state synthetic scenes, against the same frame update
written in Python over the module's building blocks (reference/reference_tracker.py), and resident
memory over a long run."""

from __future__ import annotations

import time

import numpy as np
from reference_tracker import RefTracker

import kelmora_cpp
from common import Table


def steady_scene(objects: int, frames: int, seed: int = 3):
    """Objects bouncing inside a 1920x1080 frame, every one detected every frame with jitter."""
    rng = np.random.default_rng(seed)
    size = rng.uniform(20, 60, size=(objects, 2))
    pos = rng.uniform(0, 1, size=(objects, 2)) * (np.array([1920.0, 1080.0]) - size)
    vel = rng.normal(0, 3, size=(objects, 2))
    out = []
    for _ in range(frames):
        pos = pos + vel
        limit = np.array([1920.0, 1080.0]) - size
        bounce = (pos < 0) | (pos > limit)
        vel = np.where(bounce, -vel, vel)
        pos = np.clip(pos, 0, limit)
        xy = pos + rng.normal(0, 0.8, size=pos.shape)
        boxes = np.hstack([xy, xy + size])
        scores = rng.uniform(0.6, 0.95, size=objects)
        out.append((boxes, scores))
    return out


def per_frame_seconds(tracker, frames, warmup: int) -> float:
    for boxes, scores in frames[:warmup]:
        tracker.update(boxes, scores)
    samples = []
    for boxes, scores in frames[warmup:]:
        start = time.perf_counter()
        tracker.update(boxes, scores)
        samples.append(time.perf_counter() - start)
    return float(np.median(samples))


def resident_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def run() -> list[Table]:
    table = Table("ByteTracker.update per frame", "the same frame update in Python (reference/reference_tracker.py)")
    for objects in (10, 30, 100, 200, 500):
        frames = steady_scene(objects, 130)
        ours = per_frame_seconds(kelmora_cpp.ByteTracker(), frames, warmup=30)
        peer_frames = frames[:50] if objects <= 100 else frames[:40]
        peer = per_frame_seconds(RefTracker(), peer_frames, warmup=30)
        table.add(f"{objects} objects", ours, peer, f"{ours * 1e6:.1f} us/frame")

    memory = Table(
        "resident memory over 100,000 frames of a 50-object scene",
        "resident size at frame 10,000",
        unit="KiB",
        scale=1.0,
    )
    tracker = kelmora_cpp.ByteTracker()
    frames = steady_scene(50, 2000, seed=5)
    marks = {}
    for f in range(100_000):
        boxes, scores = frames[f % 2000]
        tracker.update(boxes, scores)
        if f + 1 in (10_000, 100_000):
            marks[f + 1] = resident_kib()
    # Ratio of resident sizes: 1.0 means flat.
    memory.add("RSS at frame 100,000", marks[100_000], marks[10_000], "1.0 means flat")
    return [table, memory]

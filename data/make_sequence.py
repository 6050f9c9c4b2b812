"""Writes a deterministic synthetic MOTChallenge sequence with ground truth for the demo tool.

Usage: python data/make_sequence.py [--out data/synthetic] [--frames 400] [--seed 8] [--name NAME]

The scene is a 1280x720 street seen from above at 25 frames per second: people, cars and
cyclists enter from the edges or appear inside, move at a roughly constant velocity with
some turns, cross each other and pass behind a pillar and a billboard. Objects lower in
the image are closer and larger, and hide the objects behind them. The simulated detector
misses objects, reports partly hidden ones with low scores (0.1 to 0.5), jitters boxes
and adds false positives, among them one static false object that lasts for a while.

Files written (MOTChallenge layout, frames numbered from 1, boxes in pixels):
    seqinfo.ini   name, frame rate, length and image size (there are no images)
    det/det.txt   frame, -1, bb_left, bb_top, bb_width, bb_height, conf, class, -1, -1
    gt/gt.txt     frame, id, bb_left, bb_top, bb_width, bb_height, 1, class, visibility

Class ids: 1 person, 2 car, 3 cyclist. In det.txt the class sits in the eighth column,
the first of the three world-coordinate columns that public MOTChallenge detection files
leave at -1; the demo tool reads it from there. Only NumPy is used, and one seeded
generator drives every random choice in a fixed order, so a run with the same arguments
writes the same bytes.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
from dataclasses import dataclass

import numpy as np

WIDTH = 1280
HEIGHT = 720
FRAME_RATE = 25
NAME = "kelmora-synthetic"
DEFAULT_FRAMES = 400
DEFAULT_SEED = 8

# class id -> (base height in pixels, width / height, speed range in pixels per frame)
CLASSES = {
    1: (135.0, 0.41, (1.0, 2.5)),  # person
    2: (90.0, 1.90, (3.0, 6.0)),  # car
    3: (130.0, 0.60, (2.0, 4.0)),  # cyclist
}
CLASS_P = (0.5, 0.3, 0.2)

# Static occluders in corner format, always in front of every object: a pillar and a billboard.
OCCLUDERS = np.array([[600.0, 200.0, 660.0, 720.0], [940.0, 60.0, 1120.0, 210.0]])

GRID = (np.arange(6) + 0.5) / 6.0  # 6x6 sample points per box for the visible fraction


def perspective(cy: float) -> float:
    """Scale of an object whose centre is at image row cy: far (top) objects are smaller."""
    return 0.45 + 0.55 * min(max(cy, 0.0), HEIGHT) / HEIGHT


@dataclass
class Actor:
    """One ground-truth object: its class, first frame and centre in each frame it lives."""

    cls: int
    t0: int
    centres: np.ndarray  # (n, 2), centre of frame t0 + k in row k
    size: float  # height before perspective
    aspect: float  # width / height
    hidden: tuple[int, int] | None  # frames [a, b) in which an obstacle not drawn hides it

    def box(self, frame: int) -> np.ndarray:
        cx, cy = self.centres[frame - self.t0]
        h = self.size * perspective(cy)
        w = self.aspect * h
        return np.array([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2])

    def alive(self, frame: int) -> bool:
        return self.t0 <= frame < self.t0 + len(self.centres)


def walk(
    rng: np.random.Generator,
    start: tuple[float, float],
    heading: float,
    speed: float,
    steps: int,
    size: float,
    aspect: float,
) -> np.ndarray:
    """Centres of a constant-velocity walk with heading wobble and at most one turn.

    The walk ends after `steps` frames or when the box has left the image after having
    been inside it.
    """
    turn_at = int(rng.integers(20, 200)) if rng.random() < 0.5 else -1
    turn_len = int(rng.integers(10, 30))
    turn_rate = math.radians(rng.uniform(30.0, 100.0)) * rng.choice([-1.0, 1.0]) / turn_len
    x, y = start
    entered = False
    out = []
    for k in range(steps):
        h = size * perspective(y)
        w = aspect * h
        inside = x + w / 2 > 0 and x - w / 2 < WIDTH and y + h / 2 > 0 and y - h / 2 < HEIGHT
        if inside:
            entered = True
        elif entered:
            break
        out.append((x, y))
        heading += rng.normal(0.0, 0.01)
        if turn_at <= k < turn_at + turn_len:
            heading += turn_rate
        x += speed * math.cos(heading)
        y += speed * math.sin(heading)
    return np.array(out, dtype=float).reshape(-1, 2)


def make_actor(
    rng: np.random.Generator,
    t0: int,
    frames: int,
    *,
    cls: int | None = None,
    side: str | None = None,
    y: float | None = None,
    lifetime: int | None = None,
    heading_jitter: float = 0.3,
) -> Actor:
    """An object entering from an edge (side given) or appearing inside the image (side None)."""
    if cls is None:
        cls = int(rng.choice([1, 2, 3], p=CLASS_P))
    base_h, base_aspect, (v_lo, v_hi) = CLASSES[cls]
    size = base_h * rng.uniform(0.9, 1.1)
    aspect = base_aspect * rng.uniform(0.9, 1.1)
    speed = rng.uniform(v_lo, v_hi)
    steps = frames + 1 - t0
    if side is None:
        start = (rng.uniform(120.0, WIDTH - 120.0), rng.uniform(160.0, HEIGHT - 100.0))
        heading = rng.uniform(-math.pi, math.pi)
        if lifetime is not None:
            steps = min(steps, lifetime)
    else:
        if y is None:
            y = rng.uniform(140.0, HEIGHT - 120.0)
        half_w = aspect * size * perspective(y) / 2
        inward = {"left": 0.0, "right": math.pi}[side]
        start = (-half_w + 1.0, y) if side == "left" else (WIDTH + half_w - 1.0, y)
        heading = inward + rng.uniform(-heading_jitter, heading_jitter)
    centres = walk(rng, start, heading, speed, steps, size, aspect)
    hidden = None
    if rng.random() < 0.2 and len(centres) > 60:
        a = t0 + int(rng.integers(10, len(centres) - 45))
        hidden = (a, a + int(rng.integers(8, 36)))
    return Actor(cls, t0, centres, size, aspect, hidden)


def make_actors(rng: np.random.Generator, frames: int) -> list[Actor]:
    actors = [make_actor(rng, 1, frames, lifetime=int(rng.integers(120, 400))) for _ in range(10)]
    for _ in range(18):
        t0 = int(rng.integers(1, max(2, frames - 60)))
        if rng.random() < 0.75:
            actors.append(make_actor(rng, t0, frames, side=str(rng.choice(["left", "right"]))))
        else:
            actors.append(make_actor(rng, t0, frames, lifetime=int(rng.integers(60, 250))))
    # Pairs of same-class objects walking towards each other on one line: they cross,
    # and the one behind is hidden while they overlap.
    for _ in range(4):
        t0 = int(rng.integers(1, max(2, frames - 150)))
        cls = int(rng.choice([1, 3]))
        y = rng.uniform(250.0, HEIGHT - 140.0)
        actors.append(make_actor(rng, t0, frames, cls=cls, side="left", y=y, heading_jitter=0.03))
        actors.append(
            make_actor(
                rng,
                t0 + int(rng.integers(0, 15)),
                frames,
                cls=cls,
                side="right",
                y=y + rng.uniform(-8.0, 8.0),
                heading_jitter=0.03,
            )
        )
    return [a for a in actors if len(a.centres) > 0 and a.t0 <= frames]


def visibility(boxes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Fractions of each box inside the image, and inside it and not hidden.

    A box hides the boxes whose bottom edge is higher in the image (farther away); on
    equal bottom edges the later one is in front. The occluders hide everything.
    Returns (in_image, visible), each (n,).
    """
    n = len(boxes)
    px = boxes[:, 0, None] + GRID[None, :] * (boxes[:, 2] - boxes[:, 0])[:, None]
    py = boxes[:, 1, None] + GRID[None, :] * (boxes[:, 3] - boxes[:, 1])[:, None]
    px = np.repeat(px, len(GRID), axis=1)  # (n, 36): every x with every y
    py = np.tile(py, (1, len(GRID)))
    in_image = (px >= 0) & (px < WIDTH) & (py >= 0) & (py < HEIGHT)

    def inside(rects: np.ndarray) -> np.ndarray:  # (n, 36, len(rects))
        return (
            (px[..., None] >= rects[:, 0])
            & (px[..., None] < rects[:, 2])
            & (py[..., None] >= rects[:, 1])
            & (py[..., None] < rects[:, 3])
        )

    bottom = boxes[:, 3]
    order = np.arange(n)
    front = (bottom[None, :] > bottom[:, None]) | (
        (bottom[None, :] == bottom[:, None]) & (order[None, :] > order[:, None])
    )
    covered = (inside(boxes) & front[:, None, :]).any(axis=2) | inside(OCCLUDERS).any(axis=2)
    return in_image.mean(axis=1), (in_image & ~covered).mean(axis=1)


def detect(rng: np.random.Generator, box: np.ndarray, vis: float) -> tuple[np.ndarray, float] | None:
    """The simulated detector's response to one object: (clipped xyxy box, score) or None."""
    if vis < 0.15:
        return None
    partial = vis < 0.6
    if rng.random() > (0.6 if partial else 0.96):
        return None
    if partial:
        score = 0.1 + 0.4 * (vis - 0.15) / 0.45 + rng.normal(0.0, 0.04)
        score = min(max(score, 0.1), 0.49)
    elif rng.random() < 0.04:  # motion blur: a visible object with a weak score
        score = rng.uniform(0.2, 0.5)
    else:
        score = min(max(0.6 + 0.35 * vis + rng.normal(0.0, 0.05), 0.5), 0.99)
    w, h = box[2] - box[0], box[3] - box[1]
    sigma = (0.06 if partial else 0.025) * np.array([w, h, w, h])
    out = box + rng.normal(0.0, 1.0, 4) * sigma
    out = np.clip(out, [0, 0, 0, 0], [WIDTH, HEIGHT, WIDTH, HEIGHT])
    if out[2] - out[0] < 4 or out[3] - out[1] < 4:
        return None
    return out, score


def false_positives(rng: np.random.Generator, frame: int) -> list[tuple[np.ndarray, float, int]]:
    out = []
    for _ in range(rng.poisson(1.0)):
        cls = int(rng.choice([1, 2, 3], p=CLASS_P))
        base_h, aspect, _ = CLASSES[cls]
        cx, cy = rng.uniform(0, WIDTH), rng.uniform(100, HEIGHT)
        h = base_h * perspective(cy) * rng.uniform(0.6, 1.2)
        w = aspect * h * rng.uniform(0.8, 1.2)
        box = np.clip([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2], 0, [WIDTH, HEIGHT, WIDTH, HEIGHT])
        score = rng.uniform(0.1, 0.45) if rng.random() < 0.75 else rng.uniform(0.5, 0.7)
        if box[2] - box[0] >= 4 and box[3] - box[1] >= 4:
            out.append((box, score, cls))
    # A poster of a person that the detector takes for one for a while: a false track.
    if 120 <= frame < 190 and rng.random() < 0.85:
        box = np.array([300.0, 380.0, 345.0, 490.0]) + rng.normal(0.0, 1.0, 4)
        out.append((box, rng.uniform(0.55, 0.75), 1))
    return out


def fmt(v: float, digits: int) -> str:
    # Adding 0.0 turns a rounded -0.0 into 0.0.
    return f"{round(float(v), digits) + 0.0:.{digits}f}"


def box_fields(box: np.ndarray) -> str:
    return ",".join(fmt(v, 1) for v in (box[0], box[1], box[2] - box[0], box[3] - box[1]))


def make_sequence(frames: int = DEFAULT_FRAMES, seed: int = DEFAULT_SEED, name: str = NAME) -> dict[str, str]:
    """The sequence as file contents: {"seqinfo.ini": ..., "det/det.txt": ..., "gt/gt.txt": ...}."""
    rng = np.random.default_rng(seed)
    actors = make_actors(rng, frames)
    gt_rows: list[tuple[int, int, str]] = []  # (frame, actor index, text after the id)
    det_lines: list[str] = []
    for f in range(1, frames + 1):
        alive = [i for i, a in enumerate(actors) if a.alive(f)]
        boxes = np.array([actors[i].box(f) for i in alive]).reshape(-1, 4)
        in_image, vis = visibility(boxes)
        found = []
        for k, i in enumerate(alive):
            if in_image[k] == 0.0:
                continue
            actor = actors[i]
            v = float(vis[k])
            if actor.hidden is not None:
                a, b = actor.hidden
                if a <= f < b:
                    v = 0.0 if a + 2 <= f < b - 2 else min(v, 0.35)  # two partly hidden frames at each end
            gt_rows.append((f, i, f"{box_fields(boxes[k])},1,{actor.cls},{fmt(v, 2)}"))
            hit = detect(rng, boxes[k], v)
            if hit is not None:
                found.append((hit[0], hit[1], actor.cls))
        found += false_positives(rng, f)
        for j in rng.permutation(len(found)):
            box, score, cls = found[j]
            det_lines.append(f"{f},-1,{box_fields(box)},{fmt(score, 2)},{cls},-1,-1\n")
    # Ids follow the order of first appearance; objects that never entered the image get none.
    ids: dict[int, int] = {}
    for _, i, _ in gt_rows:
        ids.setdefault(i, len(ids) + 1)
    gt_lines = [f"{f},{ids[i]},{rest}\n" for f, i, rest in sorted(gt_rows, key=lambda r: (r[0], ids[r[1]]))]
    seqinfo = (
        f"[Sequence]\nname={name}\nimDir=img1\nframeRate={FRAME_RATE}\nseqLength={frames}\n"
        f"imWidth={WIDTH}\nimHeight={HEIGHT}\nimExt=.jpg\n"
    )
    return {"seqinfo.ini": seqinfo, "det/det.txt": "".join(det_lines), "gt/gt.txt": "".join(gt_lines)}


def write_sequence(out: pathlib.Path, files: dict[str, str]) -> None:
    for rel, text in files.items():
        path = out / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("data/synthetic"))
    parser.add_argument("--frames", type=int, default=DEFAULT_FRAMES)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--name", default=NAME, help="the sequence name in seqinfo.ini (default: %(default)s)")
    args = parser.parse_args(argv)
    if args.frames < 1:
        parser.error("--frames must be >= 1")
    files = make_sequence(args.frames, args.seed, args.name)
    write_sequence(args.out, files)
    n_ids = len({line.split(",")[1] for line in files["gt/gt.txt"].splitlines()})
    print(
        f"{args.out}: {args.frames} frames, {files['det/det.txt'].count(chr(10))} detections, "
        f"{files['gt/gt.txt'].count(chr(10))} ground-truth boxes of {n_ids} objects"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

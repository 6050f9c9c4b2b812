"""Writes a MOTChallenge benchmark split for evaluation: sequences named as the benchmark names them
(MOT17-02-FRCNN, ...), ground truth with classes, zero-marked rows and visibility, and a tracker's
results.

Usage: python data/make_mot_split.py OUT [--benchmark MOT17] [--frames N] [--per-frame 33] [--seed 0]

Writes OUT/<name>/{seqinfo.ini,gt/gt.txt} and OUT-results/<name>.txt. With the defaults, the MOT17
split has the train split's 7 sequences and 5,316 frames, about 175,000 ground-truth rows and about
160,000 result rows. The ground truth holds what the benchmark's preprocessing sorts out:
pedestrians (class 1, a few zero-marked), people on vehicles (2), static people (7), distractors (8)
and reflections (12), and in MOT20 non-MOT vehicles (6). Now and then a distractor stands exactly on
a pedestrian, so that a result box overlaps both equally (a tie in the matching that decides which
results are removed), and a few frames have no ground truth or no results. One seeded generator
drives every choice, so the same arguments write the same bytes.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np

WIDTH, HEIGHT = 1920, 1080

# The train splits' sequences and lengths.
SPLITS = {
    "MOT16": {
        f"MOT16-{k:02d}": n for k, n in ((2, 600), (4, 1050), (5, 837), (9, 525), (10, 654), (11, 900), (13, 750))
    },
    "MOT17": {
        f"MOT17-{k:02d}-FRCNN": n for k, n in ((2, 600), (4, 1050), (5, 837), (9, 525), (10, 654), (11, 900), (13, 750))
    },
    "MOT20": {f"MOT20-{k:02d}": n for k, n in ((1, 429), (2, 2782), (3, 2405), (5, 3315))},
}

# Classes of the objects in view, and how often each is drawn.
CLASSES = {"MOT16": (1, 2, 7, 8, 12), "MOT17": (1, 2, 7, 8, 12), "MOT20": (1, 2, 6, 7, 8, 12)}
WEIGHTS = {"MOT16": (78, 3, 12, 5, 2), "MOT17": (78, 3, 12, 5, 2), "MOT20": (76, 3, 3, 11, 5, 2)}


def split_sequence(frames: int, per_frame: int, benchmark: str, seed: int) -> tuple[str, str]:
    """(gt.txt, results) of one sequence."""
    rng = np.random.default_rng(seed)
    classes, weights = CLASSES[benchmark], np.array(WEIGHTS[benchmark], dtype=float)
    weights /= weights.sum()
    gt: list[str] = []
    res: list[str] = []
    next_id, next_track = 1, 1
    alive: list[dict] = []
    # The tracker sees nothing for a stretch, and a stretch has no ground truth.
    blind = int(rng.integers(1, max(2, frames - 3)))
    unlabelled = int(rng.integers(1, max(2, frames - 2)))

    def spawn() -> dict:
        nonlocal next_id, next_track
        h = rng.uniform(40, 250)
        w = h * rng.uniform(0.35, 0.5)
        cls = int(rng.choice(classes, p=weights))
        static = cls == 7
        obj = dict(
            id=next_id,
            track=next_track,
            cls=cls,
            flag=0 if (cls == 1 and rng.random() < 0.05) else 1,
            x=rng.uniform(0, WIDTH - w),
            y=rng.uniform(0, HEIGHT - h),
            w=w,
            h=h,
            vx=0.0 if static else rng.normal(0, 3),
            vy=0.0 if static else rng.normal(0, 1),
            life=int(rng.integers(50, 600)),
            seen=0.6 if cls != 1 else 0.92,
        )
        next_id += 1
        next_track += 1
        return obj

    for f in range(1, frames + 1):
        for p in alive:
            p["x"] += p["vx"]
            p["y"] += p["vy"]
            p["life"] -= 1
        alive = [p for p in alive if p["life"] > 0 and -p["w"] < p["x"] < WIDTH and -p["h"] < p["y"] < HEIGHT]
        while len(alive) < per_frame:
            alive.append(spawn())
        shadow = None
        if rng.random() < 0.02:
            # A distractor on a pedestrian's very box: the result box there overlaps both equally.
            target = alive[int(rng.integers(len(alive)))]
            shadow = dict(target, id=next_id, cls=8, flag=1, of=target["id"])
            next_id += 1
        for p in alive + ([shadow] if shadow else []):
            if f != unlabelled:
                gt.append(
                    f"{f},{p['id']},{p['x']:.2f},{p['y']:.2f},{p['w']:.2f},{p['h']:.2f},{p['flag']},{p['cls']},"
                    f"{rng.uniform(0, 1):.5f}\n"
                )
            if p is shadow or f in (blind, blind + 1) or rng.random() > p["seen"]:
                continue
            jx, jy = rng.normal(0, 0.05 * p["w"]), rng.normal(0, 0.05 * p["h"])
            if shadow is not None and p["id"] == shadow["of"]:
                jx = jy = 0.0  # exactly on both
            if rng.random() < 0.003:
                p["track"] = next_track
                next_track += 1
            res.append(
                f"{f},{p['track']},{p['x'] + jx:.2f},{p['y'] + jy:.2f},{p['w']:.2f},{p['h']:.2f},"
                f"{rng.uniform(0.3, 1.0):.4f},-1,-1,-1\n"
            )
        if f not in (blind, blind + 1):
            for _ in range(rng.poisson(2.5)):
                res.append(
                    f"{f},{next_track},{rng.uniform(0, WIDTH - 50):.2f},{rng.uniform(0, HEIGHT - 120):.2f},"
                    f"50.00,120.00,{rng.uniform(0.05, 0.6):.4f},-1,-1,-1\n"
                )
                next_track += 1
    return "".join(gt), "".join(res)


def write_split(
    out: pathlib.Path, benchmark: str = "MOT17", frames: int | None = None, per_frame: int = 33, seed: int = 0
) -> tuple[pathlib.Path, pathlib.Path]:
    """Writes the split (every sequence `frames` long if given, else as long as in the benchmark);
    returns (the split folder, the results folder)."""
    results = out.with_name(out.name + "-results")
    results.mkdir(parents=True, exist_ok=True)
    for k, (name, length) in enumerate(SPLITS[benchmark].items()):
        n = frames or length
        gt, res = split_sequence(n, per_frame, benchmark, seed * 100 + k)
        (out / name / "gt").mkdir(parents=True, exist_ok=True)
        (out / name / "seqinfo.ini").write_text(
            f"[Sequence]\nname={name}\nimDir=img1\nframeRate=30\nseqLength={n}\nimWidth={WIDTH}\n"
            f"imHeight={HEIGHT}\nimExt=.jpg\n"
        )
        (out / name / "gt" / "gt.txt").write_text(gt)
        (results / f"{name}.txt").write_text(res)
    return out, results


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--benchmark", choices=sorted(SPLITS), default="MOT17")
    parser.add_argument("--frames", type=int, help="frames of every sequence (default: the benchmark's lengths)")
    parser.add_argument("--per-frame", type=int, default=33)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    write_split(args.out, args.benchmark, args.frames, args.per_frame, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

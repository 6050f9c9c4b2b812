"""A dense MOTChallenge dataset for timing the kelmora command: pedestrians walking through a 1920x1080
frame, a fixed number in view, with ground truth, a detector's output and a tracker's results.

Usage: python benchmarks/crowd_dataset.py OUT [--sequences 4] [--frames 2500] [--per-frame 40]

Writes OUT/<name>/{seqinfo.ini,gt/gt.txt,det/det.txt} and OUT-results/<name>.txt. The results are the
ground truth jittered, with some rows missing and an id switch now and then, as a decent tracker's
would be. One seeded generator drives every choice, so the same arguments write the same bytes.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np

WIDTH, HEIGHT = 1920, 1080


def crowd_sequence(frames: int, per_frame: int, seed: int) -> tuple[str, str, str]:
    """(gt.txt, det.txt, results) of one sequence."""
    rng = np.random.default_rng(seed)
    gt, det, res = [], [], []
    next_id = 1
    next_track = 100_000
    alive: list[dict] = []

    def spawn() -> dict:
        nonlocal next_id
        h = rng.uniform(40, 250)
        w = h * rng.uniform(0.35, 0.5)
        person = dict(
            id=next_id,
            track=next_id,
            x=rng.uniform(0, WIDTH - w),
            y=rng.uniform(0, HEIGHT - h),
            w=w,
            h=h,
            vx=rng.normal(0, 3),
            vy=rng.normal(0, 1),
            life=int(rng.integers(50, 600)),
        )
        next_id += 1
        return person

    for f in range(1, frames + 1):
        for p in alive:
            p["x"] += p["vx"]
            p["y"] += p["vy"]
            p["life"] -= 1
        alive = [p for p in alive if p["life"] > 0 and -p["w"] < p["x"] < WIDTH and -p["h"] < p["y"] < HEIGHT]
        while len(alive) < per_frame:
            alive.append(spawn())
        for p in alive:
            gt.append(
                f"{f},{p['id']},{p['x']:.2f},{p['y']:.2f},{p['w']:.2f},{p['h']:.2f},1,1,{rng.uniform(0, 1):.2f}\n"
            )
            if rng.random() < 0.92:
                jx, jy = rng.normal(0, 0.05 * p["w"]), rng.normal(0, 0.05 * p["h"])
                det.append(
                    f"{f},-1,{p['x'] + jx:.2f},{p['y'] + jy:.2f},{p['w'] * rng.uniform(0.9, 1.1):.2f},"
                    f"{p['h'] * rng.uniform(0.9, 1.1):.2f},{rng.uniform(0.2, 1.0):.2f},-1,-1,-1\n"
                )
                if rng.random() < 0.003:
                    p["track"] = next_track
                    next_track += 1
                res.append(
                    f"{f},{p['track']},{p['x'] + jx:.2f},{p['y'] + jy:.2f},{p['w']:.2f},{p['h']:.2f},1,-1,-1,-1\n"
                )
        for _ in range(rng.poisson(2)):
            det.append(
                f"{f},-1,{rng.uniform(0, WIDTH):.2f},{rng.uniform(0, HEIGHT):.2f},40,100,"
                f"{rng.uniform(0.05, 0.6):.2f},-1,-1,-1\n"
            )
    return "".join(gt), "".join(det), "".join(res)


def write_crowd(out: pathlib.Path, sequences: int, frames: int, per_frame: int) -> tuple[pathlib.Path, pathlib.Path]:
    """Writes the dataset; returns (the dataset folder, the results folder)."""
    results = out.with_name(out.name + "-results")
    results.mkdir(parents=True, exist_ok=True)
    for i in range(sequences):
        name = f"CROWD-{i:02d}"
        gt, det, res = crowd_sequence(frames, per_frame, 10 + i)
        seq = out / name
        (seq / "gt").mkdir(parents=True, exist_ok=True)
        (seq / "det").mkdir(parents=True, exist_ok=True)
        (seq / "seqinfo.ini").write_text(
            f"[Sequence]\nname={name}\nseqLength={frames}\nimWidth={WIDTH}\nimHeight={HEIGHT}\n"
        )
        (seq / "gt" / "gt.txt").write_text(gt)
        (seq / "det" / "det.txt").write_text(det)
        (results / f"{name}.txt").write_text(res)
    return out, results


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--sequences", type=int, default=4)
    parser.add_argument("--frames", type=int, default=2500)
    parser.add_argument("--per-frame", type=int, default=40)
    args = parser.parse_args(argv)
    write_crowd(args.out, args.sequences, args.frames, args.per_frame)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

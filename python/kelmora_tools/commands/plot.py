"""`kelmora plot`: the trajectories of a results file, optionally over its ground truth, as a PNG."""

from __future__ import annotations

import argparse
import dataclasses
import pathlib

import numpy as np

from kelmora_tools import benchmark, mot_files, outputs, plot
from kelmora_tools.commands import options
from kelmora_tools.dataset import find_sequences
from kelmora_tools.errors import UserError


def add_parser(subparsers) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "plot",
        help="draw the trajectories of a results file",
        description="Draws the track centres of a MOTChallenge results file in the image and their x over "
        "time, one colour per id, over the ground truth in grey when given.",
        epilog="example: kelmora plot results/kelmora-synthetic.txt --gt data/synthetic/gt/gt.txt --out tracks.png",
    )
    parser.add_argument("results", type=pathlib.Path, metavar="RESULTS.txt", help="a MOTChallenge results file")
    parser.add_argument("--gt", type=pathlib.Path, metavar="gt.txt", help="ground truth to draw behind the tracks")
    parser.add_argument("--out", type=pathlib.Path, required=True, metavar="FILE.png", help="the picture to write")
    options.add_benchmark(parser, "the ground truth (with --gt) and the results")
    parser.set_defaults(func=run)
    return parser


@dataclasses.dataclass(frozen=True)
class PlotSettings:
    """What `kelmora plot` was asked to do."""

    results: pathlib.Path
    gt: pathlib.Path | None
    out: pathlib.Path
    benchmark: str | None

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> PlotSettings:
        return cls(args.results, args.gt, args.out, args.benchmark)


def run(args: argparse.Namespace) -> int:
    settings = PlotSettings.from_args(args)
    results, gt_path, out = settings.results, settings.gt, settings.out
    if out.suffix.lower() != ".png":
        raise UserError(f"--out {out}: the picture is a PNG file, name it *.png")
    if settings.benchmark is not None and gt_path is None:
        raise UserError(f"--benchmark {settings.benchmark}: it decides which ground truth is drawn; give --gt too")
    found = find_sequences(gt_path, need="gt") if gt_path is not None else []
    outputs.check_outputs([("--out", out)], [results, gt_path, *(seq.info_path for seq in found)])
    res = mot_files.read_mot(results, "results")
    gt, scored = None, ""
    if gt_path is not None:
        # What the evaluation scores: the considered ground truth (pedestrians only from MOT16 on), and
        # the results less those on distractors.
        mode = benchmark.choose(settings.benchmark, [seq.name for seq in found])
        gt = mot_files.read_mot(gt_path, "gt")
        benchmark.check_ground_truth(mode, gt)
        benchmark.check_results(res)
        gt, res = benchmark.preprocess(mode, gt, res)
        # Named when it changes what is drawn: MOT15 draws every considered row.
        scored = f"{mode.describe()}, " if mode.preprocessed else ""
    n_frames = int(max(res.frames.max(initial=0), gt.frames.max(initial=0) if gt is not None else 0))
    title = f"{results.stem}: {len(np.unique(res.ids))} tracks over {n_frames} frames"
    plot.plot_trajectories(out, res, title, plot.image_size(gt_path), gt)
    print(f"kelmora plot: {scored}{len(np.unique(res.ids))} tracks, {len(res)} boxes -> {out}")
    return 0

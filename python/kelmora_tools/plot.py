"""`kelmora plot`: the trajectories of a results file, optionally over its ground truth, as a PNG."""

from __future__ import annotations

import argparse
import pathlib

import numpy as np

from kelmora_tools import motio
from kelmora_tools.dataset import read_seqinfo
from kelmora_tools.errors import UserError
from kelmora_tools.motio import Rows


def _paths(rows: Rows):
    """Per id: frames, centre x, centre y, with NaN breaks where the id was not reported."""
    centres = (rows.xyxy[:, :2] + rows.xyxy[:, 2:]) * 0.5
    for i in np.unique(rows.ids):
        sel = np.flatnonzero(rows.ids == i)
        f = rows.frames[sel].astype(float)
        cx, cy = centres[sel, 0], centres[sel, 1]
        gaps = np.flatnonzero(np.diff(f) > 1) + 1
        yield int(i), np.insert(f, gaps, np.nan), np.insert(cx, gaps, np.nan), np.insert(cy, gaps, np.nan)


def plot_trajectories(path: str | pathlib.Path, res: Rows, title: str, image_size: tuple[int, int] | None = None,
                      gt: Rows | None = None) -> None:
    """Track centres in the image plane and their x over time, one colour per track id, ground truth in
    grey behind them; written to `path` (PNG) through a temporary file."""
    import matplotlib
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(15, 5.6), layout="constrained")
    FigureCanvasAgg(fig)
    ax_xy, ax_t = fig.subplots(1, 2, width_ratios=[1.45, 1])
    # Saturated colours only: pale ones and greys would read as the ground truth behind them.
    palette = [matplotlib.colormaps[name](k) for name in ("tab10", "Dark2")
               for k in range(8 if name == "Dark2" else 10) if k != 7]
    if gt is not None:
        for _, f, cx, cy in _paths(gt):
            ax_xy.plot(cx, cy, color="0.85", lw=3.0, zorder=1, solid_capstyle="round")
            ax_t.plot(f, cx, color="0.85", lw=3.0, zorder=1, solid_capstyle="round")
    for i, f, cx, cy in _paths(res):
        colour = palette[i % len(palette)]
        ax_xy.plot(cx, cy, color=colour, lw=1.3, zorder=2)
        ax_t.plot(f, cx, color=colour, lw=1.3, zorder=2)
        last = np.flatnonzero(~np.isnan(cx))[-1]
        ax_xy.annotate(str(i), (cx[last], cy[last]), fontsize=7, color=colour, zorder=3, xytext=(2, 2),
                       textcoords="offset points")
    if image_size is not None:
        ax_xy.set_xlim(0, image_size[0])
        ax_xy.set_ylim(image_size[1], 0)
    else:
        ax_xy.invert_yaxis()
    ax_xy.set_aspect("equal")
    ax_xy.set_title("track centres in the image (ids at the last position)")
    ax_xy.set_xlabel("x (pixels)")
    ax_xy.set_ylabel("y (pixels)")
    ax_t.set_title("centre x over time")
    ax_t.set_xlabel("frame")
    ax_t.set_ylabel("x (pixels)")
    if gt is not None:
        ax_t.plot([], [], color="0.85", lw=3.0, label="ground truth")
        ax_t.legend(loc="upper right", fontsize=8)
    fig.suptitle(title)
    with motio.atomic_write(path) as tmp:
        fig.savefig(tmp, dpi=100, format="png")


def _image_size(gt_path: pathlib.Path | None) -> tuple[int, int] | None:
    """imWidth and imHeight of the seqinfo.ini of the sequence that holds gt/gt.txt, if any."""
    if gt_path is None or gt_path.parent.name != "gt":
        return None
    ini = gt_path.parent.parent / "seqinfo.ini"
    if not ini.is_file():
        return None
    info = read_seqinfo(ini)
    try:
        return int(info["imwidth"]), int(info["imheight"])
    except (KeyError, ValueError):
        return None


def add_parser(subparsers) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "plot", help="draw the trajectories of a results file",
        description="Draws the track centres of a MOTChallenge results file in the image and their x over "
                    "time, one colour per id, over the ground truth in grey when given.",
        epilog="example: kelmora plot results/kelmora-synthetic.txt --gt data/synthetic/gt/gt.txt --out tracks.png")
    parser.add_argument("results", type=pathlib.Path, metavar="RESULTS.txt", help="a MOTChallenge results file")
    parser.add_argument("--gt", type=pathlib.Path, metavar="gt.txt", help="ground truth to draw behind the tracks")
    parser.add_argument("--out", type=pathlib.Path, required=True, metavar="FILE.png", help="the picture to write")
    parser.set_defaults(func=run)
    return parser


def run(args: argparse.Namespace) -> int:
    if args.out.suffix.lower() != ".png":
        raise UserError(f"--out {args.out}: the picture is a PNG file, name it *.png")
    res = motio.read_mot(args.results)
    gt = None
    if args.gt is not None:
        gt = motio.read_mot(args.gt)
        # Rows whose "considered" flag is 0 are not objects to track.
        gt = gt.select(gt.conf.astype(np.int64) != 0)
    n_frames = int(max(res.frames.max(initial=0), gt.frames.max(initial=0) if gt is not None else 0))
    title = f"{args.results.stem}: {len(np.unique(res.ids))} tracks over {n_frames} frames"
    plot_trajectories(args.out, res, title, _image_size(args.gt), gt)
    print(f"kelmora plot: {len(np.unique(res.ids))} tracks, {len(res)} boxes -> {args.out}")
    return 0

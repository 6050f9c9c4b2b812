"""Trajectory pictures: the track centres of a results file in the image and over time, optionally over
the ground truth, as a PNG."""

from __future__ import annotations

import pathlib

import numpy as np

from kelmora_tools import outputs
from kelmora_tools.dataset import read_seqinfo, seqinfo_path
from kelmora_tools.mot_files import Rows

# Track ids are written beside their last position up to this many tracks; beyond, the labels would
# hide the picture (and cost more than the lines).
MAX_LABELS = 200


def _runs(rows: Rows) -> tuple[np.ndarray, list[np.ndarray]]:
    """The rows ordered by id and frame, cut where the id changes or skips frames: (the id of each run,
    the row indices of each run). A run is one stretch of a trajectory."""
    order = np.lexsort((rows.frames, rows.ids))
    ids, frames = rows.ids[order], rows.frames[order]
    cuts = np.flatnonzero((np.diff(ids) != 0) | (np.diff(frames) > 1)) + 1
    runs = np.split(order, cuts)
    return ids[np.concatenate(([0], cuts))] if len(order) else np.zeros(0, np.int64), runs


def _lines(rows: Rows) -> tuple[list[np.ndarray], list[np.ndarray], np.ndarray]:
    """Per run: its centres in the image (K, 2) and its centre x over time (K, 2), and the run's id."""
    centres = (rows.xyxy[:, :2] + rows.xyxy[:, 2:]) * 0.5
    run_ids, runs = _runs(rows)
    xy = [centres[r] for r in runs]
    xt = [np.column_stack([rows.frames[r].astype(float), centres[r, 0]]) for r in runs]
    return xy, xt, run_ids


def plot_trajectories(
    path: str | pathlib.Path, res: Rows, title: str, image_size: tuple[int, int] | None = None, gt: Rows | None = None
) -> None:
    """Track centres in the image plane and their x over time, one colour per track id, ground truth in
    grey behind them; written to `path` (PNG) through a temporary file. Each side is drawn as one
    collection of lines, whatever the number of tracks."""
    import matplotlib
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

    fig = Figure(figsize=(15, 5.6), layout="constrained")
    FigureCanvasAgg(fig)
    ax_xy, ax_t = fig.subplots(1, 2, width_ratios=[1.45, 1])
    # Saturated colours only: pale ones and greys would read as the ground truth behind them.
    palette = np.array(
        [
            matplotlib.colormaps[name](k)
            for name in ("tab10", "Dark2")
            for k in range(8 if name == "Dark2" else 10)
            if k != 7
        ]
    )
    if gt is not None and len(gt):
        gt_xy, gt_xt, _ = _lines(gt)
        for ax, lines in ((ax_xy, gt_xy), (ax_t, gt_xt)):
            ax.add_collection(LineCollection(lines, colors="0.85", linewidths=3.0, zorder=1, capstyle="round"))
    xy, xt, run_ids = _lines(res)
    colours = palette[run_ids % len(palette)] if len(run_ids) else palette[:0]
    for ax, lines in ((ax_xy, xy), (ax_t, xt)):
        ax.add_collection(LineCollection(lines, colors=colours, linewidths=1.3, zorder=2))
        ax.autoscale_view()
    ids = np.unique(res.ids)
    if len(ids) <= MAX_LABELS:
        last_run = {int(i): k for k, i in enumerate(run_ids)}  # the last run of each id
        for i, k in last_run.items():
            ax_xy.annotate(
                str(i),
                tuple(xy[k][-1]),
                fontsize=7,
                color=colours[k],
                zorder=3,
                xytext=(2, 2),
                textcoords="offset points",
            )
    if image_size is not None:
        ax_xy.set_xlim(0, image_size[0])
        ax_xy.set_ylim(image_size[1], 0)
    else:
        ax_xy.invert_yaxis()
    ax_xy.set_aspect("equal")
    labels = "ids at the last position" if len(ids) <= MAX_LABELS else f"no ids: more than {MAX_LABELS} tracks"
    ax_xy.set_title(f"track centres in the image ({labels})")
    ax_xy.set_xlabel("x (pixels)")
    ax_xy.set_ylabel("y (pixels)")
    ax_t.set_title("centre x over time")
    ax_t.set_xlabel("frame")
    ax_t.set_ylabel("x (pixels)")
    if gt is not None:
        ax_t.plot([], [], color="0.85", lw=3.0, label="ground truth")
        ax_t.legend(loc="upper right", fontsize=8)
    fig.suptitle(title)
    with outputs.atomic_file(path) as tmp:
        fig.savefig(tmp, dpi=100, format="png")


def image_size(gt_path: pathlib.Path | None) -> tuple[int, int] | None:
    """imWidth and imHeight of the seqinfo.ini of the sequence that holds gt/gt.txt, if it states both.

    Raises: UserError when that seqinfo.ini cannot be used (see dataset.read_seqinfo).
    """
    ini = seqinfo_path(gt_path.parent.parent) if gt_path is not None and gt_path.parent.name == "gt" else None
    return read_seqinfo(ini).image_size if ini is not None else None

"""Runs the ByteTracker over a MOTChallenge sequence as a user would, and reports what it did.

Usage:
    python tools/kelmora_demo.py [SEQ_DIR | det.txt] [--gt gt.txt] [--out DIR]
                                 [--config KEY=VALUE ...] [--frames N] [--no-classes]
                                 [--progress {auto,on,off}] [--no-plot]

SEQ_DIR is a MOTChallenge sequence folder (det/det.txt, optionally gt/gt.txt and
seqinfo.ini); a det.txt path works too, and picks up ../gt/gt.txt and ../seqinfo.ini when
the file sits in such a folder. The tracker sees every frame from 1 to the sequence length
(seqLength of seqinfo.ini, else the last frame of the files), frames without detections
included. Results go to OUT/<seq>.txt in the MOTChallenge results format
(frame, id, bb_left, bb_top, bb_width, bb_height, conf, -1, -1, -1) and a plot of the
track centres to OUT/<seq>_trajectories.png.

Class ids are read from the eighth column of det.txt (the first world-coordinate column,
-1 in public MOTChallenge detection files); a negative value means no class, and a file
without any class runs the tracker without class ids. --no-classes ignores the column.

With ground truth the tool prints MOTA, IDF1 and related CLEAR MOT and identity metrics
computed by motmetrics, matching at IoU >= 0.5; ground-truth rows whose seventh column (the
"considered" flag) is 0 are left out, and every class counts.
"""

from __future__ import annotations

import argparse
import configparser
import dataclasses
import pathlib
import re
import sys
import time

import numpy as np

PROG = "kelmora_demo"
MATCH_IOU = 0.5
LONG_SEQUENCE = 1000  # frames above which a bar is shown even when stderr is not a terminal


class DemoError(Exception):
    """A problem with the user's input or options, reported as one line without a traceback."""


@dataclasses.dataclass
class Rows:
    """Rows of a MOTChallenge text file, one box per row, sorted by frame (stable)."""

    frames: np.ndarray  # (N,) int64, numbered from 1
    ids: np.ndarray  # (N,) int64; -1 in detection files
    xyxy: np.ndarray  # (N, 4) float64, corner format in pixels, C-contiguous
    conf: np.ndarray  # (N,) float64: score, or the "considered" flag of ground truth
    class_ids: np.ndarray  # (N,) int64; -1 for no class

    def __len__(self) -> int:
        return len(self.frames)

    def select(self, mask: np.ndarray) -> Rows:
        return Rows(self.frames[mask], self.ids[mask], np.ascontiguousarray(self.xyxy[mask]),
                    self.conf[mask], self.class_ids[mask])

    def frame_bounds(self, n_frames: int) -> np.ndarray:
        """Row ranges per frame: the rows of frame f are bounds[f - 1]:bounds[f]."""
        return np.searchsorted(self.frames, np.arange(1, n_frames + 2))


@dataclasses.dataclass
class Sequence:
    name: str
    det_path: pathlib.Path
    gt_path: pathlib.Path | None
    length: int | None  # seqLength of seqinfo.ini
    image_size: tuple[int, int] | None  # (width, height)


def parse_mot(text: str, source: str = "<text>") -> Rows:
    """Parses MOTChallenge rows: frame, id, bb_left, bb_top, bb_width, bb_height[, conf[, class, ...]].

    Values are separated by commas or blanks; blank lines and lines starting with '#' are
    skipped. A missing conf reads as 1, a missing class as -1.
    Raises DemoError naming the line on a malformed row.
    """
    values: list[list[float]] = []
    for lineno, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        try:
            row = [float(v) for v in re.split(r"[,\s]+", line)]
        except ValueError:
            raise DemoError(f"{source}:{lineno}: not a list of numbers: {line!r}") from None
        if len(row) < 6:
            raise DemoError(f"{source}:{lineno}: expected at least 6 values, got {len(row)}")
        if row[0] != int(row[0]) or row[0] < 1:
            raise DemoError(f"{source}:{lineno}: frame must be a whole number >= 1, got {row[0]:g}")
        if not row[4] >= 0 or not row[5] >= 0:
            raise DemoError(f"{source}:{lineno}: box width and height must be >= 0")
        values.append(row[:8] + [1.0, -1.0][len(row[:8]) - 6:])
    table = np.array(values, dtype=float).reshape(-1, 8)
    table = table[np.argsort(table[:, 0], kind="stable")]
    left_top = table[:, 2:4]
    xyxy = np.ascontiguousarray(np.hstack([left_top, left_top + table[:, 4:6]]))
    classes = np.where(table[:, 7] >= 0, table[:, 7], -1.0)
    return Rows(table[:, 0].astype(np.int64), table[:, 1].astype(np.int64), xyxy,
                np.ascontiguousarray(table[:, 6]), classes.astype(np.int64))


def read_mot(path: pathlib.Path) -> Rows:
    try:
        text = path.read_text()
    except OSError as e:
        raise DemoError(f"cannot read {path}: {e.strerror}") from None
    return parse_mot(text, str(path))


def format_results(rows: Rows) -> str:
    """MOTChallenge results text: frame, id, bb_left, bb_top, bb_width, bb_height, conf, -1, -1, -1."""
    # Adding 0.0 after rounding turns -0.0 into 0.0.
    xywh = np.round(np.hstack([rows.xyxy[:, :2], rows.xyxy[:, 2:] - rows.xyxy[:, :2]]), 2) + 0.0
    conf = np.round(rows.conf, 4) + 0.0
    return "".join(f"{f},{i},{b[0]:.2f},{b[1]:.2f},{b[2]:.2f},{b[3]:.2f},{c:.4f},-1,-1,-1\n"
                   for f, i, b, c in zip(rows.frames.tolist(), rows.ids.tolist(), xywh, conf))


def read_seqinfo(path: pathlib.Path) -> dict[str, str]:
    parser = configparser.ConfigParser()
    try:
        parser.read_string(path.read_text(), str(path))
    except (OSError, configparser.Error) as e:
        raise DemoError(f"cannot read {path}: {e}") from None
    return dict(parser["Sequence"]) if parser.has_section("Sequence") else {}


def resolve_sequence(source: pathlib.Path, gt: pathlib.Path | None) -> Sequence:
    """Finds det.txt, ground truth and seqinfo.ini from a sequence folder or a det.txt path."""
    if source.is_dir():
        seq_dir: pathlib.Path | None = source
        det = source / "det" / "det.txt"
    else:
        det = source
        seq_dir = source.parent.parent if source.parent.name == "det" else None
    if not det.is_file():
        raise DemoError(f"no detection file at {det}")
    info = {}
    if seq_dir is not None and (seq_dir / "seqinfo.ini").is_file():
        info = read_seqinfo(seq_dir / "seqinfo.ini")
    if gt is None and seq_dir is not None and (seq_dir / "gt" / "gt.txt").is_file():
        gt = seq_dir / "gt" / "gt.txt"
    name = info.get("name") or (seq_dir.resolve().name if seq_dir is not None else det.stem)
    try:
        length = int(info["seqlength"]) if "seqlength" in info else None
        size = (int(info["imwidth"]), int(info["imheight"])) if "imwidth" in info and "imheight" in info else None
    except ValueError as e:
        raise DemoError(f"bad seqinfo.ini in {seq_dir}: {e}") from None
    return Sequence(name, det, gt, length, size)


def parse_config(items: list[str]) -> dict[str, bool | int | float]:
    """KEY=VALUE pairs for TrackerConfig: true/false are booleans, whole numbers ints, others floats."""
    options: dict[str, bool | int | float] = {}
    for item in items:
        key, sep, text = item.partition("=")
        if not sep or not key.isidentifier():
            raise DemoError(f"--config expects KEY=VALUE, got {item!r}")
        if text.lower() in ("true", "false"):
            options[key] = text.lower() == "true"
            continue
        try:
            options[key] = int(text)
        except ValueError:
            try:
                options[key] = float(text)
            except ValueError:
                raise DemoError(f"--config {key}: not a number or true/false: {text!r}") from None
    return options


def make_tracker(options: dict[str, bool | int | float]):
    import kelmora_cpp  # imported here so that the file helpers work without the built module

    try:
        config = kelmora_cpp.TrackerConfig(**options)
    except (TypeError, ValueError) as e:
        raise DemoError(f"bad --config: {e}") from None
    return kelmora_cpp.ByteTracker(config)


def run_tracker(tracker, dets: Rows, n_frames: int, use_classes: bool, progress: bool) -> tuple[Rows, float]:
    """Feeds frames 1..n_frames to the tracker; returns its output rows and the seconds spent in update."""
    bounds = dets.frame_bounds(n_frames)
    with_classes = use_classes and bool((dets.class_ids >= 0).any())
    frames = range(1, n_frames + 1)
    if progress:
        from tqdm import tqdm

        tty = sys.stderr.isatty()
        frames = tqdm(frames, desc=PROG, unit="frame", leave=not tty, mininterval=0.1 if tty else 5.0)
    out: list[tuple[int, np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []
    seconds = 0.0
    for f in frames:
        a, b = bounds[f - 1], bounds[f]
        class_ids = dets.class_ids[a:b] if with_classes else None
        try:
            start = time.perf_counter()
            ids, xyxy, scores, classes = tracker.update(dets.xyxy[a:b], dets.conf[a:b], class_ids)
            seconds += time.perf_counter() - start
        except (ValueError, RuntimeError) as e:
            raise DemoError(f"the tracker refused frame {f}: {e}") from None
        out.append((f, ids, xyxy, scores, classes))
    rows = Rows(np.concatenate([np.full(len(o[1]), o[0], np.int64) for o in out] or [np.zeros(0, np.int64)]),
                np.concatenate([o[1] for o in out] or [np.zeros(0, np.int64)]).astype(np.int64),
                np.concatenate([o[2] for o in out] or [np.zeros((0, 4))]).reshape(-1, 4),
                np.concatenate([o[3] for o in out] or [np.zeros(0)]),
                np.concatenate([o[4] for o in out] or [np.zeros(0, np.int64)]).astype(np.int64))
    return rows, seconds


def iou_distances(gt_xyxy: np.ndarray, res_xyxy: np.ndarray, min_iou: float = MATCH_IOU) -> np.ndarray:
    """1 - IoU for every (ground truth, result) pair; NaN where IoU < min_iou (no match allowed)."""
    lo = np.maximum(gt_xyxy[:, None, :2], res_xyxy[None, :, :2])
    hi = np.minimum(gt_xyxy[:, None, 2:], res_xyxy[None, :, 2:])
    inter = np.prod(np.clip(hi - lo, 0.0, None), axis=2)
    area_g = np.prod(gt_xyxy[:, 2:] - gt_xyxy[:, :2], axis=1)
    area_r = np.prod(res_xyxy[:, 2:] - res_xyxy[:, :2], axis=1)
    union = area_g[:, None] + area_r[None, :] - inter
    iou = np.divide(inter, union, out=np.zeros_like(inter), where=union > 0)
    return np.where(iou >= min_iou, 1.0 - iou, np.nan)


def evaluate(gt: Rows, res: Rows, n_frames: int) -> dict[str, float]:
    """CLEAR MOT and identity metrics of res against gt over frames 1..n_frames, by motmetrics."""
    import motmetrics as mm

    gt = gt.select((gt.conf != 0) & (gt.frames <= n_frames))
    res = res.select(res.frames <= n_frames)
    gb, rb = gt.frame_bounds(n_frames), res.frame_bounds(n_frames)
    acc = mm.MOTAccumulator(auto_id=False)
    # SciPy's solver for the per-frame matching, whatever other solvers are installed.
    with mm.lap.set_default_solver("scipy"):
        for f in range(1, n_frames + 1):
            g, r = slice(gb[f - 1], gb[f]), slice(rb[f - 1], rb[f])
            acc.update(gt.ids[g], res.ids[r], iou_distances(gt.xyxy[g], res.xyxy[r]), frameid=f)
    names = ["mota", "idf1", "motp", "num_switches", "num_false_positives", "num_misses",
             "num_fragmentations", "mostly_tracked", "mostly_lost", "num_unique_objects",
             "precision", "recall"]
    summary = mm.metrics.create().compute(acc, metrics=names, name="seq")
    return {n: float(summary[n].iloc[0]) for n in names}


def plot_trajectories(path: pathlib.Path, res: Rows, title: str, image_size: tuple[int, int] | None,
                      gt: Rows | None = None) -> None:
    """Track centres in the image plane and their x over time, one colour per track id; gt in grey."""
    import matplotlib
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(15, 5.6), layout="constrained")
    FigureCanvasAgg(fig)
    ax_xy, ax_t = fig.subplots(1, 2, width_ratios=[1.45, 1])
    # Saturated colours only: pale ones and greys would read as the ground truth behind them.
    palette = [matplotlib.colormaps[name](k) for name in ("tab10", "Dark2") for k in range(8 if name == "Dark2" else 10)
               if k != 7]

    def paths(rows: Rows):
        """Per id: frames, centre x, centre y, with NaN breaks where the id was not reported."""
        centres = (rows.xyxy[:, :2] + rows.xyxy[:, 2:]) * 0.5
        for i in np.unique(rows.ids):
            sel = np.flatnonzero(rows.ids == i)
            f = rows.frames[sel].astype(float)
            cx, cy = centres[sel, 0], centres[sel, 1]
            gaps = np.flatnonzero(np.diff(f) > 1) + 1
            yield (int(i), np.insert(f, gaps, np.nan), np.insert(cx, gaps, np.nan),
                   np.insert(cy, gaps, np.nan))

    if gt is not None:
        for _, f, cx, cy in paths(gt):
            ax_xy.plot(cx, cy, color="0.85", lw=3.0, zorder=1, solid_capstyle="round")
            ax_t.plot(f, cx, color="0.85", lw=3.0, zorder=1, solid_capstyle="round")
    for i, f, cx, cy in paths(res):
        colour = palette[i % len(palette)]
        ax_xy.plot(cx, cy, color=colour, lw=1.3, zorder=2)
        ax_t.plot(f, cx, color=colour, lw=1.3, zorder=2)
        last = np.flatnonzero(~np.isnan(cx))[-1]
        ax_xy.annotate(str(i), (cx[last], cy[last]), fontsize=7, color=colour, zorder=3,
                       xytext=(2, 2), textcoords="offset points")
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
    fig.savefig(path, dpi=100)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Run kelmora_cpp's ByteTracker over a MOTChallenge sequence.",
        epilog="example: %(prog)s data/synthetic --out demo_output --config max_age=50 new_track_thresh=0.7")
    parser.add_argument("source", type=pathlib.Path, help="sequence folder (with det/det.txt) or a det.txt file")
    parser.add_argument("--gt", type=pathlib.Path, help="ground truth (default: gt/gt.txt of the sequence, if present)")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("demo_output"),
                        help="output folder (default: %(default)s)")
    parser.add_argument("--config", nargs="+", action="extend", default=[], metavar="KEY=VALUE",
                        help="TrackerConfig keywords, e.g. high_score_thresh=0.6 max_age=50 use_lapjv=true")
    parser.add_argument("--frames", type=int, help="process only the first N frames")
    parser.add_argument("--no-classes", action="store_true", help="ignore the class column of det.txt")
    parser.add_argument("--progress", choices=["auto", "on", "off"], default="auto",
                        help=f"progress bar; auto: when stderr is a terminal or beyond {LONG_SEQUENCE} frames")
    parser.add_argument("--no-plot", action="store_true", help="skip the trajectory plot")
    return parser


def run(args: argparse.Namespace) -> None:
    if args.frames is not None and args.frames < 1:
        raise DemoError("--frames must be >= 1")
    seq = resolve_sequence(args.source, args.gt)
    options = parse_config(args.config)
    dets = read_mot(seq.det_path)
    gt = read_mot(seq.gt_path) if seq.gt_path is not None else None
    n_frames = seq.length
    if n_frames is None:
        n_frames = max(int(dets.frames.max(initial=0)), int(gt.frames.max(initial=0)) if gt is not None else 0)
    if args.frames is not None:
        n_frames = min(n_frames, args.frames) if seq.length is not None else args.frames
    dets = dets.select(dets.frames <= n_frames)
    tracker = make_tracker(options)
    progress = args.progress == "on" or (args.progress == "auto" and (sys.stderr.isatty() or n_frames > LONG_SEQUENCE))
    res, seconds = run_tracker(tracker, dets, n_frames, not args.no_classes, progress)

    args.out.mkdir(parents=True, exist_ok=True)
    results_path = args.out / f"{seq.name}.txt"
    results_path.write_text(format_results(res))
    plot_path = args.out / f"{seq.name}_trajectories.png"
    if not args.no_plot:
        shown_gt = gt.select((gt.conf != 0) & (gt.frames <= n_frames)) if gt is not None else None
        plot_trajectories(plot_path, res, f"{seq.name}: {len(np.unique(res.ids))} tracks over {n_frames} frames",
                          seq.image_size, shown_gt)

    classes = np.unique(dets.class_ids[dets.class_ids >= 0])
    class_note = ("classes ignored" if args.no_classes else
                  f"class ids {', '.join(map(str, classes.tolist()))}" if len(classes) else "no class ids")
    fps = f"{n_frames / seconds:,.0f} frames/s" if seconds > 0 else "n/a"
    lines = [
        f"{PROG}: sequence {seq.name}",
        f"  input          {seq.det_path}",
        f"  ground truth   {seq.gt_path if seq.gt_path is not None else 'none'}",
        f"  config         {', '.join(f'{k}={v}' for k, v in options.items()) or 'defaults'}",
        f"  frames         {n_frames}",
        f"  detections     {len(dets)} ({class_note})",
        f"  tracks         {len(np.unique(res.ids))} distinct ids, {len(res)} boxes reported",
        f"  tracker time   {seconds:.3f} s in update = {fps} (tracker only)",
        f"  results        {results_path}",
        f"  trajectories   {plot_path if not args.no_plot else 'skipped'}",
    ]
    if gt is not None:
        import motmetrics

        m = evaluate(gt, res, n_frames)
        lines += [
            f"  metrics        motmetrics {motmetrics.__version__}, match at IoU >= {MATCH_IOU},"
            f" {int(m['num_unique_objects'])} ground-truth objects",
            f"    MOTA         {m['mota']:.1%}",
            f"    IDF1         {m['idf1']:.1%}",
            f"    HOTA         not offered by motmetrics {motmetrics.__version__}",
            f"    MOTP         {1.0 - m['motp']:.3f} (mean IoU of matched boxes)",
            f"    ID switches  {int(m['num_switches'])} (fragmentations {int(m['num_fragmentations'])})",
            f"    errors       {int(m['num_false_positives'])} false positives, {int(m['num_misses'])} misses",
            f"    precision    {m['precision']:.1%} (recall {m['recall']:.1%})",
            f"    objects      {int(m['mostly_tracked'])} mostly tracked, {int(m['mostly_lost'])} mostly lost",
        ]
    print("\n".join(lines))


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        run(args)
    except DemoError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""`kelmora track`: runs the tracker over every sequence of a dataset and writes MOTChallenge results."""

from __future__ import annotations

import argparse
import dataclasses
import pathlib
import time

from kelmora_tools import config, outputs, parallel, tracking
from kelmora_tools.commands import options
from kelmora_tools.dataset import find_sequences


def add_parser(subparsers) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "track",
        help="track every sequence of a dataset and write MOTChallenge results",
        description="Runs kelmora_cpp's ByteTracker over each sequence of DATA (one update per frame, empty "
        "frames included) and writes DIR/<sequence>.txt in the MOTChallenge results format.",
        epilog="example: kelmora track data/synthetic --out results --set max_age=50",
    )
    parser.add_argument(
        "data",
        type=pathlib.Path,
        metavar="DATA",
        help="a sequence folder (det/det.txt, optional gt/gt.txt and seqinfo.ini), a det.txt, "
        "or a dataset root whose subfolders are sequence folders",
    )
    parser.add_argument("--out", type=pathlib.Path, required=True, metavar="DIR", help="folder for the results files")
    options.add_tracker_options(parser)
    options.add_classes(parser)
    parser.add_argument(
        "--interpolate",
        type=options.positive_int,
        default=0,
        metavar="N",
        help="fill every gap of 1 to N frames in a track with rows linear in the frame number between the "
        "rows on either side (left, top, width, height and score); off by default",
    )
    options.add_workers(parser)
    parser.set_defaults(func=run)
    return parser


@dataclasses.dataclass(frozen=True)
class TrackSettings:
    """What `kelmora track` was asked to do."""

    data: pathlib.Path
    out: pathlib.Path
    config: pathlib.Path | None
    set: tuple[str, ...]
    classes: bool
    interpolate: int  # longest gap filled, 0 for none
    placement: parallel.Placement

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> TrackSettings:
        return cls(
            args.data, args.out, args.config, tuple(args.set), args.classes, args.interpolate, options.placement(args)
        )


def run(args: argparse.Namespace) -> int:
    settings = TrackSettings.from_args(args)
    tracker_options = config.tracker_options(settings.config, list(settings.set))
    sequences = find_sequences(settings.data, need="det")
    outputs.check_outputs(
        [("--out", settings.out / f"{seq.name}.txt") for seq in sequences],
        [settings.config, *(p for seq in sequences for p in (seq.det_path, seq.info_path))],
    )
    tasks = [tracking.make_task(seq, tracker_options, settings.classes, settings.interpolate) for seq in sequences]
    weights = [len(task.det_text) for task in tasks]
    runner = parallel.Runner.at(settings.placement, job_bytes=sum(weights))
    with outputs.output_set(settings.out) as staged, runner:
        print(
            f"kelmora track: {len(tasks)} sequence{'s' * (len(tasks) != 1)} from {settings.data}, config "
            f"{config.describe(tracker_options)}, on {runner.describe(len(tasks))}",
            flush=True,
        )
        start = time.perf_counter()
        frames = 0
        seconds = 0.0
        for result in runner.map(tracking.track_task, tasks, desc="tracking", weights=weights):
            path = settings.out / f"{result.name}.txt"
            staged.write(path.name, result.text)
            frames += result.frames
            seconds += result.seconds
            rate = tracking.frames_per_second(result.frames, result.seconds)
            filled = f" ({result.interpolated} interpolated)" if settings.interpolate else ""
            print(
                f"  {result.name}: {result.frames} frames, {result.detections} detections, {result.tracks} tracks, "
                f"{result.boxes} boxes{filled}, {rate} (tracker) -> {path}",
                flush=True,
            )
        wall = time.perf_counter() - start
    print(
        f"  total: {frames} frames in {wall:.2f} s; tracker {seconds:.3f} s = "
        f"{tracking.frames_per_second(frames, seconds)}",
        flush=True,
    )
    return 0

"""The flags that several subcommands share, each registered here once, and the argparse types of
the command line."""

from __future__ import annotations

import argparse
import math
import pathlib

from kelmora_tools import dask_cluster, parallel


def positive_int(text: str) -> int:
    """A whole number >= 1 (--workers, --trials, --interpolate)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}")
    return value


def dask_timeout(text: str) -> float:
    """--dask-timeout: seconds, more than 0 and at most dask_cluster.MAX_DASK_TIMEOUT."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= dask_cluster.MAX_DASK_TIMEOUT:
        raise argparse.ArgumentTypeError(
            f"expected seconds > 0 and at most {dask_cluster.MAX_DASK_TIMEOUT:g}, got {text!r}"
        )
    return value


def add_tracker_options(parser: argparse.ArgumentParser, starting: bool = False) -> None:
    """--config and --set: the tracker's options (with `starting`, those the search starts from)."""
    if starting:
        parser.add_argument(
            "--config", type=pathlib.Path, metavar="FILE.json", help="the starting configuration, a JSON object"
        )
        parser.add_argument(
            "--set",
            action="append",
            default=[],
            metavar="KEY=VALUE",
            help="a TrackerConfig keyword of the starting configuration (repeatable)",
        )
        return
    parser.add_argument(
        "--config",
        type=pathlib.Path,
        metavar="FILE.json",
        help="a JSON object of TrackerConfig keywords, such as the best.json of kelmora tune",
    )
    parser.add_argument(
        "--set",
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="a TrackerConfig keyword over --config, e.g. --set max_age=50 (repeatable)",
    )


def add_classes(parser: argparse.ArgumentParser) -> None:
    """--classes: class ids from det.txt for the tracker."""
    parser.add_argument(
        "--classes",
        action="store_true",
        help="read class ids from the eighth column of det.txt and give them to the tracker "
        "(MOTChallenge's own detection files leave it at -1); with class_aware, the default, "
        "a track then never takes a detection of another known class",
    )


# The benchmarks --benchmark names; kelmora_tools.benchmark defines each.
BENCHMARK_NAMES = ("MOT15", "MOT16", "MOT17", "MOT20")


def add_benchmark(parser: argparse.ArgumentParser, what: str = "the ground truth") -> None:
    """--benchmark: which rows of the ground truth and results count, as TrackEval's MOTChallenge
    evaluation decides for that benchmark."""
    parser.add_argument(
        "--benchmark",
        choices=BENCHMARK_NAMES,
        metavar="NAME",
        help=f"score {what} as TrackEval scores that MOTChallenge benchmark: MOT15 (every class counts), "
        "MOT16, MOT17 or MOT20 (pedestrians only; results that match a distractor are dropped); default: "
        "MOT16, MOT17 or MOT20 when every sequence's name starts with MOT16-, MOT17- or MOT20-, else MOT15",
    )


def add_trackeval(parser: argparse.ArgumentParser) -> None:
    """--trackeval: TrackEval's own metric classes instead of the built-in evaluator."""
    parser.add_argument(
        "--trackeval",
        action="store_true",
        help="compute with TrackEval's own metric classes (slower) instead of the built-in "
        "evaluator, which gives the same figures",
    )


def placement(args: argparse.Namespace) -> parallel.Placement:
    """Where the tasks run, from --workers, --dask and --dask-timeout (see add_workers)."""
    return parallel.Placement(
        args.workers, getattr(args, "dask", None), getattr(args, "dask_timeout", dask_cluster.DASK_TIMEOUT)
    )


def add_workers(parser: argparse.ArgumentParser, what: str = "sequences", dask: bool = True) -> None:
    """--workers, and with `dask` --dask and --dask-timeout: where the tasks run."""
    parser.add_argument(
        "--workers",
        type=positive_int,
        default=None,
        metavar="N",
        help=f"{what} in parallel in N local processes (default: this process when the files "
        f"hold less than {parallel.SMALL_JOB_BYTES // 1_000_000} MB in all, about 500,000 "
        f"rows{', times the trials' if not dask else ''}, else the CPU count, "
        f"{parallel.cpu_count()})",
    )
    if not dask:
        return
    parser.add_argument(
        "--dask",
        metavar="ADDRESS",
        help=f"run the {what} on the Dask cluster whose scheduler is at ADDRESS (tcp://host:port)",
    )
    parser.add_argument(
        "--dask-timeout",
        type=dask_timeout,
        default=dask_cluster.DASK_TIMEOUT,
        metavar="SECONDS",
        help="seconds to wait for the Dask scheduler and its first worker (default: %(default)s)",
    )

"""Benchmarks of the kelmora command on datasets, each against a peer measured in the same run.

Usage: python benchmarks/bench_tools.py [--sections goals,scale] [--sequences 8] [--frames 1000] [--repeat 3]
                                        [--trials 61]

goals: the command's costs against their peers, each pair run alternately in fresh processes with
--workers 1:
- `kelmora eval --out DIR` against TrackEval's own evaluation (its Evaluator and MotChallenge2DBox,
  summary and detailed files, no plots: tests/trackeval_peer.py) on a MOT17-train-sized split in
  MOT17 mode (data/make_mot_split.py: 7 sequences, 5,316 frames, about 175,000 ground-truth rows with
  distractors and 160,000 result rows), with the same files;
- `kelmora eval` against `kelmora eval --trackeval` on a crowd of about 10,000 frames and 400,000
  ground-truth rows (benchmarks/crowd_dataset.py), with the same JSON;
- a tuning trial, the time of a 25-trial `kelmora tune --seed 1` less that of a 1-trial one, against
  the same with --trackeval, with the same best.json;
- `kelmora track`: the time beyond interpreter start and imports against the time in ByteTracker.update;
- the default --workers against --workers 1 on the two TUD sequences (dev/fetch_tud.sh).

scale:
- tracking and evaluating a dataset in N local processes, against 1 (this process);
- the same on a Dask cluster of N single-threaded worker processes on this machine, against N
  local processes (the Dask path's overhead);
- evaluation (the built-in HOTA, CLEAR and identity metrics) against tracking, per sequence;
- the tracker's own speed in frames per second, and HOTA on data/synthetic before and after a
  tuning run of --trials trials (one worker, seed 1).

Times are medians over --repeat runs of the whole command in a fresh process, as a user runs it.
The tools come from python/ and the module from PYTHONPATH (make bench-tools sets both).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import crowd_dataset
import make_mot_split
import make_sequence

from common import Table, command_env, paired
from kelmora_tools import cli, evaluation, parallel, tracking

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def kelmora(*argv: object) -> str:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = cli.main([str(a) for a in argv])
    if status != 0:
        raise SystemExit(f"kelmora {' '.join(map(str, argv))} failed with status {status}")
    return out.getvalue()


def wall(*argv: object) -> float:
    """Wall time of `python -m kelmora_tools ARGV` in a fresh process, as a user runs the command:
    interpreter start, imports and worker start-up included."""
    start = time.perf_counter()
    subprocess.run(
        [sys.executable, "-m", "kelmora_tools", *map(str, argv)],
        check=True,
        env=command_env(),
        stdout=subprocess.DEVNULL,
    )
    return time.perf_counter() - start


def median_wall(repeat: int, *argv: object) -> float:
    """Median of `repeat` walls of the command."""
    return statistics.median(wall(*argv) for _ in range(repeat))


_TRACK_PROBE = """
import contextlib, io, sys, time
start = time.perf_counter()
from kelmora_tools import cli
from kelmora_tools.commands import track  # the command imports its subcommand's modules when it runs
imported = time.perf_counter()
out = io.StringIO()
with contextlib.redirect_stdout(out):
    assert cli.main(sys.argv[1:]) == 0
done = time.perf_counter()
total = next(line for line in out.getvalue().splitlines() if line.startswith("  total:"))
print(done - imported, float(total.split("tracker ")[1].split(" s")[0]))
"""


def track_beyond_update(data: pathlib.Path, out: pathlib.Path) -> tuple[float, float]:
    """(seconds of `kelmora track` beyond interpreter start and imports, seconds in ByteTracker.update),
    from a fresh process."""
    found = subprocess.run(
        [sys.executable, "-c", _TRACK_PROBE, "track", str(data), "--out", str(out), "--workers", "1"],
        check=True,
        env=command_env(),
        capture_output=True,
        text=True,
    )
    beyond, update = map(float, found.stdout.split())
    return beyond, update


def goals(tmp: pathlib.Path, repeat: int) -> None:
    """The command's costs against their peers (see the module's docstring)."""
    table = Table(
        "the kelmora command against its peers, fresh processes, --workers 1", "as named", unit="s", scale=1.0
    )
    split, split_results = make_mot_split.write_split(tmp / "mot17", "MOT17")
    gt_rows = sum(len((split / s / "gt" / "gt.txt").read_bytes().splitlines()) for s in os.listdir(split))
    res_rows = sum(len(p.read_bytes().splitlines()) for p in split_results.iterdir())
    peer = [sys.executable, str(ROOT / "tests" / "trackeval_peer.py"), split, split_results, tmp / "te", "MOT17"]

    def trackeval_run() -> float:
        start = time.perf_counter()
        subprocess.run([str(a) for a in peer], check=True, env=command_env(), stdout=subprocess.DEVNULL)
        return time.perf_counter() - start

    ours, theirs, ratio = paired(
        repeat,
        lambda: wall("eval", "--gt", split, "--results", split_results, "--workers", 1, "--out", tmp / "out"),
        trackeval_run,
    )
    same = all(
        (tmp / "out" / name).read_bytes() == (tmp / "te" / "kelmora" / name).read_bytes()
        for name in ("pedestrian_summary.txt", "pedestrian_detailed.csv")
    )
    table.add(
        "kelmora eval --out vs TrackEval, MOT17",
        ours,
        theirs,
        f"{1 / ratio:.1f}x faster; 7 sequences, 5,316 frames, {gt_rows:,} ground-truth and {res_rows:,} result "
        f"rows; same files: {same}",
    )

    crowd, crowd_results = crowd_dataset.write_crowd(tmp / "crowd", 4, 2500, 40)
    rows = sum(len((crowd / s / "gt" / "gt.txt").read_bytes().splitlines()) for s in os.listdir(crowd))
    ours_json, theirs_json = tmp / "ours.json", tmp / "theirs.json"
    ours, theirs, ratio = paired(
        repeat,
        lambda: wall("eval", "--gt", crowd, "--results", crowd_results, "--workers", 1, "--json", ours_json),
        lambda: wall(
            "eval", "--gt", crowd, "--results", crowd_results, "--workers", 1, "--trackeval", "--json", theirs_json
        ),
    )
    same = json.loads(ours_json.read_text()) == json.loads(theirs_json.read_text())
    table.add(
        "kelmora eval vs --trackeval",
        ours,
        theirs,
        f"{1 / ratio:.1f}x faster; 10,000 frames, {rows:,} ground-truth rows; same JSON: {same}",
    )

    tune_data = make_dataset(tmp / "tune", 2, 600)

    def trial(*extra: object) -> float:
        times = {}
        for n in (1, 25):
            best = tmp / f"best-{n}{''.join(map(str, extra))}.json"
            best.unlink(missing_ok=True)
            best.with_suffix(".db").unlink(missing_ok=True)
            times[n] = wall("tune", tune_data, "--trials", n, "--seed", 1, "--workers", 1, "--out", best, *extra)
        return (times[25] - times[1]) / 24

    ours, theirs, ratio = paired(max(1, repeat // 2), trial, lambda: trial("--trackeval"))
    same = (tmp / "best-25.json").read_bytes() == (tmp / "best-25--trackeval.json").read_bytes()
    table.add(
        "a tuning trial vs --trackeval",
        ours,
        theirs,
        f"{1 / ratio:.1f}x faster; (25 trials - 1 trial) / 24, two 600-frame sequences; same best.json: {same}",
    )

    track_data = tmp / "track"
    crowd_dataset.write_crowd(track_data, 2, 1500, 33)
    runs = [track_beyond_update(track_data, tmp / "track-out") for _ in range(repeat)]
    beyond, update = statistics.median(b for b, _ in runs), statistics.median(u for _, u in runs)
    table.add(
        "kelmora track beyond start-up vs update",
        beyond,
        update,
        f"{statistics.median(b / u for b, u in runs):.2f}x the time in ByteTracker.update; two 1500-frame "
        "sequences of 33 detections a frame",
    )

    tud = pathlib.Path(
        subprocess.run(
            ["bash", str(ROOT / "dev" / "fetch_tud.sh")], check=True, capture_output=True, text=True
        ).stdout.strip()
    )
    default, one, ratio = paired(
        repeat,
        lambda: wall("eval", "--gt", tud, "--results", tud / "results"),
        lambda: wall("eval", "--gt", tud, "--results", tud / "results", "--workers", 1),
    )
    table.add("kelmora eval on TUD, default --workers vs 1", default, one, f"{(ratio - 1) * 100:+.1f} %")
    table.print()


def make_dataset(root: pathlib.Path, sequences: int, frames: int) -> pathlib.Path:
    for i in range(sequences):
        files = make_sequence.make_sequence(frames, 1000 + i, f"bench-{i:02d}")
        make_sequence.write_sequence(root / f"bench-{i:02d}", files)
    return root


def per_sequence_costs(data: pathlib.Path) -> tuple[float, float, float, int]:
    """Seconds to track (parse, every update, format) and to evaluate each sequence in this process,
    summed, with the seconds inside ByteTracker.update and the frame count."""
    tracked = evaluating = in_update = 0.0
    frames = 0
    from kelmora_tools.dataset import find_sequences

    for seq in find_sequences(data):
        task = tracking.make_task(seq, {})
        start = time.perf_counter()
        result = tracking.track_task(task)
        middle = time.perf_counter()
        assert seq.gt_path is not None
        evaluation.eval_task(
            evaluation.EvalTask(seq.name, seq.gt_path.read_text(), str(seq.gt_path), result.text, "results", seq.length)
        )
        evaluating += time.perf_counter() - middle
        tracked += middle - start
        in_update += result.seconds
        frames += result.frames
    return tracked, evaluating, in_update, frames


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sections", default="goals,scale", help="goals, scale or both (default: %(default)s)")
    parser.add_argument("--sequences", type=int, default=8)
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--trials", type=int, default=61, help="tuning trials on data/synthetic (0: skip)")
    args = parser.parse_args(argv)
    sections = set(args.sections.split(","))
    if "goals" in sections:
        with tempfile.TemporaryDirectory(prefix="kelmora-bench-") as tmp:
            goals(pathlib.Path(tmp), args.repeat)
    if "scale" not in sections:
        return 0
    n = parallel.cpu_count()
    load = os.getloadavg()[0]
    print(
        f"kelmora command: {args.sequences} synthetic sequences of {args.frames} frames, {n} CPUs, "
        f"medians of {args.repeat} runs; load average {load:.1f} at the start (parallel runs gain "
        f"little when the CPUs are busy with other work)"
    )
    with tempfile.TemporaryDirectory(prefix="kelmora-bench-") as tmp:
        tmp_path = pathlib.Path(tmp)
        data = make_dataset(tmp_path / "data", args.sequences, args.frames)
        out = tmp_path / "out"

        workers = Table(f"dataset run in {n} local processes", "the same in 1 process", unit="s", scale=1.0)
        for name, argv in (
            ("track", ["track", data, "--out", out]),
            ("eval", ["eval", "--gt", data, "--results", out]),
        ):
            one = median_wall(args.repeat, *argv, "--workers", 1)
            many = median_wall(args.repeat, *argv, "--workers", n)
            workers.add(f"kelmora {name}", many, one)
        workers.print()

        from distributed import LocalCluster

        dask = Table(
            f"dataset run on Dask ({n} worker processes, 1 thread each, this machine)",
            f"{n} local processes",
            unit="s",
            scale=1.0,
        )
        # Many tiny sequences: the cost of a task itself, on either path.
        tiny = make_dataset(tmp_path / "tiny", 32, 5)
        with LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            address = cluster.scheduler_address
            for name, argv, count in (
                ("track", ["track", data, "--out", tmp_path / "dask"], args.sequences),
                ("eval", ["eval", "--gt", data, "--results", out], args.sequences),
                ("track, 32 x 5 frames", ["track", tiny, "--out", tmp_path / "t"], 32),
            ):
                local = median_wall(args.repeat, *argv, "--workers", n)
                remote = median_wall(args.repeat, *argv, "--dask", address)
                dask.add(f"kelmora {name}", remote, local, f"{(remote - local) / count * 1e3:+.1f} ms per sequence")
        for i in range(args.sequences):
            same = (out / f"bench-{i:02d}.txt").read_bytes() == (tmp_path / "dask" / f"bench-{i:02d}.txt").read_bytes()
            assert same, f"bench-{i:02d}: Dask and local results differ"
        dask.print()

        tracked, evaluation, in_update, frames = per_sequence_costs(data)
        costs = Table(
            "evaluation of a sequence (the built-in HOTA, CLEAR and Identity, in this process)",
            "tracking it (parse, one update per frame, format)",
            unit="s",
            scale=1.0,
        )
        costs.add(
            f"all {args.sequences} sequences", evaluation, tracked, f"tracker alone {frames / in_update:,.0f} frames/s"
        )
        synthetic = ROOT / "data" / "synthetic"
        tracked, evaluation, in_update, frames = per_sequence_costs(synthetic)
        costs.add(
            "data/synthetic (400 frames)", evaluation, tracked, f"tracker alone {frames / in_update:,.0f} frames/s"
        )
        costs.print()

        if args.trials:
            best = tmp_path / "best.json"
            start = time.perf_counter()
            text = kelmora("tune", synthetic, "--trials", args.trials, "--out", best, "--workers", 1, "--seed", 1)
            wall = time.perf_counter() - start
            print(f"\n## tuning data/synthetic: {args.trials} trials, 1 worker, seed 1, {wall:.1f} s")
            print("\n".join(line for line in text.splitlines()[2:]))
            kelmora("track", synthetic, "--config", best, "--out", tmp_path / "tuned")
            kelmora("eval", "--gt", synthetic, "--results", tmp_path / "tuned", "--json", tmp_path / "tuned.json")
            tuned = json.loads((tmp_path / "tuned.json").read_text())["combined"]
            print(
                "  tuned configuration on data/synthetic: "
                + ", ".join(f"{k} {tuned[k]:.3f}" for k in ("HOTA", "DetA", "AssA", "MOTA", "IDF1"))
                + f", IDSW {tuned['IDSW']}"
            )
            start = time.perf_counter()
            text = kelmora(
                "tune",
                synthetic,
                "--trials",
                args.trials,
                "--out",
                tmp_path / "best2.json",
                "--workers",
                n,
                "--seed",
                1,
            )
            wall_n = time.perf_counter() - start
            after = next(line for line in text.splitlines() if " after:" in line).strip()
            print(f"  the same search on {n} workers: {wall_n:.1f} s ({wall / wall_n:.1f}x), {after}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

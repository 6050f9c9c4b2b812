"""Benchmarks of the kelmora command on datasets, each against a peer measured in the same run.

Usage: python benchmarks/tools_bench.py [--sequences 8] [--frames 1000] [--repeat 3] [--trials 61]

- tracking and evaluating a dataset in N local processes, against 1 (this process);
- the same on a Dask cluster of N single-threaded worker processes on this machine, against N
  local processes (the Dask path's overhead);
- evaluation (TrackEval's HOTA, CLEAR and identity metrics) against tracking, per sequence;
- the tracker's own speed in frames per second, and HOTA on data/synthetic before and after a
  tuning run of --trials trials (one worker, seed 1).

Times are medians over --repeat runs of the whole command (cli.main), output files included.
The tools come from python/ and the module from PYTHONPATH (make bench-tools sets both).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import pathlib
import statistics
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "tools"))

import make_sequence  # noqa: E402
from common import Table  # noqa: E402

from kelmora_tools import cli, evaluate, motio, parallel, track  # noqa: E402


def kelmora(*argv: object) -> str:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = cli.main([str(a) for a in argv])
    if status != 0:
        raise SystemExit(f"kelmora {' '.join(map(str, argv))} failed with status {status}")
    return out.getvalue()


def median_wall(repeat: int, *argv: object) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        kelmora(*argv)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def make_dataset(root: pathlib.Path, sequences: int, frames: int) -> pathlib.Path:
    for i in range(sequences):
        files = make_sequence.make_sequence(frames, 1000 + i, f"bench-{i:02d}")
        make_sequence.write_sequence(root / f"bench-{i:02d}", files)
    return root


def per_sequence_costs(data: pathlib.Path) -> tuple[float, float, float, int]:
    """Seconds to track (parse, every update, format) and to evaluate each sequence in this process,
    summed, with the seconds inside ByteTracker.update and the frame count."""
    tracking = evaluation = in_update = 0.0
    frames = 0
    from kelmora_tools.dataset import find_sequences

    for seq in find_sequences(data):
        task = track.make_task(seq, {})
        start = time.perf_counter()
        result = track.track_task(task)
        middle = time.perf_counter()
        assert seq.gt_path is not None
        evaluate.eval_task(evaluate.EvalTask(seq.name, seq.gt_path.read_text(), str(seq.gt_path), result.text,
                                             "results", seq.length))
        evaluation += time.perf_counter() - middle
        tracking += middle - start
        in_update += result.seconds
        frames += result.frames
    return tracking, evaluation, in_update, frames


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sequences", type=int, default=8)
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--trials", type=int, default=61, help="tuning trials on data/synthetic (0: skip)")
    args = parser.parse_args(argv)
    n = parallel.cpu_count()
    print(f"kelmora command: {args.sequences} synthetic sequences of {args.frames} frames, {n} CPUs, "
          f"medians of {args.repeat} runs")
    with tempfile.TemporaryDirectory(prefix="kelmora-bench-") as tmp:
        tmp_path = pathlib.Path(tmp)
        data = make_dataset(tmp_path / "data", args.sequences, args.frames)
        out = tmp_path / "out"

        workers = Table(f"dataset run in {n} local processes", "the same in 1 process", unit="s", scale=1.0)
        for name, argv in (("track", ["track", data, "--out", out]),
                           ("eval", ["eval", "--gt", data, "--results", out])):
            one = median_wall(args.repeat, *argv, "--workers", 1)
            many = median_wall(args.repeat, *argv, "--workers", n)
            workers.add(f"kelmora {name}", many, one)
        workers.print()

        from distributed import LocalCluster

        dask = Table(f"dataset run on Dask ({n} worker processes, 1 thread each, this machine)",
                     f"{n} local processes", unit="s", scale=1.0)
        with LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            address = cluster.scheduler_address
            for name, argv in (("track", ["track", data, "--out", tmp_path / "dask"]),
                               ("eval", ["eval", "--gt", data, "--results", out])):
                local = median_wall(args.repeat, *argv, "--workers", n)
                remote = median_wall(args.repeat, *argv, "--dask", address)
                dask.add(f"kelmora {name}", remote, local,
                         f"{(remote - local) / args.sequences * 1e3:+.0f} ms per sequence")
        for i in range(args.sequences):
            same = (out / f"bench-{i:02d}.txt").read_bytes() == (tmp_path / "dask" / f"bench-{i:02d}.txt").read_bytes()
            assert same, f"bench-{i:02d}: Dask and local results differ"
        dask.print()

        tracking, evaluation, in_update, frames = per_sequence_costs(data)
        costs = Table("evaluation of a sequence (TrackEval HOTA + CLEAR + Identity, in this process)",
                      "tracking it (parse, one update per frame, format)", unit="s", scale=1.0)
        costs.add(f"all {args.sequences} sequences", evaluation, tracking,
                  f"tracker alone {frames / in_update:,.0f} frames/s")
        synthetic = ROOT / "data" / "synthetic"
        tracking, evaluation, in_update, frames = per_sequence_costs(synthetic)
        costs.add("data/synthetic (400 frames)", evaluation, tracking,
                  f"tracker alone {frames / in_update:,.0f} frames/s")
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
            print("  tuned configuration on data/synthetic: " +
                  ", ".join(f"{k} {tuned[k]:.3f}" for k in ("HOTA", "DetA", "AssA", "MOTA", "IDF1")) +
                  f", IDSW {tuned['IDSW']}")
            assert motio.read_mot(tmp_path / "tuned" / "kelmora-synthetic.txt") is not None
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""`kelmora eval`: HOTA, CLEAR MOT and identity metrics of results against ground truth, TrackEval's
figures, per sequence and combined."""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import time
from typing import Any

from kelmora_tools import evaluate, mot_files, parallel
from kelmora_tools.commands import options
from kelmora_tools.dataset import find_sequences
from kelmora_tools.errors import UserError

# The columns of the table printed per sequence and combined.
TABLE = ("HOTA", "DetA", "AssA", "MOTA", "IDF1", "IDSW", "MOTP")


def add_parser(subparsers) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "eval",
        help="score results against ground truth: HOTA, MOTA, IDF1 (TrackEval's figures)",
        description="Scores DIR/<sequence>.txt against the ground truth of every sequence of DATA: HOTA, DetA, "
        "AssA, MOTA, IDF1, IDSW and MOTP per sequence and combined, the figures of TrackEval's MOT15 "
        "mode. Every ground-truth row whose 7th value is not 0 counts, whatever its class.",
        epilog="example: kelmora eval --gt data/synthetic --results results --json scores.json",
    )
    parser.add_argument(
        "--gt",
        type=pathlib.Path,
        required=True,
        metavar="DATA",
        help="a sequence folder (gt/gt.txt, seqinfo.ini), a gt.txt, or a dataset root",
    )
    parser.add_argument(
        "--results",
        type=pathlib.Path,
        required=True,
        metavar="DIR",
        help="the folder of results files, one <sequence>.txt per sequence",
    )
    parser.add_argument(
        "--json",
        type=pathlib.Path,
        metavar="FILE",
        help='write {"sequences": {name: {...}}, "combined": {...}} to FILE',
    )
    options.add_trackeval(parser)
    options.add_workers(parser)
    parser.set_defaults(func=run)
    return parser


def format_table(rows: dict[str, dict[str, float | int]], columns: tuple[str, ...] = TABLE) -> str:
    width = max(len("sequence"), *(len(name) for name in rows))
    lines = ["  " + "sequence".ljust(width) + "".join(f"{c:>8}" for c in columns)]
    for name, values in rows.items():
        cells = "".join(f"{values[c]:>8d}" if isinstance(values[c], int) else f"{values[c]:>8.3f}" for c in columns)
        lines.append("  " + name.ljust(width) + cells)
    return "\n".join(lines)


def run(args: argparse.Namespace) -> int:
    sequences = find_sequences(args.gt, need="gt")
    if not args.results.exists():
        raise UserError(f"--results {args.results}: no such folder")
    if args.results.is_file() and len(sequences) > 1:
        raise UserError(f"--results {args.results}: a file, but --gt holds {len(sequences)} sequences; give the folder")
    tasks = [evaluate.make_task(seq, args.results, args.trackeval) for seq in sequences]
    weights = [evaluate.task_size(task) for task in tasks]
    runner = parallel.Runner.from_args(args, job_bytes=sum(weights))
    preload = ["trackeval.metrics"] if args.trackeval else ["kelmora_tools.metrics"]
    with runner:
        start = time.perf_counter()
        per_sequence = {}
        seconds = 0.0
        for scores in runner.map(evaluate.eval_task, tasks, desc="evaluating", preload=preload, weights=weights):
            per_sequence[scores.name] = scores.raw
            seconds += scores.seconds
        combined = evaluate.combine(per_sequence, args.trackeval)
        wall = time.perf_counter() - start
        where = runner.describe(len(tasks))
    sequence_scores = {name: evaluate.summary(raw) for name, raw in per_sequence.items()}
    combined_scores = evaluate.summary(combined)
    report = {"sequences": sequence_scores, "combined": combined_scores}
    print(
        f"kelmora eval: {len(tasks)} sequence{'s' * (len(tasks) != 1)}, {evaluator_name(args.trackeval)} "
        f"(every class counts)"
    )
    print(format_table({**sequence_scores, "COMBINED": combined_scores}))
    print(f"  evaluation: {wall:.2f} s wall, {seconds:.2f} s in the metrics on {where}")
    if args.json is not None:
        mot_files.write_text(args.json, json.dumps(_finite(report), indent=2) + "\n")
        print(f"  scores -> {args.json}")
    return 0


def evaluator_name(trackeval: bool) -> str:
    if not trackeval:
        return "built-in evaluator, TrackEval's figures"
    import trackeval as te

    return f"TrackEval {te.__version__}"


def _finite(value: Any) -> Any:
    """JSON has no NaN: a figure TrackEval cannot compute (no ground truth at all) becomes null."""
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value

"""`kelmora eval`: HOTA, CLEAR MOT, identity and count metrics of results against ground truth,
TrackEval's figures, per sequence and combined; TrackEval's result files with --out."""

from __future__ import annotations

import argparse
import dataclasses
import json
import pathlib

from kelmora_tools import evaluation, metrics, outputs, parallel
from kelmora_tools.commands import options
from kelmora_tools.errors import UserError

# The columns of the table printed per sequence and combined, unless --fields says otherwise.
TABLE = ("HOTA", "DetA", "AssA", "MOTA", "IDF1", "IDSW", "MOTP")


def add_parser(subparsers) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "eval",
        help="score results against ground truth: HOTA, MOTA, IDF1 (TrackEval's figures)",
        description="Scores DIR/<sequence>.txt against the ground truth of every sequence of DATA: HOTA, "
        "DetA, AssA, MOTA, IDF1, IDSW and MOTP per sequence and combined (every other figure of TrackEval's "
        "HOTA, CLEAR, Identity and Count in --json and with --fields all), TrackEval's figures for the "
        "benchmark. MOT15 counts every ground-truth row whose 7th value is not 0, whatever its class; "
        "MOT16, MOT17 and MOT20 score pedestrians and drop the results that match a distractor, as "
        "TrackEval's preprocessing does.",
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
        help='write {"sequences": {name: {...}}, "combined": {...}}, every figure, to FILE',
    )
    parser.add_argument(
        "--out",
        type=pathlib.Path,
        metavar="DIR",
        help="write TrackEval's result files into DIR (created if needed): pedestrian_summary.txt, "
        "pedestrian_detailed.csv and the plot pedestrian_plot.png and .pdf, all or none of them",
    )
    parser.add_argument(
        "--fields",
        type=_fields,
        default=TABLE,
        metavar="LIST",
        help=f"the figures of the printed table: 'all', or names separated by commas (default: {','.join(TABLE)})",
    )
    options.add_benchmark(parser)
    options.add_trackeval(parser)
    options.add_workers(parser)
    parser.set_defaults(func=run)
    return parser


def _fields(text: str) -> tuple[str, ...]:
    """--fields: 'all' or figure names (evaluation.FIGURES) separated by commas."""
    if text == "all":
        return ("all",)
    names = tuple(name.strip() for name in text.split(","))
    unknown = [name for name in names if name not in evaluation.FIGURES]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown figure {unknown[0]!r} (the figures: {', '.join(evaluation.FIGURES)}; or 'all')"
            if unknown
            else "expected 'all' or figure names separated by commas"
        )
    return names


def format_table(rows: dict[str, dict[str, float | int | None]], columns: tuple[str, ...] = TABLE) -> str:
    """A table of the figures `columns` of each row (sequence): fractions to 3 decimals, counts whole,
    n/a where a figure cannot be computed; columns as wide as their widest cell."""

    def cell(value: float | int | None) -> str:
        return "n/a" if value is None else f"{value:d}" if isinstance(value, int) else f"{value:.3f}"

    cells = {name: [cell(values[c]) for c in columns] for name, values in rows.items()}
    widths = [max(8, len(c) + 2, *(len(row[k]) + 2 for row in cells.values())) for k, c in enumerate(columns)]
    width = max(len("sequence"), *(len(name) for name in rows))
    lines = ["  " + "sequence".ljust(width) + "".join(f"{c:>{w}}" for c, w in zip(columns, widths))]
    for name, row in cells.items():
        lines.append("  " + name.ljust(width) + "".join(f"{v:>{w}}" for v, w in zip(row, widths)))
    return "\n".join(lines)


def tables(result: evaluation.Evaluation, columns: tuple[str, ...]) -> str:
    """The printed tables: one of `columns`, or with ("all",) one per metric of its every field."""
    rows = {**{name: s.to_json() for name, s in result.sequences.items()}, "COMBINED": result.combined.to_json()}
    if columns != ("all",):
        return format_table(rows, columns)
    groups = []
    for metric, table in metrics.FIELDS.items():
        names = tuple(f.name for f in table)
        groups.append(f"  {metric}\n" + format_table(rows, names))
    return "\n".join(groups)


@dataclasses.dataclass(frozen=True)
class EvalSettings:
    """What `kelmora eval` was asked to do."""

    gt: pathlib.Path
    results: pathlib.Path
    json: pathlib.Path | None
    out: pathlib.Path | None
    fields: tuple[str, ...]
    benchmark: str | None
    evaluator: str  # "builtin" or "trackeval"
    placement: parallel.Placement

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> EvalSettings:
        evaluator = "trackeval" if args.trackeval else "builtin"
        return cls(
            args.gt, args.results, args.json, args.out, args.fields, args.benchmark, evaluator, options.placement(args)
        )


def run(args: argparse.Namespace) -> int:
    from kelmora_tools import trackeval_files

    settings = EvalSettings.from_args(args)
    out, json_path = settings.out, settings.json
    if out is not None and out.exists() and not out.is_dir():
        raise UserError(f"--out {out}: a file, not a folder; give the folder for TrackEval's result files")
    written = [("--json", json_path)] if json_path is not None else []
    if out is not None:
        written += [("--out", out / name) for name in trackeval_files.FILES]
    result = evaluation.evaluate(
        settings.gt,
        settings.results,
        benchmark=settings.benchmark,
        evaluator=settings.evaluator,
        workers=settings.placement.workers,
        dask=settings.placement.dask,
        dask_timeout=settings.placement.dask_timeout,
        _labels=(f"--results {settings.results}", "--gt"),
        _outputs=written,
    )
    n = len(result.sequences)
    print(
        f"kelmora eval: {n} sequence{'s' * (n != 1)}, {result.benchmark.describe()}, "
        f"{evaluation.get_evaluator(settings.evaluator).describe()}"
    )
    print(tables(result, settings.fields))
    print(
        f"  evaluation: {result.wall_seconds:.2f} s wall, {result.metric_seconds:.2f} s in the metrics on "
        f"{result.ran_on}"
    )
    if out is not None:
        trackeval_files.write(out, result, trackeval_files.tracker_name(settings.results))
        print(f"  TrackEval's files -> {out}: {', '.join(trackeval_files.FILES)}")
    if json_path is not None:
        outputs.write_file(json_path, json.dumps(result.to_json(), indent=2) + "\n")
        print(f"  scores -> {json_path}")
    return 0

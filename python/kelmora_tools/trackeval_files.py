"""TrackEval's result files of an evaluation, as TrackEval 1.3.0's Evaluator writes them for the
MOTChallenge pedestrian class: pedestrian_summary.txt, pedestrian_detailed.csv, and
pedestrian_plot.png and .pdf (the HOTA family against alpha).

The text files are TrackEval's byte for byte: the same columns in the same order, each value
formatted as TrackEval formats it (the summary's figures as percentages to 5 significant digits, the
detailed file's values as Python prints them), the same csv dialects.
"""

from __future__ import annotations

import csv
import io
import pathlib
from typing import Any

import numpy as np

from kelmora_tools import metrics, outputs
from kelmora_tools.evaluation import Evaluation

CLASS = "pedestrian"
SUMMARY = f"{CLASS}_summary.txt"
DETAILED = f"{CLASS}_detailed.csv"
PLOT_PNG = f"{CLASS}_plot.png"
PLOT_PDF = f"{CLASS}_plot.pdf"
FILES = (SUMMARY, DETAILED, PLOT_PNG, PLOT_PDF)

# The order of the summary's columns, TrackEval's own: fields in it come first, in this order.
SUMMARY_ORDER = (
    "HOTA",
    "DetA",
    "AssA",
    "DetRe",
    "DetPr",
    "AssRe",
    "AssPr",
    "LocA",
    "OWTA",
    "HOTA(0)",
    "LocA(0)",
    "HOTALocA(0)",
    "MOTA",
    "MOTP",
    "MODA",
    "CLR_Re",
    "CLR_Pr",
    "MTR",
    "PTR",
    "MLR",
    "CLR_TP",
    "CLR_FN",
    "CLR_FP",
    "IDSW",
    "MT",
    "PT",
    "ML",
    "Frag",
    "sMOTA",
    "IDF1",
    "IDR",
    "IDP",
    "IDTP",
    "IDFN",
    "IDFP",
    "Dets",
    "GT_Dets",
    "IDs",
    "GT_IDs",
)

# The names the detailed file gives the thresholds of the per-alpha fields: int(100 * alpha).
_ALPHA_LABELS = [str(int(100 * alpha)) for alpha in metrics.ALPHAS]


def _summary_values(metric: str, res: dict[str, Any]) -> dict[str, str]:
    """TrackEval's _summary_row of a metric's combined results: percentages and counts as text."""
    out = {}
    for field in metrics.FIELDS[metric]:
        if field.listed != "summary":
            continue
        value = res[field.name]
        if field.kind == "float_array":
            out[field.name] = f"{100 * np.mean(value):1.5g}"
        elif field.kind == "float":
            out[field.name] = f"{100 * float(value):1.5g}"
        else:
            out[field.name] = f"{int(value):d}"
    return out


def summary_text(evaluation: Evaluation) -> str:
    """pedestrian_summary.txt: the combined figures of every metric, one header line and one line of
    values, separated by spaces."""
    combined = evaluation.combined.raw
    values: dict[str, str] = {}
    for metric in metrics.METRICS:
        values.update(_summary_values(metric, combined[metric]))
    ordered = {name: values[name] for name in SUMMARY_ORDER if name in values}
    ordered.update({name: value for name, value in values.items() if name not in ordered})
    return _csv([list(ordered), list(ordered.values())], delimiter=" ")


def _detailed_fields(metric: str) -> list[str]:
    names = metrics.fields(metric, "float") + metrics.fields(metric, "integer")
    for name in metrics.fields(metric, "float_array") + metrics.fields(metric, "integer_array"):
        names += [f"{name}___{label}" for label in _ALPHA_LABELS] + [f"{name}___AUC"]
    return names


def _detailed_values(metric: str, res: dict[str, Any]) -> list[Any]:
    values = [res[name] for name in metrics.fields(metric, "float") + metrics.fields(metric, "integer")]
    for name in metrics.fields(metric, "float_array") + metrics.fields(metric, "integer_array"):
        values += [res[name][i] for i in range(len(_ALPHA_LABELS))] + [np.mean(res[name])]
    return values


def detailed_text(evaluation: Evaluation) -> str:
    """pedestrian_detailed.csv: every field of every metric, per alpha where it has one with its mean
    as ___AUC, one row per sequence in order of name and a COMBINED row."""
    header = ["seq"] + [name for metric in metrics.METRICS for name in _detailed_fields(metric)]
    rows: list[list[Any]] = [header]
    for name in sorted(evaluation.sequences):
        raw = evaluation.sequences[name].raw
        rows.append([name] + [v for metric in metrics.METRICS for v in _detailed_values(metric, raw[metric])])
    combined = evaluation.combined.raw
    rows.append(["COMBINED"] + [v for metric in metrics.METRICS for v in _detailed_values(metric, combined[metric])])
    return _csv(rows)


def _csv(rows: list[list[Any]], **dialect: Any) -> str:
    buffer = io.StringIO(newline="")
    writer = csv.writer(buffer, **dialect)
    writer.writerows(rows)
    return buffer.getvalue()


def tracker_name(results: pathlib.Path) -> str:
    """The tracker's name in the plot's title, as TrackEval names it: the folder holding the results,
    or the one above it when that is TrackEval's `data` folder (TRACKERS/<tracker>/data)."""
    folder = results.resolve() if results.is_dir() else results.resolve().parent
    return folder.parent.name if folder.name == "data" and folder.parent.name else folder.name


def write(folder: pathlib.Path, evaluation: Evaluation, tracker: str) -> list[pathlib.Path]:
    """Writes the four files into `folder`, created if needed: all of them, or none (see
    outputs.output_set). Returns their paths."""
    from kelmora_tools.hota_plot import hota_plot_files

    combined = evaluation.combined.raw["HOTA"]
    curves = {name: np.asarray(combined[name], dtype=float).tolist() for name in metrics.fields("HOTA", "float_array")}
    with outputs.output_set(folder) as staged:
        staged.write(SUMMARY, summary_text(evaluation).encode())
        staged.write(DETAILED, detailed_text(evaluation).encode())
        png, pdf = hota_plot_files(f"{tracker} - {CLASS}", metrics.ALPHAS.tolist(), curves)
        staged.write(PLOT_PNG, png)
        staged.write(PLOT_PDF, pdf)
    return [folder / name for name in FILES]

"""HOTA, CLEAR, Identity and Count of MOTChallenge sequences over arrays, with TrackEval's results.

This is the built-in evaluator. Given the rows TrackEval's metrics score (see benchmark.preprocess),
ids are relabelled 0..n-1 in sorted order and similarities are box IoUs. The per-frame work (IoUs,
NumPy's sums, SciPy's assignment solver with its tie-breaks) runs natively in
`kelmora_tools._native.evaluate_sequence`, operation for operation as TrackEval's NumPy code; the
fields derived from its counts, and the combination over sequences, are TrackEval's own formulas,
here. Results come as TrackEval's dictionaries, {"HOTA": {...}, "CLEAR": {...}, "Identity": {...},
"Count": {...}}, with the same field names, kinds and types. Counts equal TrackEval's exactly and
fractions to the last bit.

The fields of each metric are listed once, in the native field tables (src/mot/metric_fields.hpp),
and read here from `_native.METRIC_FIELDS`.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any

import numpy as np

from kelmora_tools import _native
from kelmora_tools.mot_files import Rows

# TrackEval's localisation thresholds of HOTA, and its similarity threshold of CLEAR and Identity.
ALPHAS = np.arange(0.05, 0.99, 0.05)
THRESHOLD = 0.5


@dataclasses.dataclass(frozen=True)
class Field:
    """One field of a metric, as the native field tables list it."""

    metric: str
    name: str
    role: str  # "counted" or "internal" (accumulated natively), "derived" (by the formulas here)
    kind: str  # TrackEval's kind: "integer", "float", "integer_array" or "float_array"
    listed: str  # "summary": in TrackEval's summary file; "detailed": in its detailed file only


# Every metric's fields in TrackEval's order, internal ones (not fields of TrackEval's) left out.
FIELDS: dict[str, tuple[Field, ...]] = {
    metric: tuple(Field(metric, *row) for row in rows if row[1] != "internal") for metric, rows in _native.METRIC_FIELDS
}
METRICS = tuple(FIELDS)  # ("HOTA", "CLEAR", "Identity", "Count"): TrackEval's order of evaluation


def fields(metric: str, *kinds: str, listed: str | None = None) -> list[str]:
    """The names of a metric's fields of the given kinds (all when none is given), in TrackEval's
    order; with `listed`, only those of the summary ("summary") or not ("detailed")."""
    return [f.name for f in FIELDS[metric] if (not kinds or f.kind in kinds) and (listed is None or f.listed == listed)]


def relabel(ids: np.ndarray) -> tuple[np.ndarray, int]:
    """Ids as 0..n-1 in the order of their values, and n: sized by the rows, not by the largest id."""
    unique, inverse = np.unique(ids, return_inverse=True)
    return inverse.astype(np.int64).reshape(-1), len(unique)


def eval_sequence(
    gt: Rows,
    res: Rows,
    n_frames: int,
    report: Callable[[int, int], None] | None = None,
    gt_keep: np.ndarray | None = None,
    res_keep: np.ndarray | None = None,
) -> dict[str, dict[str, Any]]:
    """TrackEval's results of one sequence of `n_frames` time steps, over the rows its metrics score:
    those the masks keep (all by default; see benchmark.scored).

    `gt` and `res` are checked rows (frames within the sequence, ids unique per frame, sorted by
    frame with the file's order within a frame, which decides ties as in TrackEval). `report`,
    when given, is called now and then with the work done and the work in all.
    """
    counts = _native.evaluate_sequence(
        gt.frames, gt.ids, gt.xyxy, gt_keep, res.frames, res.ids, res.xyxy, res_keep, ALPHAS.tolist(), THRESHOLD, report
    )
    count = {**counts["Count"], "Frames": n_frames}
    if count["Dets"] == 0 or count["GT_Dets"] == 0:
        return {**_empty_sequence(count["GT_Dets"], count["Dets"], count["GT_IDs"]), "Count": count}
    return {
        "HOTA": _hota_sequence(counts["HOTA"]),
        "CLEAR": _clear_sequence(counts["CLEAR"], n_frames),
        "Identity": _identity_final(dict(counts["Identity"])),
        "Count": count,
    }


def combine_sequences(per_sequence: dict[str, dict[str, dict[str, Any]]]) -> dict[str, dict[str, Any]]:
    """TrackEval's combine_sequences of each metric over the sequences, in their order."""
    hota = [res["HOTA"] for res in per_sequence.values()]
    out_hota: dict[str, Any] = {field: _sum([r[field] for r in hota]) for field in fields("HOTA", "integer_array")}
    for field in ("AssRe", "AssPr", "AssA"):
        out_hota[field] = _sum([r[field] * r["HOTA_TP"] for r in hota]) / np.maximum(1.0, out_hota["HOTA_TP"])
    loca_weighted_sum = _sum([r["LocA"] * r["HOTA_TP"] for r in hota])
    out_hota["LocA"] = np.maximum(1e-10, loca_weighted_sum) / np.maximum(1e-10, out_hota["HOTA_TP"])
    # CLEAR sums its whole-number fields and MOTP_sum; the others follow from them.
    summed = [*fields("CLEAR", "integer"), "MOTP_sum"]
    clear = {field: _sum([res["CLEAR"][field] for res in per_sequence.values()]) for field in summed}
    identity = {
        field: _sum([res["Identity"][field] for res in per_sequence.values()])
        for field in fields("Identity", "integer")
    }
    count = {field: _sum([res["Count"][field] for res in per_sequence.values()]) for field in fields("Count")}
    return {
        "HOTA": _hota_final(out_hota),
        "CLEAR": _clear_final(clear),
        "Identity": _identity_final(identity),
        "Count": count,
    }


def _sum(values: list[Any]) -> Any:
    """0 + values[0] + values[1] + ..., one rounding per addition: what sum() gives TrackEval, whose
    values are NumPy scalars and arrays. (sum() of plain Python floats compensates its roundings.)"""
    total: Any = 0
    for value in values:
        total = total + value
    return total


def _empty_sequence(num_gt_dets: int, num_tracker_dets: int, num_gt_ids: int) -> dict[str, dict[str, Any]]:
    """TrackEval's early answers of HOTA, CLEAR and Identity for a sequence without tracker boxes or
    without ground truth: every field 0 (an int, or zeros over the alphas), but those set here."""
    n = len(ALPHAS)
    hota: dict[str, Any] = {field: np.zeros(n, dtype=float) for field in fields("HOTA", "float_array", "integer_array")}
    hota.update({field: 0 for field in fields("HOTA", "float")})
    hota.update({"LocA(0)": 1.0, "LocA": np.ones(n, dtype=float)})
    clear: dict[str, Any] = {field: 0 for field in fields("CLEAR")}
    identity: dict[str, Any] = {field: 0 for field in fields("Identity")}
    clear["MLR"] = 1.0
    if num_tracker_dets == 0:
        hota["HOTA_FN"] = num_gt_dets * np.ones(n, dtype=float)
        clear["CLR_FN"] = num_gt_dets
        clear["ML"] = num_gt_ids
        identity["IDFN"] = num_gt_dets
    else:
        hota["HOTA_FP"] = num_tracker_dets * np.ones(n, dtype=float)
        clear["CLR_FP"] = num_tracker_dets
        identity["IDFP"] = num_tracker_dets
    return {"HOTA": hota, "CLEAR": clear, "Identity": identity}


def _hota_sequence(counts: dict[str, Any]) -> dict[str, Any]:
    res: dict[str, Any] = {field: np.asarray(counts[field], dtype=float) for field in fields("HOTA", "integer_array")}
    for field in ("AssA", "AssRe", "AssPr"):
        res[field] = np.asarray(counts[f"{field}_sum"]) / np.maximum(1, res["HOTA_TP"])
    res["LocA"] = np.maximum(1e-10, np.asarray(counts["LocA_sum"])) / np.maximum(1e-10, res["HOTA_TP"])
    return _hota_final(res)


def _hota_final(res: dict[str, Any]) -> dict[str, Any]:
    """TrackEval's HOTA._compute_final_fields."""
    res["DetRe"] = res["HOTA_TP"] / np.maximum(1, res["HOTA_TP"] + res["HOTA_FN"])
    res["DetPr"] = res["HOTA_TP"] / np.maximum(1, res["HOTA_TP"] + res["HOTA_FP"])
    res["DetA"] = res["HOTA_TP"] / np.maximum(1, res["HOTA_TP"] + res["HOTA_FN"] + res["HOTA_FP"])
    res["HOTA"] = np.sqrt(res["DetA"] * res["AssA"])
    res["OWTA"] = np.sqrt(res["DetRe"] * res["AssA"])
    res["HOTA(0)"] = res["HOTA"][0]
    res["LocA(0)"] = res["LocA"][0]
    res["HOTALocA(0)"] = res["HOTA(0)"] * res["LocA(0)"]
    return res


def _clear_sequence(counts: dict[str, Any], n_frames: int) -> dict[str, Any]:
    res: dict[str, Any] = dict(counts)
    # TrackEval's np.sum over float arrays: its Frag and MOTP_sum are NumPy floats.
    res["Frag"] = np.float64(counts["Frag"])
    res["MOTP_sum"] = np.float64(counts["MOTP_sum"])
    res["CLR_Frames"] = n_frames
    return _clear_final(res)


def _clear_final(res: dict[str, Any]) -> dict[str, Any]:
    """TrackEval's CLEAR._compute_final_fields."""
    num_gt_ids = res["MT"] + res["ML"] + res["PT"]
    res["MTR"] = res["MT"] / np.maximum(1.0, num_gt_ids)
    res["MLR"] = res["ML"] / np.maximum(1.0, num_gt_ids)
    res["PTR"] = res["PT"] / np.maximum(1.0, num_gt_ids)
    res["CLR_Re"] = res["CLR_TP"] / np.maximum(1.0, res["CLR_TP"] + res["CLR_FN"])
    res["CLR_Pr"] = res["CLR_TP"] / np.maximum(1.0, res["CLR_TP"] + res["CLR_FP"])
    res["MODA"] = (res["CLR_TP"] - res["CLR_FP"]) / np.maximum(1.0, res["CLR_TP"] + res["CLR_FN"])
    res["MOTA"] = (res["CLR_TP"] - res["CLR_FP"] - res["IDSW"]) / np.maximum(1.0, res["CLR_TP"] + res["CLR_FN"])
    res["MOTP"] = res["MOTP_sum"] / np.maximum(1.0, res["CLR_TP"])
    res["sMOTA"] = (res["MOTP_sum"] - res["CLR_FP"] - res["IDSW"]) / np.maximum(1.0, res["CLR_TP"] + res["CLR_FN"])
    res["CLR_F1"] = res["CLR_TP"] / np.maximum(1.0, res["CLR_TP"] + 0.5 * res["CLR_FN"] + 0.5 * res["CLR_FP"])
    res["FP_per_frame"] = res["CLR_FP"] / np.maximum(1.0, res["CLR_Frames"])
    safe_log_idsw = np.log10(res["IDSW"]) if res["IDSW"] > 0 else res["IDSW"]
    res["MOTAL"] = (res["CLR_TP"] - res["CLR_FP"] - safe_log_idsw) / np.maximum(1.0, res["CLR_TP"] + res["CLR_FN"])
    return res


def _identity_final(res: dict[str, Any]) -> dict[str, Any]:
    """TrackEval's Identity._compute_final_fields."""
    res["IDR"] = res["IDTP"] / np.maximum(1.0, res["IDTP"] + res["IDFN"])
    res["IDP"] = res["IDTP"] / np.maximum(1.0, res["IDTP"] + res["IDFP"])
    res["IDF1"] = res["IDTP"] / np.maximum(1.0, res["IDTP"] + 0.5 * res["IDFP"] + 0.5 * res["IDFN"])
    return res

"""Assignment solvers against SciPy's linear_sum_assignment and the lap package's lapjv."""

from __future__ import annotations

import statistics

import lap
import numpy as np
from scipy.optimize import linear_sum_assignment

import kelmora_cpp
from common import Table, median_seconds


def tracking_cost(rng: np.random.Generator, n: int, m: int, cheap: int = 4, forbidden: float = 1.7) -> np.ndarray:
    """Mostly one large forbidden value (gate + 1.0), a few cheap columns per row, as in a tracker pass."""
    cost = np.full((n, m), forbidden)
    for i, row in enumerate(cost):
        near = (i + rng.integers(-6, 7, size=cheap)) % m
        row[near] = rng.uniform(0.0, 0.7, size=cheap)
    return cost


def cases() -> list[tuple[str, np.ndarray]]:
    rng = np.random.default_rng(2024)
    return [
        ("uniform 10x10", rng.random((10, 10))),
        ("uniform 100x100", rng.random((100, 100))),
        ("uniform 500x500", rng.random((500, 500))),
        ("uniform wide 100x400", rng.random((100, 400))),
        ("tracking 200x200", tracking_cost(rng, 200, 200)),
    ]


def total(cost: np.ndarray, rows, cols) -> float:
    return float(np.sort(cost[np.asarray(rows), np.asarray(cols)]).sum())


def lap_pairs(cost: np.ndarray):
    _, x, _ = lap.lapjv(cost, extend_cost=cost.shape[0] != cost.shape[1])
    rows = np.flatnonzero(x >= 0)
    return rows, x[rows]


def paired_medians(ours, peer, repeat: int, rounds: int = 3) -> tuple[float, float]:
    """Medians of `rounds` alternating measurements of each side, so a burst of machine noise
    falls on one round of one side instead of on a whole side."""
    a, b = [], []
    for _ in range(rounds):
        a.append(median_seconds(ours, repeat=repeat))
        b.append(median_seconds(peer, repeat=repeat))
    return statistics.median(a), statistics.median(b)


def run() -> list[Table]:
    hungarian = Table("linear_assignment", "scipy.optimize.linear_sum_assignment")
    jv = Table("linear_assignment_lapjv", "lap.lapjv (extend_cost for rectangular)")
    for name, cost in cases():
        best = total(cost, *linear_sum_assignment(cost))
        assert total(cost, *kelmora_cpp.linear_assignment(cost)) == best
        assert total(cost, *kelmora_cpp.linear_assignment_lapjv(cost)) == best
        assert total(cost, *lap_pairs(cost)) == best
        repeat = 11 if cost.size >= 250_000 else 31
        hungarian.add(
            name,
            *paired_medians(lambda: kelmora_cpp.linear_assignment(cost), lambda: linear_sum_assignment(cost), repeat),
        )
        square = cost.shape[0] == cost.shape[1]
        jv.add(
            name,
            *paired_medians(
                lambda: kelmora_cpp.linear_assignment_lapjv(cost),
                lambda: lap.lapjv(cost, extend_cost=not square),
                repeat,
            ),
        )
    return [hungarian, jv]

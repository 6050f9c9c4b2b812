"""Timing helpers shared by the benchmark modules: medians of repeated calls, ratios to a peer."""

from __future__ import annotations

import os
import pathlib
import statistics
import time
from collections.abc import Callable

ROOT = pathlib.Path(__file__).resolve().parent.parent


def median_seconds(fn: Callable[[], object], repeat: int = 31, min_batch_seconds: float = 2e-3) -> float:
    """Median wall time of one call of `fn`, from `repeat` batches sized to last at least min_batch_seconds."""
    fn()  # warm up
    batch = 1
    while True:
        start = time.perf_counter()
        for _ in range(batch):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_batch_seconds or batch >= 1 << 20:
            break
        batch *= 2
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(batch):
            fn()
        samples.append((time.perf_counter() - start) / batch)
    return statistics.median(samples)


def command_env() -> dict[str, str]:
    """The environment of the commands timed: the tools from python/, the module from PYTHONPATH, and
    compiled bytecode kept, as an installed package has it."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), os.environ.get("PYTHONPATH", "")]))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


def paired(repeat: int, ours, peer) -> tuple[float, float, float]:
    """Medians of ours() and peer(), run alternately, and the median of their ratios pair by pair (a
    ratio taken pair by pair holds when the machine's speed drifts)."""
    pairs = [(ours(), peer()) for _ in range(repeat)]
    return (
        statistics.median(a for a, _ in pairs),
        statistics.median(b for _, b in pairs),
        statistics.median(a / b for a, b in pairs),
    )


class Table:
    """Rows of one benchmark group: ours against a named peer, printed as a ratio."""

    def __init__(self, title: str, peer: str, unit: str = "us", scale: float = 1e6) -> None:
        self.title = title
        self.peer = peer
        self.unit = unit
        self.scale = scale
        self.rows: list[tuple[str, float, float, str]] = []

    def add(self, case: str, ours: float, peer: float, note: str = "") -> None:
        self.rows.append((case, ours, peer, note))

    def print(self) -> None:
        print(f"\n## {self.title} (peer: {self.peer})")
        ours_head, peer_head = f"ours ({self.unit})", f"peer ({self.unit})"
        print(f"{'case':<34} {ours_head:>12} {peer_head:>12} {'ours/peer':>10} {'speed-up':>9}  note")
        for case, ours, peer, note in self.rows:
            print(
                f"{case:<34} {ours * self.scale:>12.2f} {peer * self.scale:>12.2f} {ours / peer:>10.4f} "
                f"{peer / ours:>8.1f}x  {note}"
            )

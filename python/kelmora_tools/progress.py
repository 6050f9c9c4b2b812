"""Progress bars on stderr, counting tasks or the frames within them."""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import TypeVar

T = TypeVar("T")

# The bar counting in this process, if any: work in progress moves it through advance().
_current: Callable[[int], None] | None = None


def _bar(total: int | None, desc: str, unit: str):
    from tqdm import tqdm

    return tqdm(
        total=total,
        desc=desc,
        unit=unit,
        unit_scale=unit == "B",
        file=sys.stderr,
        leave=False,
        dynamic_ncols=True,
        mininterval=0.1,
    )


def progress(
    iterable: Iterable[T], total: int | None = None, desc: str = "", *, enabled: bool | None = None
) -> Iterator[T]:
    """Yields the items of `iterable` while a tqdm bar on stderr counts them.

    The bar is drawn only when stderr is a terminal, unless `enabled` says otherwise, so that
    logs and captured output stay free of carriage-return noise.
    """
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        yield from iterable
        return
    bar = _bar(total, desc, "it")
    try:
        for item in iterable:
            yield item
            bar.update(1)
    finally:
        bar.close()


@contextlib.contextmanager
def counting(
    total: int, desc: str = "", unit: str = "B", *, enabled: bool | None = None
) -> Iterator[Callable[[int], None]]:
    """A bar over `total` units (bytes of input, say, with a rate and an ETA) while the block runs; yields its
    update function, which advance() also reaches from the work the block does in this process.
    Without a terminal on stderr (unless `enabled` says otherwise) nothing is drawn."""
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        yield lambda n: None
        return
    bar = _bar(total, desc, unit)
    try:
        with routed_to(bar.update):
            yield bar.update
    finally:
        bar.close()


@contextlib.contextmanager
def routed_to(tick: Callable[[int], None]) -> Iterator[None]:
    """Sends advance() in this process to `tick` while the block runs."""
    global _current
    previous, _current = _current, tick
    try:
        yield
    finally:
        _current = previous


def advance(n: int) -> None:
    """Moves the bar counting in this process by `n` units; nothing when there is none (in a worker
    process, for instance, whose tasks the command's own bar counts when they finish)."""
    if _current is not None and n > 0:
        _current(n)


def share(units: int) -> Callable[[int, int], None]:
    """A reporter for work of `units` units (the bytes of a task's input, say) that counts its own
    steps: report(done, total) moves the bar of this process to done / total of `units`."""
    shown = 0

    def report(done: int, total: int) -> None:
        nonlocal shown
        now = units * done // max(total, 1)
        if now > shown:
            advance(now - shown)
            shown = now

    return report

"""Progress bars on stderr."""

from __future__ import annotations

import sys
from collections.abc import Iterable, Iterator
from typing import TypeVar

T = TypeVar("T")


def progress(iterable: Iterable[T], total: int | None = None, desc: str = "", *,
             enabled: bool | None = None) -> Iterator[T]:
    """Yields the items of `iterable` while a tqdm bar on stderr counts them.

    The bar is drawn only when stderr is a terminal, unless `enabled` says otherwise, so that
    logs and captured output stay free of carriage-return noise.
    """
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        yield from iterable
        return
    from tqdm import tqdm

    bar = tqdm(iterable, total=total, desc=desc, file=sys.stderr, leave=False, dynamic_ncols=True,
               mininterval=0.1)
    try:
        yield from bar
    finally:
        bar.close()

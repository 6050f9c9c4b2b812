"""Running independent tasks (one per sequence) in local processes or on a Dask cluster."""

from __future__ import annotations

import argparse
import contextlib
import logging
import multiprocessing
import os
import re
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from typing import Any, TypeVar

from kelmora_tools.errors import UserError
from kelmora_tools.progress import progress

T = TypeVar("T")
R = TypeVar("R")

DASK_TIMEOUT = 10.0


def cpu_count() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def add_arguments(parser: argparse.ArgumentParser, what: str = "sequences") -> None:
    """--workers, --dask and --dask-timeout, shared by the subcommands that run tasks."""
    parser.add_argument("--workers", type=_positive_int, default=None, metavar="N",
                        help=f"{what} in parallel in N local processes (default: the CPU count, {cpu_count()})")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help=f"run the {what} on the Dask cluster whose scheduler is at ADDRESS (tcp://host:port)")
    parser.add_argument("--dask-timeout", type=float, default=DASK_TIMEOUT, metavar="SECONDS",
                        help="seconds to wait for the Dask scheduler (default: %(default)s)")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}")
    return value


def _ordered(futures: Sequence[Any], completed: Iterator[Any], desc: str) -> Iterator[Any]:
    """Results of `futures` in their order, while a bar counts them as `completed` yields them."""
    index = {id(f): i for i, f in enumerate(futures)}
    done: dict[int, Any] = {}
    following = 0
    for future in progress(completed, total=len(futures), desc=desc):
        done[index[id(future)]] = future
        while following in done:
            yield done.pop(following).result()
            following += 1


def _local(fn: Callable[[T], R], tasks: Sequence[T], workers: int, desc: str) -> Iterator[R]:
    if workers == 1:
        yield from progress((fn(task) for task in tasks), total=len(tasks), desc=desc)
        return
    # Fresh interpreters rather than forks: the parent may hold threads (progress bars, a Dask
    # client) that a fork would copy in an undefined state.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        futures = [pool.submit(fn, task) for task in tasks]
        try:
            yield from _ordered(futures, _as_completed(futures), desc)
        finally:
            for future in futures:
                future.cancel()


def _as_completed(futures: list[Future]) -> Iterator[Future]:
    pending = set(futures)
    while pending:
        done, pending = wait(pending, return_when=FIRST_COMPLETED)
        # The earliest submitted first, so that a failure is reported for the first failing task.
        yield from sorted(done, key=futures.index)


def check_dask_address(address: str) -> None:
    if not re.fullmatch(r"(tcp|tls|inproc|ucx|ws|wss)://[^\s/]+(:\d+)?/?", address):
        raise UserError(f"--dask {address}: expected an address such as tcp://host:8786")


@contextlib.contextmanager
def dask_client(address: str, timeout: float = DASK_TIMEOUT):
    """A distributed.Client connected to the scheduler at `address`; UserError when it cannot be reached."""
    check_dask_address(address)
    from distributed import Client

    # The client logs its connection attempts; the failure is reported as one line instead.
    quiet = logging.getLogger("distributed")
    level = quiet.level
    quiet.setLevel(logging.CRITICAL)
    try:
        client = Client(address, timeout=f"{timeout}s", set_as_default=False)
    except (OSError, TimeoutError, ValueError) as e:
        reason = " ".join(str(e).split()) or type(e).__name__
        raise UserError(f"--dask {address}: cannot reach the scheduler: {reason}") from None
    finally:
        quiet.setLevel(level)
    try:
        yield client
    finally:
        client.close()


def _dask(fn: Callable[[T], R], tasks: Sequence[T], address: str, timeout: float, desc: str) -> Iterator[R]:
    from distributed import as_completed

    with dask_client(address, timeout) as client:
        futures = client.map(fn, list(tasks), pure=False)
        try:
            yield from _ordered(futures, iter(as_completed(futures)), desc)
        finally:
            client.cancel(futures)


def run_tasks(fn: Callable[[T], R], tasks: Sequence[T], *, workers: int | None = None, dask: str | None = None,
              dask_timeout: float = DASK_TIMEOUT, desc: str = "") -> Iterator[R]:
    """Yields fn(task) for every task, in the order of `tasks`.

    The tasks run in `workers` local processes (default: the CPU count; one process runs them in
    this process), or on the Dask cluster at `dask`. `fn` must be a module-level function and the
    tasks picklable. An exception of a task is raised here, in the order of the tasks.
    """
    if not tasks:
        return iter(())
    if dask is not None:
        return _dask(fn, tasks, dask, dask_timeout, desc)
    return _local(fn, tasks, min(workers or cpu_count(), len(tasks)), desc)


def describe(workers: int | None, dask: str | None, n_tasks: int) -> str:
    """'2 local processes', 'this process' or 'Dask at tcp://...', for summary lines."""
    if dask is not None:
        return f"Dask at {dask}"
    used = min(workers or cpu_count(), max(n_tasks, 1))
    return "this process" if used == 1 else f"{used} local processes"

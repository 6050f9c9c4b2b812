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

from kelmora_tools import progress
from kelmora_tools.errors import UserError

T = TypeVar("T")
R = TypeVar("R")

DASK_TIMEOUT = 10.0
# Without --workers, a job of less input than this (the bytes of its detection, ground-truth and
# results files, all sequences together; times the trials when tuning) runs in this process:
# starting worker processes costs more than it saves below about this size, some 500,000 rows.
SMALL_JOB_BYTES = 20_000_000


def cpu_count() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def add_arguments(parser: argparse.ArgumentParser, what: str = "sequences") -> None:
    """--workers, --dask and --dask-timeout, shared by the subcommands that run tasks."""
    parser.add_argument("--workers", type=positive_int, default=None, metavar="N",
                        help=f"{what} in parallel in N local processes (default: this process when the files "
                             f"hold less than {SMALL_JOB_BYTES // 1_000_000} MB in all, about 500,000 rows, else the "
                             f"CPU count, {cpu_count()})")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help=f"run the {what} on the Dask cluster whose scheduler is at ADDRESS (tcp://host:port)")
    parser.add_argument("--dask-timeout", type=float, default=DASK_TIMEOUT, metavar="SECONDS",
                        help="seconds to wait for the Dask scheduler (default: %(default)s)")


def default_workers(job_bytes: int | None) -> int:
    """Local processes for a job of `job_bytes` bytes of input when --workers is not given: this one for
    a small job (see SMALL_JOB_BYTES), else one per CPU; one per CPU when the size is not known."""
    return 1 if job_bytes is not None and job_bytes < SMALL_JOB_BYTES else cpu_count()


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}")
    return value


def _ordered(futures: Sequence[Any], completed: Iterator[Any], weights: Sequence[int], tick: Callable[[int], None]
             ) -> Iterator[Any]:
    """Results of `futures` in their order, while `tick` counts the weight of each as `completed`
    yields it."""
    index = {id(f): i for i, f in enumerate(futures)}
    done: dict[int, Any] = {}
    following = 0
    for future in completed:
        k = index[id(future)]
        done[k] = future
        if future.exception() is None:
            tick(weights[k])
        while following in done:
            yield done.pop(following).result()
            following += 1


class Runner:
    """Runs tasks in local processes or on a Dask cluster; a context manager that connects to the
    cluster on entry (UserError when it cannot) and releases the processes or the connection on exit."""

    def __init__(self, workers: int | None = None, dask: str | None = None, dask_timeout: float = DASK_TIMEOUT,
                 job_bytes: int | None = None):
        """`job_bytes`, the bytes of input of the whole job, decides where it runs when `workers` is
        None (see SMALL_JOB_BYTES); unknown, it runs in as many processes as there are CPUs."""
        if dask is not None:
            check_dask_address(dask)
        self.workers = workers
        self.job_bytes = job_bytes
        self.dask = dask
        self.dask_timeout = dask_timeout
        self._client: Any = None
        self._stack = contextlib.ExitStack()

    @classmethod
    def from_args(cls, args: argparse.Namespace, job_bytes: int | None = None) -> Runner:
        return cls(args.workers, args.dask, args.dask_timeout, job_bytes)

    def __enter__(self) -> Runner:
        if self.dask is not None:
            self._client = self._stack.enter_context(dask_client(self.dask, self.dask_timeout))
        return self

    def __exit__(self, *exc: object) -> None:
        self._stack.close()

    def describe(self, n_tasks: int) -> str:
        """'2 local processes', 'this process' or 'Dask at tcp://...', for summary lines."""
        if self.dask is not None:
            return f"Dask at {self.dask}"
        used = self._local_workers(n_tasks)
        return "this process" if used == 1 else f"{used} local processes"

    def _local_workers(self, n_tasks: int) -> int:
        workers = self.workers if self.workers is not None else default_workers(self.job_bytes)
        return max(1, min(workers, n_tasks))

    def map(self, fn: Callable[[T], R], tasks: Sequence[T], desc: str = "", preload: Sequence[str] = (),
            weights: Sequence[int] | None = None, unit: str = "B") -> Iterator[R]:
        """Yields fn(task) for every task, in the order of `tasks`, while a bar counts them.

        `fn` must be a module-level function and the tasks picklable; `preload` names modules that
        local worker processes import before they start (see process_context). With `weights` (the
        bytes of each task's input, say) the bar counts those units: a task run in this process moves
        it as it goes through progress.advance(), one run elsewhere when it finishes. The exception of a
        failed task is raised here; tasks not yet started are cancelled.
        """
        if not tasks:
            return iter(())
        unit = unit if weights is not None else "tasks"
        weights = list(weights) if weights is not None else [1] * len(tasks)
        if self._client is not None:
            return self._dask_map(fn, tasks, desc, weights, unit)
        return self._local_map(fn, tasks, desc, [fn.__module__, *preload], weights, unit)

    def _local_map(self, fn: Callable[[T], R], tasks: Sequence[T], desc: str, preload: list[str],
                   weights: list[int], unit: str) -> Iterator[R]:
        workers = self._local_workers(len(tasks))
        with progress.counting(sum(weights), desc, unit) as tick:
            if workers == 1:
                counted = 0

                def counting_tick(n: int) -> None:
                    nonlocal counted
                    counted += n
                    tick(n)

                with progress.routed_to(counting_tick):
                    for task, weight in zip(tasks, weights):
                        before = counted
                        result = fn(task)
                        counting_tick(weight - (counted - before))
                        yield result
                return
            with ProcessPoolExecutor(max_workers=workers, mp_context=process_context(preload)) as pool:
                futures = [pool.submit(fn, task) for task in tasks]
                try:
                    yield from _ordered(futures, _as_completed(futures), weights, tick)
                finally:
                    for future in futures:
                        future.cancel()

    def _dask_map(self, fn: Callable[[T], R], tasks: Sequence[T], desc: str, weights: list[int], unit: str
                  ) -> Iterator[R]:
        from distributed import as_completed

        futures = self._client.map(fn, list(tasks), pure=False)
        try:
            with progress.counting(sum(weights), desc, unit) as tick:
                yield from _ordered(futures, iter(as_completed(futures, loop=self._client.loop)), weights, tick)
        finally:
            self._client.cancel(futures)


def process_context(preload: Sequence[str]) -> multiprocessing.context.BaseContext:
    """The start method of local worker processes: a fork server that has imported `preload` once.

    A plain fork could copy this process's threads (a progress bar's monitor, a client's event
    loop) in an undefined state; a fresh interpreter per worker would import NumPy, the module and
    TrackEval again in each one, which costs about half a second per worker. The fork server is one
    fresh, single-threaded interpreter whose forks start with those imports done.
    """
    context = multiprocessing.get_context("forkserver")
    # Takes effect when the server starts, that is for the first pool of this process.
    context.set_forkserver_preload(list(preload))
    return context


def _as_completed(futures: list[Future]) -> Iterator[Future]:
    pending = set(futures)
    while pending:
        done, pending = wait(pending, return_when=FIRST_COMPLETED)
        # The earliest submitted first, so that a failure is reported for the first failing task.
        yield from sorted(done, key=futures.index)


def check_dask_address(address: str) -> None:
    if not re.fullmatch(r"(tcp|tls|ws|wss)://[^\s/]+:\d+/?", address):
        raise UserError(f"--dask {address}: expected a scheduler address such as tcp://host:8786")


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

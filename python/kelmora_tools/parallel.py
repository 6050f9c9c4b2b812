"""Running independent tasks (one per sequence) in this process, in local worker processes
(`workers`) or on a Dask cluster (`dask_cluster`): the Runner, and where a job runs by default."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypeVar

from kelmora_tools import dask_cluster, progress
from kelmora_tools import workers as workers_module
from kelmora_tools.errors import UserError

T = TypeVar("T")
R = TypeVar("R")

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


def default_workers(job_bytes: int | None) -> int:
    """Local processes for a job of `job_bytes` bytes of input when --workers is not given: this one for
    a small job (see SMALL_JOB_BYTES), else one per CPU; one per CPU when the size is not known."""
    return 1 if job_bytes is not None and job_bytes < SMALL_JOB_BYTES else cpu_count()


def _ordered(
    futures: Sequence[Any], completed: Iterator[Any], weights: Sequence[int], tick: Callable[[int], None]
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


@dataclasses.dataclass(frozen=True)
class Placement:
    """Where a job's tasks run: `workers` local processes (None: decided by the job's size, see
    default_workers), or the Dask scheduler at `dask`, waited for `dask_timeout` seconds."""

    workers: int | None = None
    dask: str | None = None
    dask_timeout: float = dask_cluster.DASK_TIMEOUT


class Runner:
    """Runs tasks in local processes or on a Dask cluster; a context manager that connects to the
    cluster on entry (UserError when it cannot) and releases the processes or the connection on exit."""

    def __init__(
        self,
        workers: int | None = None,
        dask: str | None = None,
        dask_timeout: float = dask_cluster.DASK_TIMEOUT,
        job_bytes: int | None = None,
    ):
        """`job_bytes`, the bytes of input of the whole job, decides where it runs when `workers` is
        None (see SMALL_JOB_BYTES); unknown, it runs in as many processes as there are CPUs."""
        if dask is not None:
            dask_cluster.check_dask_address(dask)
        self.workers = workers
        self.job_bytes = job_bytes
        self.dask = dask
        self.dask_timeout = dask_timeout
        self._client: Any = None
        self._stack = contextlib.ExitStack()

    @classmethod
    def at(cls, placement: Placement, job_bytes: int | None = None) -> Runner:
        """The runner of a job of `job_bytes` bytes placed as `placement` says."""
        return cls(placement.workers, placement.dask, placement.dask_timeout, job_bytes)

    def __enter__(self) -> Runner:
        if self.dask is not None:
            self._client = self._stack.enter_context(dask_cluster.dask_client(self.dask, self.dask_timeout))
        return self

    def __exit__(self, *exc: object) -> None:
        self._stack.close()

    def describe(self, n_tasks: int) -> str:
        """'2 local processes', 'this process' or 'Dask at tcp://...', for summary lines."""
        if self.dask is not None:
            return f"Dask at {self.dask}"
        used = self._local_workers(n_tasks)
        return "this process" if used == 1 else f"{used} local processes"

    def runs_here(self, n_tasks: int) -> bool:
        """Whether `n_tasks` tasks run in this process (no cluster, one local process)."""
        return self.dask is None and self._local_workers(n_tasks) == 1

    def _local_workers(self, n_tasks: int) -> int:
        workers = self.workers if self.workers is not None else default_workers(self.job_bytes)
        return max(1, min(workers, n_tasks))

    def map(
        self,
        fn: Callable[[T], R],
        tasks: Sequence[T],
        desc: str = "",
        preload: Sequence[str] = (),
        weights: Sequence[int] | None = None,
        unit: str = "B",
    ) -> Iterator[R]:
        """Yields fn(task) for every task, in the order of `tasks`, while a bar counts them.

        `fn` must be a module-level function and the tasks picklable; `preload` names modules that
        local worker processes import before they start (see workers.process_context). With `weights` (the
        bytes of each task's input, say) the bar counts those units: a task run in this process moves
        it as it goes through progress.advance(), one run elsewhere when it finishes. The exception of a
        failed task is raised here; tasks not yet started are cancelled, and local worker processes
        are ended at once, as on Ctrl-C and SIGTERM (see workers.worker_pool).
        """
        if not tasks:
            return iter(())
        unit = unit if weights is not None else "tasks"
        weights = list(weights) if weights is not None else [1] * len(tasks)
        if self._client is not None:
            return self._dask_map(fn, tasks, desc, weights, unit)
        return self._local_map(fn, tasks, desc, [fn.__module__, *preload], weights, unit)

    def _local_map(
        self, fn: Callable[[T], R], tasks: Sequence[T], desc: str, preload: list[str], weights: list[int], unit: str
    ) -> Iterator[R]:
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
            with workers_module.worker_pool(workers, preload) as pool:
                futures = [pool.submit(fn, task) for task in tasks]
                yield from _ordered(futures, workers_module.as_completed(futures), weights, tick)

    def _dask_map(
        self, fn: Callable[[T], R], tasks: Sequence[T], desc: str, weights: list[int], unit: str
    ) -> Iterator[R]:
        from concurrent.futures import CancelledError

        from distributed import as_completed

        with warnings.catch_warnings():
            # The tasks carry their input (the client reads every file), however large the graph.
            warnings.filterwarnings("ignore", "Sending large graph", UserWarning)
            futures = self._client.map(fn, list(tasks), pure=False)
        try:
            with progress.counting(sum(weights), desc, unit) as tick:
                yield from _ordered(futures, iter(as_completed(futures, loop=self._client.loop)), weights, tick)
        except (CancelledError, OSError) as e:
            # The client cancels every task when it loses the scheduler, and fails to reconnect with an
            # OSError; nothing else cancels them, and the tasks themselves touch no file.
            reason = "" if isinstance(e, CancelledError) else f": {dask_cluster.reason(e)}"
            raise UserError(
                f"--dask {self.dask}: lost the connection to the scheduler before the tasks finished{reason}"
            ) from None
        finally:
            with contextlib.suppress(Exception):
                self._client.cancel(futures)

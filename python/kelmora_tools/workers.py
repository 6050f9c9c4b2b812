"""Local worker processes: a pool forked from one fork server that imported the modules the tasks
need, each process tied to the command's life (it ends with the command, however the command
ends) and stopped through `stopping`."""

from __future__ import annotations

import contextlib
import os
import signal
import time
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

from kelmora_tools import stopping

# multiprocessing and concurrent.futures are imported where processes are used: a job that runs in
# the command's own process does without them.
if TYPE_CHECKING:
    import multiprocessing.context
    from concurrent.futures import Future

T = TypeVar("T")
R = TypeVar("R")

# Seconds that worker processes have to end after SIGTERM before they are killed.
STOP_SECONDS = 1.0


class WorkerPool:
    """Local worker processes (see worker_pool) that run module-level functions on picklable tasks."""

    def __init__(self, workers: int, preload: Sequence[str]) -> None:
        from concurrent.futures import ProcessPoolExecutor

        context = process_context(preload)
        fork_server = _start_fork_server()
        self._executor = ProcessPoolExecutor(
            max_workers=workers, mp_context=context, initializer=_worker_started, initargs=(fork_server,)
        )

    def submit(self, fn: Callable[[T], R], task: T) -> Future:
        return self._executor.submit(stopping.run_task, fn, task)

    def close(self) -> None:
        """Waits for the submitted tasks, then for the processes to exit."""
        self._executor.shutdown(wait=True)

    def stop(self) -> None:
        """Cancels the tasks not yet started and ends the processes now: SIGTERM, which interrupts
        the task a process runs (see stopping.run_task), then SIGKILL for any still there after
        STOP_SECONDS. Ctrl-C and SIGTERM are ignored meanwhile: the command is stopping already."""
        with stopping.signals_ignored(signal.SIGINT, signal.SIGTERM):
            # The pool's own record of its processes; Python 3.14's terminate_workers() reads it too.
            processes = list((self._executor._processes or {}).values())
            manager: Any = getattr(self._executor, "_executor_manager_thread", None)
            self._executor.shutdown(wait=False, cancel_futures=True)
            for process in processes:
                process.terminate()
            deadline = time.monotonic() + STOP_SECONDS
            for process in processes:
                process.join(max(0.0, deadline - time.monotonic()))
            for process in processes:
                if process.exitcode is None:
                    process.kill()
                    process.join()
            # The pool's thread closes its queues once it sees the processes gone. Left running, it
            # would keep the command from exiting (see cli.main), and the queues' semaphores would be
            # left to the resource tracker, which warns of them on stderr.
            if manager is not None:
                manager.join(STOP_SECONDS)


@contextlib.contextmanager
def worker_pool(workers: int, preload: Sequence[str] = ()) -> Iterator[WorkerPool]:
    """A WorkerPool of `workers` processes for the block. A block that completes waits for the
    tasks; one that raises (a failed task, Ctrl-C, SIGTERM) stops the processes at once, so that
    none goes on working, or waits forever on a pipe, after the command has ended."""
    pool = WorkerPool(workers, preload)
    try:
        yield pool
        pool.close()
    except BaseException:
        pool.stop()
        raise


def _worker_started(fork_server: int) -> None:
    """Pool initializer: the worker ends with the command, whatever ends it (see _end_with_command),
    and answers requests to stop as a worker (see stopping.become_worker)."""
    _end_with_command(fork_server)
    stopping.become_worker()


def _end_with_command(fork_server: int) -> None:
    """Ties this worker's life, and the fork server's, to the command's, so that none goes on with
    its tasks, or waits for new ones, once the command is gone, kill -9 included.

    The kernel kills the worker when its parent, the fork server `fork_server`, ends; a parent that
    ended before that was set shows as another parent. The kernel kills the fork server when the
    command ends (see kelmora_tools._fork_server); a server whose command ended before that was set
    exits once every holder of its "alive" pipe has closed it: the command and the workers, which
    inherit it although they start no processes of their own. The worker closes its copy only once
    its own end is tied to the server's, so that the server cannot end in between. The resource
    tracker, in its turn, exits when the command and the workers, the holders of its pipe, are gone.
    """
    import multiprocessing.forkserver

    from kelmora_tools import _native

    _native.set_parent_death_signal(signal.SIGKILL)
    if os.getppid() != fork_server:
        os._exit(128 + signal.SIGKILL)
    server: Any = multiprocessing.forkserver._forkserver  # the module's one server; its fields are not public
    if server._forkserver_alive_fd is not None:
        os.close(server._forkserver_alive_fd)
        server._forkserver_alive_fd = None


def _start_fork_server() -> int:
    """Starts the fork server, if it is not running, with SIGINT ignored: it keeps that disposition,
    and so does every worker it forks from their first instruction on. Returns its process id."""
    import multiprocessing.forkserver

    with stopping.signals_ignored(signal.SIGINT):
        multiprocessing.forkserver.ensure_running()
    server: Any = multiprocessing.forkserver._forkserver  # its fields are not public
    return int(server._forkserver_pid)


def process_context(preload: Sequence[str]) -> multiprocessing.context.BaseContext:
    """The start method of local worker processes: a fork server that has imported `preload` once.

    A plain fork could copy this process's threads (a progress bar's monitor, a client's event
    loop) in an undefined state; a fresh interpreter per worker would import NumPy, the module and
    TrackEval again in each one, which costs about half a second per worker. The fork server is one
    fresh, single-threaded interpreter whose forks start with those imports done.
    """
    import multiprocessing

    context = multiprocessing.get_context("forkserver")
    # Takes effect when the server starts, that is for the first pool of this process.
    context.set_forkserver_preload(["kelmora_tools._fork_server", *preload])
    return context


def as_completed(futures: list[Future]) -> Iterator[Future]:
    """The futures as they complete, the earliest submitted first among those done together."""
    from concurrent.futures import FIRST_COMPLETED, wait

    pending = set(futures)
    while pending:
        done, pending = wait(pending, return_when=FIRST_COMPLETED)
        # The earliest submitted first, so that a failure is reported for the first failing task.
        yield from sorted(done, key=futures.index)

"""Running independent tasks (one per sequence) in local processes or on a Dask cluster."""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import re
import signal
import threading
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

# multiprocessing, concurrent.futures and logging are imported where processes or a cluster are used:
# a job that runs in this process does without them.
if TYPE_CHECKING:
    import multiprocessing.context
    from concurrent.futures import Future

from kelmora_tools import progress
from kelmora_tools.errors import Terminated, UserError

T = TypeVar("T")
R = TypeVar("R")

DASK_TIMEOUT = 10.0
MAX_DASK_TIMEOUT = 3600.0
# Seconds that worker processes have to end after SIGTERM before they are killed.
STOP_SECONDS = 1.0
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


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}")
    return value


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


class Runner:
    """Runs tasks in local processes or on a Dask cluster; a context manager that connects to the
    cluster on entry (UserError when it cannot) and releases the processes or the connection on exit."""

    def __init__(
        self,
        workers: int | None = None,
        dask: str | None = None,
        dask_timeout: float = DASK_TIMEOUT,
        job_bytes: int | None = None,
    ):
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
        local worker processes import before they start (see process_context). With `weights` (the
        bytes of each task's input, say) the bar counts those units: a task run in this process moves
        it as it goes through progress.advance(), one run elsewhere when it finishes. The exception of a
        failed task is raised here; tasks not yet started are cancelled, and local worker processes
        are ended at once, as on Ctrl-C and SIGTERM (see worker_pool).
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
            with worker_pool(workers, preload) as pool:
                futures = [pool.submit(fn, task) for task in tasks]
                yield from _ordered(futures, _as_completed(futures), weights, tick)

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
            reason = "" if isinstance(e, CancelledError) else f": {_reason(e)}"
            raise UserError(
                f"--dask {self.dask}: lost the connection to the scheduler before the tasks finished{reason}"
            ) from None
        finally:
            with contextlib.suppress(Exception):
                self._client.cancel(futures)


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
        return self._executor.submit(_run_task, fn, task)

    def close(self) -> None:
        """Waits for the submitted tasks, then for the processes to exit."""
        self._executor.shutdown(wait=True)

    def stop(self) -> None:
        """Cancels the tasks not yet started and ends the processes now: SIGTERM, which interrupts
        the task a process runs (see _run_task), then SIGKILL for any still there after
        STOP_SECONDS. Ctrl-C and SIGTERM are ignored meanwhile: the command is stopping already."""
        with _signals_ignored(signal.SIGINT, signal.SIGTERM):
            # The pool's own record of its processes; Python 3.14's terminate_workers() reads it too.
            processes = list((self._executor._processes or {}).values())
            manager = self._executor._executor_manager_thread
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


# How this process answers a request to stop: Ctrl-C or SIGTERM in the command's own process, the
# parent's SIGTERM in a worker process.
_in_worker = False  # set by the pool initializer
_busy = False  # a worker runs a task
_deferring = False  # inside deferred_stop()
_interruptible = False  # inside interruptible()
_requested: int | None = None  # the signal that asked this process to stop


def _stop_exception(signum: int) -> KeyboardInterrupt:
    return Terminated() if signum == signal.SIGTERM else KeyboardInterrupt()


def _stop_signal(signum: int, frame: object) -> None:
    """A request to stop. An idle worker exits at once; a task unwinds (so that its own cleanup
    runs: Optuna marks the trial it runs FAIL) unless it defers the request (see deferred_stop)."""
    global _requested
    _requested = signum
    if _in_worker and not _busy:
        os._exit(128 + signum)
    if _interruptible or not _deferring:
        raise _stop_exception(signum)


def _worker_started(fork_server: int) -> None:
    """Pool initializer. The worker ends with the command, whatever ends it (see _end_with_command).
    Ctrl-C reaches every process of the terminal's process group: the parent alone acts on it.
    SIGTERM is the parent's request to stop (see WorkerPool.stop)."""
    global _in_worker
    _in_worker = True
    _end_with_command(fork_server)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _stop_signal)


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
    server = multiprocessing.forkserver._forkserver  # the module's one server; its fields are not public
    if server._forkserver_alive_fd is not None:
        os.close(server._forkserver_alive_fd)
        server._forkserver_alive_fd = None


def _run_task(fn: Callable[[T], R], task: T) -> R:
    """fn(task) in a worker process; the process exits, sending nothing back, once the task has
    unwound after a request to stop."""
    global _busy
    _busy = True
    try:
        return fn(task)
    except BaseException:
        if _requested is not None:
            os._exit(128 + _requested)
        raise
    finally:
        _busy = False


@contextlib.contextmanager
def deferred_stop() -> Iterator[None]:
    """A block, in a worker or in the command's own process, that a request to stop (Ctrl-C,
    SIGTERM) interrupts only inside its interruptible() parts. Elsewhere the request is noted: the
    block is to end at its next check of stop_requested(), and leaving it then raises
    KeyboardInterrupt or Terminated. Tuning uses it so that a stop never leaves a trial RUNNING
    between Optuna's storage calls, nor lets a new trial start."""
    global _deferring, _requested
    previous = {}
    if not _in_worker:
        _requested = None
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                if signal.getsignal(signum) is not signal.SIG_IGN:
                    previous[signum] = signal.signal(signum, _stop_signal)
    _deferring = True
    try:
        yield
    finally:
        _deferring = False
        for signum, handler in previous.items():
            signal.signal(signum, handler if handler is not None else signal.SIG_DFL)
    if _requested is not None:
        raise _stop_exception(_requested)


@contextlib.contextmanager
def interruptible() -> Iterator[None]:
    """Inside deferred_stop(): a part that a request to stop interrupts at once, and that does not
    start once one was noted."""
    global _interruptible
    _interruptible = True
    try:
        if _deferring and _requested is not None:
            raise _stop_exception(_requested)
        yield
    finally:
        _interruptible = False


def stop_requested() -> bool:
    """Inside deferred_stop(): whether a request to stop was noted."""
    return _requested is not None


@contextlib.contextmanager
def _signals_ignored(*signums: int) -> Iterator[None]:
    """Ignores `signums` in this process while the block runs (in the main thread only, where
    handlers can be set)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {signum: signal.signal(signum, signal.SIG_IGN) for signum in signums}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler if handler is not None else signal.SIG_DFL)


def _start_fork_server() -> int:
    """Starts the fork server, if it is not running, with SIGINT ignored: it keeps that disposition,
    and so does every worker it forks from their first instruction on. Returns its process id."""
    import multiprocessing.forkserver

    with _signals_ignored(signal.SIGINT):
        multiprocessing.forkserver.ensure_running()
    return multiprocessing.forkserver._forkserver._forkserver_pid


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


def _as_completed(futures: list[Future]) -> Iterator[Future]:
    from concurrent.futures import FIRST_COMPLETED, wait

    pending = set(futures)
    while pending:
        done, pending = wait(pending, return_when=FIRST_COMPLETED)
        # The earliest submitted first, so that a failure is reported for the first failing task.
        yield from sorted(done, key=futures.index)


_DASK_ADDRESS = re.compile(r"(tcp|ws)://([^\s/:@\[\]]+|\[[0-9A-Fa-f:.]+\]):(\d{1,5})")


def check_dask_address(address: str) -> None:
    """UserError unless `address` is a scheduler address kelmora can connect to: tcp:// or ws://,
    a host and a port, nothing after it."""
    scheme = address.partition("://")[0]
    from kelmora_tools import urls

    shown = urls.shown_url(address)
    if scheme in ("tls", "wss"):
        raise UserError(
            f"--dask {shown}: a {scheme}:// scheduler asks for a client certificate, which kelmora "
            "cannot be given; use a tcp:// address"
        )
    match = _DASK_ADDRESS.fullmatch(address)
    if not match or not 1 <= int(match[3]) <= 65535:
        raise UserError(f"--dask {shown}: expected a scheduler address such as tcp://host:8786")


def dask_timeout(text: str) -> float:
    """--dask-timeout: seconds, more than 0 and at most MAX_DASK_TIMEOUT."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= MAX_DASK_TIMEOUT:
        raise argparse.ArgumentTypeError(f"expected seconds > 0 and at most {MAX_DASK_TIMEOUT:g}, got {text!r}")
    return value


@contextlib.contextmanager
def dask_client(address: str, timeout: float = DASK_TIMEOUT):
    """A distributed.Client connected to the scheduler at `address`, which has at least one worker;
    UserError when the scheduler cannot be reached or no worker joins it within `timeout` seconds."""
    check_dask_address(address)
    import logging

    from distributed import Client

    # The client logs its connection attempts and losses; a failure is reported as one line instead.
    quiet = [
        logging.getLogger(name)
        for name in list(logging.root.manager.loggerDict)
        if name == "distributed" or name.startswith("distributed.")
    ] + [logging.getLogger("distributed")]
    levels = [logger.level for logger in quiet]
    for logger in quiet:
        logger.setLevel(logging.CRITICAL)
    try:
        try:
            _ask_scheduler(address, timeout)
            client = Client(address, timeout=timeout, set_as_default=False)
        except (OSError, TimeoutError, ValueError) as e:
            raise UserError(f"--dask {address}: cannot reach the scheduler: {_reason(e)}") from None
        try:
            try:
                client.wait_for_workers(1, timeout=timeout)
            except TimeoutError:
                raise UserError(
                    f"--dask {address}: the scheduler has no workers (waited {timeout:g} s); "
                    f"start some with: dask worker {address}"
                ) from None
            except OSError as e:
                raise UserError(f"--dask {address}: lost the connection to the scheduler: {_reason(e)}") from None
            yield client
        finally:
            with contextlib.suppress(Exception):
                client.close(timeout=min(timeout, 2.0))
    finally:
        for logger, level in zip(quiet, levels):
            logger.setLevel(level)


def _reason(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def _ask_scheduler(address: str, timeout: float) -> None:
    """Connects to `address` and asks for its identity within `timeout` seconds in all: the client's
    own start waits without end on a server that accepts connections but never answers (an HTTP
    server, say). UserError when the answer is not a Dask scheduler's."""
    import asyncio

    from distributed.comm import connect

    async def identity() -> object:
        comm = await connect(address, timeout=timeout)
        try:
            await comm.write({"op": "identity"})
            return await comm.read()
        finally:
            comm.abort()

    try:
        # A second more than the connection's own timeout, so that a refusal is reported as such.
        reply = asyncio.run(asyncio.wait_for(identity(), timeout + 1.0))
    except TimeoutError:
        raise UserError(f"--dask {address}: cannot reach the scheduler: no answer within {timeout:g} s") from None
    except Exception as e:  # refused, reset, or not the protocol (a web server's answer to a ws:// address)
        raise UserError(f"--dask {address}: cannot reach the scheduler: {_reason(e)}") from None
    if not isinstance(reply, dict) or reply.get("type") != "Scheduler":
        raise UserError(f"--dask {address}: not a Dask scheduler")

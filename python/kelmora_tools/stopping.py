"""How the command stops, in one place: Ctrl-C and SIGTERM in the command's own process, the
command's SIGTERM in a worker process; blocks that defer a request to stop until they can end
cleanly, and the signals a block ignores. The command (cli), the worker pool (workers) and the video
loop ask this module; nothing else sets a signal handler.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
from collections.abc import Callable, Iterator
from types import FrameType
from typing import TypeVar

from kelmora_tools.errors import Terminated

T = TypeVar("T")
R = TypeVar("R")


def _terminate(signum: int, frame: object) -> None:
    raise Terminated()


@contextlib.contextmanager
def sigterm_raises() -> Iterator[None]:
    """SIGTERM raises Terminated in the main thread while the block runs, so that the command cleans
    up as for Ctrl-C instead of dying with its worker processes left behind."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous if previous is not None else signal.SIG_DFL)


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


def become_worker() -> None:
    """Makes this process a worker: Ctrl-C reaches every process of the terminal's process group, and
    the command alone acts on it; SIGTERM is the command's request to stop (see
    workers.WorkerPool.stop)."""
    global _in_worker
    _in_worker = True
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _stop_signal)


def run_task(fn: Callable[[T], R], task: T) -> R:
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
def signals_ignored(*signums: int) -> Iterator[None]:
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


class StopOnInterrupt:
    """While active (on a live source, in the main thread), a first Ctrl-C asks the run to stop after
    the current frame instead of raising KeyboardInterrupt; a second one interrupts as usual."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled and threading.current_thread() is threading.main_thread()
        self.requested = False
        self._previous: Callable[[int, FrameType | None], object] | int | None = None

    def _handle(self, signum, frame) -> None:
        self.requested = True
        signal.signal(signal.SIGINT, self._previous or signal.default_int_handler)

    def __enter__(self) -> StopOnInterrupt:
        if self.enabled:
            self._previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        if self.enabled and not self.requested:
            signal.signal(signal.SIGINT, self._previous or signal.default_int_handler)

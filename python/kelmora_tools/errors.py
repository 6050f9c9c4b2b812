"""The exceptions the command line reports without a traceback, its exit statuses, and the one-line
wording of errors."""

from __future__ import annotations

import enum
import pathlib
import stat
import sys
import threading
from collections.abc import Collection


class ExitStatus(enum.IntEnum):
    """The `kelmora` command's exit statuses."""

    OK = 0
    USER_ERROR = 2  # one line on stderr names the file, line or option
    INTERRUPTED = 130  # Ctrl-C: 128 + SIGINT
    TERMINATED = 143  # kill: 128 + SIGTERM


class UserError(Exception):
    """A problem with the user's input or options; its message is one line naming the file and line,
    the frame, or the option."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread as Ctrl-C raises KeyboardInterrupt, so that the same cleanup
    runs (worker processes ended, a running trial marked failed); the command then exits with 143."""


def one_line(text: str) -> str:
    """`text` on one line: every run of blanks and line breaks becomes one space."""
    return " ".join(text.split())


def first_line(error: BaseException, *, with_type: bool = False) -> str:
    """The first line of an error's message, on one line (for a database error, the database's own
    message); the error's type name when it has none. With `with_type`: "TypeName: first line"."""
    text = str(getattr(error, "orig", None) or error).strip()
    line = one_line(text.splitlines()[0]) if text else ""
    name = type(error).__name__
    if with_type:
        return f"{name}: {line}" if line else name
    return line or name


def file_problem(path: pathlib.Path) -> str | None:
    """What keeps `path` from being read as a file ("no such file", "is a folder, expected a file",
    "is a named pipe (FIFO), expected a file", ...), or None for a regular file. Only the file's
    status is looked at: opening a FIFO or a device could block."""
    try:
        mode = path.stat().st_mode
    except FileNotFoundError:
        return "no such file"
    except OSError as e:
        return f"cannot read: {e.strerror or e}"
    if stat.S_ISREG(mode):
        return None
    kinds = [(stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a named pipe (FIFO)"), (stat.S_ISSOCK, "a socket")]
    kind = next((name for test, name in kinds if test(mode)), "a device")
    return f"is {kind}, expected a file"


def lingering_threads(before: Collection[threading.Thread] = ()) -> list[threading.Thread]:
    """The threads, other than those of `before`, that would keep the process from exiting: alive,
    not daemon threads, and not the workers of a ThreadPoolExecutor (which Python stops at exit)."""
    pools = sys.modules.get("concurrent.futures.thread")
    pooled = set(getattr(pools, "_threads_queues", {}))
    return [
        t
        for t in threading.enumerate()
        if t is not threading.main_thread() and t not in before and not t.daemon and t.is_alive() and t not in pooled
    ]

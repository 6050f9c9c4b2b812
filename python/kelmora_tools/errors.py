"""The exceptions the command line reports without a traceback, its exit statuses, and the one-line
wording of errors."""

from __future__ import annotations

import enum


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

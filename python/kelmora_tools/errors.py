"""The exceptions the command line reports without a traceback."""

from __future__ import annotations


class UserError(Exception):
    """A problem with the user's input or options; its message is one line naming the file and line,
    the frame, or the option."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread as Ctrl-C raises KeyboardInterrupt, so that the same cleanup
    runs (worker processes ended, a running trial marked failed); the command then exits with 143."""

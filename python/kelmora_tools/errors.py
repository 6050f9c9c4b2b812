"""The one exception the command line reports without a traceback."""

from __future__ import annotations


class UserError(Exception):
    """A problem with the user's input or options; its message is one line naming the file and line,
    the frame, or the option."""

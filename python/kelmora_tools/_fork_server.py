"""Imported by the fork server of the command's worker processes, first of its preloads (see
workers.process_context), and nowhere else: ties the server's life to the command's.

The kernel kills the server as soon as the command ends, whatever ends it (kill -9 included), and
the kernel then kills the workers (see workers._end_with_command). A command that ended before
this ran is seen by the server itself: its "alive" pipe reads end of file once the command and the
workers have closed it, and it exits.
"""

import signal

from kelmora_tools import _native

_native.set_parent_death_signal(signal.SIGKILL)

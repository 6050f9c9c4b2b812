"""Shared helpers of the Python test suite."""

from __future__ import annotations

import os
import re
import signal

import numpy as np
import pytest

# The tests that start real services (a Dask cluster, a PostgreSQL server) run in their own make
# target, `make test-services`, which sets this variable.
collect_ignore = [] if os.environ.get("KELMORA_SERVICE_TESTS") else ["services"]

# The Ctrl-C tests send SIGINT to commands they start. A suite started in the background of a
# non-interactive shell inherits SIGINT ignored, and so would every command it starts: take it back.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def assert_bits_equal(got: np.ndarray, want) -> None:
    """Same dtype, shape and bit pattern, signed zeros included; NaN must meet NaN (the sign
    and payload of a NaN depend on operand order inside the processor and are not compared).
    `want` may be a list, read with the dtype of `got`."""
    got = np.asarray(got)
    want = want if isinstance(want, np.ndarray) else np.asarray(want, dtype=got.dtype)
    assert got.dtype == want.dtype
    assert got.shape == want.shape
    if got.dtype.kind == "f":
        got_nan, want_nan = np.isnan(got), np.isnan(want)
        assert np.array_equal(got_nan, want_nan), f"NaN positions differ: {got!r} != {want!r}"
        got, want = np.where(got_nan, np.nan, got), np.where(want_nan, np.nan, want)
    assert got.tobytes() == want.tobytes(), f"{got!r} != {want!r}"


def raises_exactly(exc, message):
    """pytest.raises for `exc` whose message is exactly `message`."""
    return pytest.raises(exc, match="^" + re.escape(message) + "$")

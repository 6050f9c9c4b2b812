"""The Dask cluster a job may run on: its scheduler's address checked, and a client connected to a
scheduler that answers and has a worker, failures worded as one line naming --dask."""

from __future__ import annotations

import contextlib
import re

from kelmora_tools.errors import UserError

DASK_TIMEOUT = 10.0
MAX_DASK_TIMEOUT = 3600.0

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
            raise UserError(f"--dask {address}: cannot reach the scheduler: {reason(e)}") from None
        try:
            try:
                client.wait_for_workers(1, timeout=timeout)
            except TimeoutError:
                raise UserError(
                    f"--dask {address}: the scheduler has no workers (waited {timeout:g} s); "
                    f"start some with: dask worker {address}"
                ) from None
            except OSError as e:
                raise UserError(f"--dask {address}: lost the connection to the scheduler: {reason(e)}") from None
            yield client
        finally:
            with contextlib.suppress(Exception):
                client.close(timeout=min(timeout, 2.0))
    finally:
        for logger, level in zip(quiet, levels):
            logger.setLevel(level)


def reason(error: BaseException) -> str:
    """An error of the client or the connection, on one line."""
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
        raise UserError(f"--dask {address}: cannot reach the scheduler: {reason(e)}") from None
    if not isinstance(reply, dict) or reply.get("type") != "Scheduler":
        raise UserError(f"--dask {address}: not a Dask scheduler")

"""Real services for the tool tests, started here and stopped afterwards, on loopback only: a Dask
scheduler with two worker processes, and a PostgreSQL server in a temporary data directory."""

from __future__ import annotations

import contextlib
import glob
import os
import pathlib
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest
from command_support import child_env


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop(process: subprocess.Popen, sig: int = signal.SIGTERM, wait: float = 30.0) -> None:
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(wait)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@contextlib.contextmanager
def dask_cluster(logs: pathlib.Path, workers: int):
    """A Dask scheduler on a loopback port with `workers` single-threaded worker processes that import
    the tools and the module as this suite does; yields the scheduler's address and process once the
    workers have joined it."""
    from distributed import Client

    address = f"tcp://127.0.0.1:{free_port()}"
    env = child_env()
    processes = []
    with contextlib.ExitStack() as stack:
        stack.callback(lambda: [stop(p) for p in reversed(processes)])

        def start(name: str, *argv: str) -> None:
            log = stack.enter_context(open(logs / f"{name}.log", "w"))
            processes.append(
                subprocess.Popen([sys.executable, "-m", *argv], env=env, stdout=log, stderr=subprocess.STDOUT, cwd=logs)
            )

        start(
            "scheduler",
            "distributed.cli.dask_scheduler",
            "--host",
            "127.0.0.1",
            "--port",
            address.rsplit(":", 1)[1],
            "--no-dashboard",
        )
        for i in range(workers):
            start(
                f"worker-{i}",
                "distributed.cli.dask_worker",
                address,
                "--host",
                "127.0.0.1",
                "--nthreads",
                "1",
                "--nworkers",
                "1",
                "--no-dashboard",
                "--name",
                f"worker-{i}",
            )
        with Client(address, timeout="60s", set_as_default=False) as client:
            if workers:
                client.wait_for_workers(workers, timeout=120)
        yield address, processes[0]


@pytest.fixture(scope="session")
def dask_scheduler(tmp_path_factory):
    """The address of a Dask scheduler on loopback with two worker processes (see dask_cluster)."""
    with dask_cluster(tmp_path_factory.mktemp("dask"), 2) as (address, _):
        yield address


def _postgres_bin() -> pathlib.Path:
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"), key=lambda p: int(p.split("/")[4]))
    if not found:
        pytest.fail("PostgreSQL is not installed; dev/bootstrap.sh installs Debian's postgresql")
    return pathlib.Path(found[-1]).parent


class Postgres:
    """A PostgreSQL server in a temporary data directory, listening on a loopback port only, with a
    database `optuna` at `url`. The server refuses to run as root, so as root it runs as Debian's
    postgres user (or nobody)."""

    def __init__(self) -> None:
        self.bin_dir = _postgres_bin()
        self.user: str | None = None
        if os.geteuid() == 0:
            self.user = "postgres" if _has_user("postgres") else "nobody"
        self.base = pathlib.Path(tempfile.mkdtemp(prefix="kelmora-pg-"))
        self.data, self.sockets = self.base / "data", self.base / "sockets"
        self.sockets.mkdir()
        self.log = self.base / "server.log"
        self.log.touch()
        if self.user is not None:
            entry = pwd.getpwnam(self.user)
            for path in (self.base, self.sockets, self.log):
                os.chown(path, entry.pw_uid, entry.pw_gid)
        self.port = free_port()
        self.url = f"postgresql+psycopg://kelmora@127.0.0.1:{self.port}/optuna"
        self.server: subprocess.Popen | None = None
        subprocess.run(
            [
                str(self.bin_dir / "initdb"),
                "-D",
                str(self.data),
                "-U",
                "kelmora",
                "--auth=trust",
                "-E",
                "UTF8",
                "--no-sync",
            ],
            check=True,
            capture_output=True,
            cwd=self.base,
            **self._run_as(),
        )

    def _run_as(self) -> dict:
        return {"user": self.user} if self.user is not None else {}

    def start(self) -> None:
        """Starts the server and waits until it takes connections; creates the database the first time."""
        import psycopg

        with open(self.log, "a") as log:
            self.server = subprocess.Popen(
                [
                    str(self.bin_dir / "postgres"),
                    "-D",
                    str(self.data),
                    "-p",
                    str(self.port),
                    "-k",
                    str(self.sockets),
                    "-c",
                    "listen_addresses=127.0.0.1",
                    "-c",
                    "fsync=off",
                ],
                stdout=log,
                stderr=subprocess.STDOUT,
                cwd=self.base,
                **self._run_as(),
            )
        admin = f"postgresql://kelmora@127.0.0.1:{self.port}/postgres"
        deadline = time.monotonic() + 60
        while True:
            try:
                with psycopg.connect(admin, autocommit=True, connect_timeout=5) as connection:
                    if not connection.execute("SELECT 1 FROM pg_database WHERE datname = 'optuna'").fetchone():
                        connection.execute("CREATE DATABASE optuna")
                return
            except psycopg.OperationalError:
                if self.server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("PostgreSQL did not start:\n" + self.log.read_text()) from None
                time.sleep(0.2)

    def stop(self) -> None:
        if self.server is not None:
            stop(self.server, signal.SIGINT)  # fast shutdown: open connections are ended
            self.server = None

    def remove(self) -> None:
        self.stop()
        shutil.rmtree(self.base, ignore_errors=True)


@contextlib.contextmanager
def _running_postgres():
    server = Postgres()
    try:
        server.start()
        yield server
    finally:
        server.remove()


@pytest.fixture(scope="session")
def postgres_url():
    """The URL of a database on a PostgreSQL server that the tests share (see Postgres)."""
    with _running_postgres() as server:
        yield server.url


@pytest.fixture
def postgres_server():
    """A PostgreSQL server of the test's own, which it may stop and start (see Postgres)."""
    with _running_postgres() as server:
        yield server


def _has_user(name: str) -> bool:
    try:
        pwd.getpwnam(name)
    except KeyError:
        return False
    return True

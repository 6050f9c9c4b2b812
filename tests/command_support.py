"""Helpers of the command-line tool tests: synthetic datasets, running `kelmora` in this process or
in a child process, and comparing evaluator results with TrackEval's (also for the fuzz targets)."""

from __future__ import annotations

import contextlib
import dataclasses
import http.server
import os
import pathlib
import subprocess
import sys
import threading

import make_sequence
import numpy as np
import pytest
from trackeval_peer import trackeval_evaluate  # noqa: F401  (the tests' TrackEval peer)

import kelmora_cpp
from kelmora_tools import study_storage
from kelmora_tools.cli import main

ROOT = pathlib.Path(__file__).resolve().parent.parent

SYNTHETIC = ROOT / "data" / "synthetic"


@dataclasses.dataclass
class Run:
    status: int
    out: str
    err: str


def kelmora(capsys, *argv: object) -> Run:
    """`kelmora ARGV` through cli.main in this process."""
    capsys.readouterr()
    status = main([str(a) for a in argv])
    captured = capsys.readouterr()
    return Run(status, captured.out, captured.err)


def child_env() -> dict[str, str]:
    """The environment of a child process that imports the tools from the sources and the module from
    the build this suite runs against."""
    env = os.environ.copy()
    module_dir = str(pathlib.Path(kelmora_cpp.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "python"), module_dir, env.get("PYTHONPATH")]))
    return env


def kelmora_argv(*argv: object) -> list[str]:
    return [sys.executable, "-m", "kelmora_tools", *map(str, argv)]


def kelmora_process(*argv: object, timeout: float = 300, env=None, **kwargs) -> subprocess.CompletedProcess:
    """`python -m kelmora_tools ARGV` in a child process (`env`: child_env() unless given)."""
    return subprocess.run(
        kelmora_argv(*argv), capture_output=True, text=True, env=env or child_env(), timeout=timeout, **kwargs
    )


def kelmora_child(*argv: object, **kwargs) -> subprocess.Popen:
    """`python -m kelmora_tools ARGV` started in a child process, its output piped as text."""
    return subprocess.Popen(
        kelmora_argv(*argv), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env(), **kwargs
    )


# A mount namespace of the tests' own: root, or an unprivileged user namespace mapped to root.
UNSHARE = ["unshare", "--mount"] + ([] if os.geteuid() == 0 else ["--map-root-user"])
needs_namespace = pytest.mark.skipif(
    subprocess.run([*UNSHARE, "true"], capture_output=True).returncode != 0, reason="no mount namespace here"
)


def full_disk_process(folder: pathlib.Path, *argv: object, free: int = 0, **kwargs) -> subprocess.CompletedProcess:
    """`python -m kelmora_tools ARGV` in a mount namespace where `folder` is a file system with
    `free` bytes left (whole pages of 4 KiB): a write beyond them fails with ENOSPC."""
    folder.mkdir()
    script = f'mount -t tmpfs -o size={4096 + free} tmpfs "$0" && head -c 4096 /dev/zero > "$0/fill" && exec "$@"'
    command = [*UNSHARE, "sh", "-c", script, str(folder), *kelmora_argv(*argv)]
    return subprocess.run(command, capture_output=True, text=True, env=child_env(), timeout=300, **kwargs)


def study_trials(url: str, name: str) -> list:
    """The trials of study `name` in the database at `url`; none while the study is not created yet."""
    import optuna

    with study_storage.storage_at(url) as storage:
        try:
            return optuna.load_study(study_name=name, storage=storage).get_trials()
        except KeyError:
            return []


@contextlib.contextmanager
def loopback_http_server(handler):
    """A threaded HTTP server on loopback answering with `handler`; yields its port."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def write_sequence(folder: pathlib.Path, frames: int, seed: int, name: str) -> pathlib.Path:
    make_sequence.write_sequence(folder, make_sequence.make_sequence(frames, seed, name))
    return folder


def make_dataset(root: pathlib.Path, frames: tuple[int, ...] = (60, 45, 50)) -> pathlib.Path:
    """A dataset root with one synthetic sequence per entry of `frames`, named seq-0, seq-1, ..."""
    for i, n in enumerate(frames):
        write_sequence(root / f"folder-{i}", n, 100 + i, f"seq-{i}")
    return root


def assert_same_results(ours: dict, theirs: dict) -> None:
    """Every field TrackEval reports: counts exactly, fractions to 1e-12 (in practice, to the bit)."""
    for metric, fields in theirs.items():
        for field, want in fields.items():
            got = np.asarray(ours[metric][field], dtype=float)
            want = np.asarray(want, dtype=float)
            assert got.shape == want.shape, (metric, field)
            np.testing.assert_allclose(got, want, rtol=0, atol=1e-12, err_msg=f"{metric}.{field}")
            if (
                metric != "HOTA"
                and field in ("CLR_TP", "CLR_FN", "CLR_FP", "IDSW", "MT", "PT", "ML", "Frag", "IDTP", "IDFN", "IDFP")
                or field.startswith("HOTA_")
            ):
                assert np.array_equal(got, want), (metric, field)

"""Ctrl-C and SIGTERM end `kelmora track` and `kelmora tune` with their worker processes (the fork
server included), with status 130 or 143, and a stopped tune adds no trial afterwards."""

from __future__ import annotations

import datetime
import os
import pathlib
import signal
import threading
import time

import numpy as np
import optuna
import pytest
from command_support import kelmora_child, study_trials

from kelmora_tools import workers
from kelmora_tools.errors import lingering_threads


def crowded_sequence(folder: pathlib.Path, frames: int, boxes: int, seed: int) -> pathlib.Path:
    """A sequence of `boxes` overlapping people in every frame: slow to track and to score, so that
    its task is still running when the signal comes."""
    rng = np.random.default_rng(seed)
    base = rng.uniform(0, 200, (boxes, 2))
    det, gt = [], []
    for frame in range(1, frames + 1):
        xy = np.rint(base + rng.normal(0, 3, (boxes, 2))).astype(int)
        det += [f"{frame},-1,{x},{y},60,60,0.9,-1,-1,-1" for x, y in xy]
        gt += [f"{frame},{i},{x},{y},60,60,1,1,1" for i, (x, y) in enumerate(np.rint(base).astype(int), 1)]
    for name, rows in (("det/det.txt", det), ("gt/gt.txt", gt)):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text("\n".join(rows) + "\n")
    return folder


@pytest.fixture(scope="module")
def crowds(tmp_path_factory):
    """Two datasets of two crowded sequences: about 7 s of tracking each, and trials of about 1 s."""
    root = tmp_path_factory.mktemp("crowds")
    (root / "results").mkdir()
    for i in range(2):
        crowded_sequence(root / "track" / f"c{i}", 24, 3000, i)
        crowded_sequence(root / "tune" / f"c{i}", 10, 600, i)
        (root / "results" / f"c{i}.txt").write_bytes((root / "track" / f"c{i}" / "gt" / "gt.txt").read_bytes())
    return root


def session_processes(session: int) -> list[int]:
    """The live processes of a session (a command started in a session of its own, and every
    process it started)."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[3]) == session and fields[0] != "Z":
            found.append(int(entry.name))
    return found


def wait_for(condition, what: str, timeout: float = 60) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.1)


@pytest.mark.parametrize(
    "subcommand, signum, status, last_line",
    [(c, signal.SIGINT, 130, "interrupted") for c in ("track", "tune")]
    + [(c, signal.SIGTERM, 143, "terminated") for c in ("track", "tune")]
    + [(c, signal.SIGKILL, -9, None) for c in ("tune", "eval")],  # nothing the command started outlives it
)
def test_a_signal_ends_the_command_and_its_workers(tmp_path, crowds, subcommand, signum, status, last_line):
    url = f"sqlite:///{tmp_path / 'best.db'}"
    argv = {
        "track": ["track", crowds / "track", "--out", tmp_path / "out"],
        "tune": ["tune", crowds / "tune", "--trials", 40, "--study", "crowd", "--out", tmp_path / "best.json"],
        "eval": ["eval", "--gt", crowds / "track", "--results", crowds / "results", "--trackeval"],
    }
    command = kelmora_child(*argv[subcommand], "--workers", "2", start_new_session=True)
    try:
        # The command, its fork server and two workers; for tune, both workers in a trial.
        wait_for(lambda: len(session_processes(command.pid)) >= 4, "the workers")
        if subcommand == "tune":
            wait_for(lambda: len(study_trials(url, "crowd")) >= 3, "the workers' trials")
        else:
            time.sleep(0.5)
        # Ctrl-C reaches the whole process group; kill, the command alone.
        if signum == signal.SIGINT:
            os.killpg(command.pid, signum)
        else:
            command.send_signal(signum)
        # Each task in flight has seconds of work left; the command must not wait for it.
        out, err = command.communicate(timeout=5)
        ended = datetime.datetime.now()
        wait_for(lambda: not session_processes(command.pid), "the workers and the fork server to end", timeout=2)
    finally:
        for pid in session_processes(command.pid):  # what a failure left running
            os.kill(pid, signal.SIGKILL)
        if command.poll() is None:
            command.communicate()
    assert command.returncode == status and (last_line is None or err == f"kelmora {subcommand}: {last_line}\n")
    assert not list((tmp_path / "out").glob("*.txt")) and not (tmp_path / "best.json").exists()
    if subcommand == "tune":
        # No worker went on with the search; the trials Ctrl-C or SIGTERM cut short are FAIL, not RUNNING.
        trials = study_trials(url, "crowd")
        assert len(trials) < 10 and all(t.datetime_start < ended for t in trials)
        assert signum == signal.SIGKILL or not [t for t in trials if t.state == optuna.trial.TrialState.RUNNING]


def test_a_pool_stopped_by_a_failed_task_leaves_no_thread_running():
    before = threading.enumerate()
    with pytest.raises(ValueError), workers.worker_pool(2) as pool:
        pool.submit(time.sleep, 30)
        pool.submit(int, "x").result()
    assert lingering_threads(before) == []

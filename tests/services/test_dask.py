"""kelmora track and eval on a real Dask cluster give the files and figures of a local run."""

from __future__ import annotations

import json
import signal
import time

from command_support import kelmora, kelmora_child, make_dataset
from conftest import dask_cluster
from test_signals import crowded_sequence


def test_track_and_eval_on_dask_match_a_local_run(tmp_path, capsys, dask_scheduler):
    data = make_dataset(tmp_path / "data", frames=(60, 45, 50, 30))
    local = kelmora(capsys, "track", data, "--out", tmp_path / "local", "--workers", 2, "--set", "max_age=40")
    on_dask = kelmora(
        capsys, "track", data, "--out", tmp_path / "dask", "--dask", dask_scheduler, "--set", "max_age=40"
    )
    assert (local.status, on_dask.status) == (0, 0), on_dask.err
    assert f"on Dask at {dask_scheduler}" in on_dask.out.splitlines()[0]
    for i in range(4):
        assert (tmp_path / "dask" / f"seq-{i}.txt").read_bytes() == (tmp_path / "local" / f"seq-{i}.txt").read_bytes()
    scores = {}
    for where, extra in (("local", ["--workers", 1]), ("dask", ["--dask", dask_scheduler])):
        run = kelmora(
            capsys, "eval", "--gt", data, "--results", tmp_path / where, "--json", tmp_path / f"{where}.json", *extra
        )
        assert run.status == 0, run.err
        scores[where] = json.loads((tmp_path / f"{where}.json").read_text())
    assert scores["dask"] == scores["local"] and len(scores["dask"]["sequences"]) == 4


def test_a_worker_error_reaches_the_client_as_one_line(tmp_path, capsys, dask_scheduler):
    data = make_dataset(tmp_path / "data", frames=(20, 20))
    det = data / "folder-1" / "det" / "det.txt"
    det.write_text(det.read_text() + "21,-1,0,0,1,1,0.9,1,-1,-1\n")
    run = kelmora(capsys, "track", data, "--out", tmp_path / "out", "--dask", dask_scheduler)
    lines = len(det.read_text().splitlines())
    assert run.status == 2
    assert run.err == (
        f"kelmora track: error: {det}:{lines}: frame 21 is beyond the sequence length 20 (seqLength of seqinfo.ini)\n"
    )
    assert not (tmp_path / "out" / "seq-1.txt").exists()


def test_a_scheduler_without_workers_is_reported_after_the_timeout(tmp_path, capsys):
    data = make_dataset(tmp_path / "data", frames=(20,))
    with dask_cluster(tmp_path, 0) as (address, _):
        run = kelmora(capsys, "track", data, "--out", tmp_path / "out", "--dask", address, "--dask-timeout", 2)
    assert (run.status, run.err) == (
        2,
        f"kelmora track: error: --dask {address}: the scheduler has no workers "
        f"(waited 2 s); start some with: dask worker {address}\n",
    )


def test_a_scheduler_lost_mid_run_is_one_line(tmp_path):
    crowded_sequence(tmp_path / "data" / "c0", 12, 3000, 0)  # seconds of tracking
    with dask_cluster(tmp_path, 1) as (address, scheduler):
        command = kelmora_child(
            "track", tmp_path / "data", "--out", tmp_path / "out", "--dask", address, "--dask-timeout", 3
        )
        try:
            assert command.stdout.readline().startswith("kelmora track: 1 sequence")  # connected, task sent
            time.sleep(1)
            scheduler.send_signal(signal.SIGKILL)
            _, err = command.communicate(timeout=30)
        finally:
            if command.poll() is None:
                command.kill()
                command.communicate()
    assert command.returncode == 2
    assert (
        err.startswith(
            f"kelmora track: error: --dask {address}: lost the connection to the scheduler before the tasks finished"
        )
        and err.count("\n") == 1
    ), err
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").glob("*.txt"))

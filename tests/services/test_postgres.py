"""Two kelmora tune commands share one study on a real PostgreSQL server and record every trial."""

from __future__ import annotations

import re
import time

import optuna
import pytest
from command_support import kelmora, kelmora_child, study_trials, write_sequence

from kelmora_tools import study_storage


def test_two_concurrent_tune_commands_share_one_study(tmp_path, postgres_url):
    seq = write_sequence(tmp_path / "s", 60, 4, "shared-seq")
    commands = [
        kelmora_child(
            "tune",
            seq,
            "--trials",
            4,
            "--workers",
            1,
            "--storage",
            postgres_url,
            "--study",
            "two-machines",
            "--out",
            tmp_path / f"best-{i}.json",
        )
        for i in range(2)
    ]
    outputs = [c.communicate(timeout=600) for c in commands]
    assert [c.returncode for c in commands] == [0, 0], outputs
    assert sorted("(new)" in out.splitlines()[0] for out, _ in outputs) == [False, True]
    with study_storage.storage_at(postgres_url) as storage:
        trials = optuna.load_study(study_name="two-machines", storage=storage).get_trials()
    assert sorted(t.number for t in trials) == list(range(8))
    assert all(t.state == optuna.trial.TrialState.COMPLETE for t in trials)
    assert sum(bool(t.user_attrs.get("start")) for t in trials) == 1
    workers = [t.user_attrs["worker"] for t in trials]
    assert len(set(workers)) == 2 and sorted(workers.count(w) for w in set(workers)) == [4, 4]
    # Each command reports the study's best when it ends; the one that ends last has seen every trial.
    best = max(t.value for t in trials)
    assert any(f"HOTA after:  {best:.4f} (trial " in out for out, _ in outputs)


def test_joining_from_a_second_machine_adds_trials(tmp_path, capsys, postgres_url):
    seq = write_sequence(tmp_path / "s", 40, 2, "joined-seq")
    common = ["tune", seq, "--storage", postgres_url, "--study", "joined", "--workers", 1]
    assert kelmora(capsys, *common, "--trials", 2, "--out", tmp_path / "a.json").status == 0
    run = kelmora(capsys, *common, "--trials", 3, "--out", tmp_path / "b.json", "--metric", "HOTA")
    assert run.status == 0, run.err
    assert "(joined)" in run.out.splitlines()[0] and "of 5 finished" in run.out
    run = kelmora(capsys, *common, "--trials", 1, "--out", tmp_path / "c.json", "--metric", "MOTA")
    assert run.status == 2 and "the study maximises HOTA, not MOTA" in run.err


@pytest.mark.parametrize("workers", [1, 2])
def test_an_outage_ends_tune_with_one_line_and_a_later_run_reclaims_its_trials(
    tmp_path, capsys, postgres_server, monkeypatch, workers
):
    seq = write_sequence(tmp_path / "s", 2000, 4, "outage-seq")  # trials long beside the storage calls between them
    url = postgres_server.url
    tune = ["tune", seq, "--storage", url, "--study", "outage", "--out", tmp_path / "best.json"]
    command = kelmora_child(*tune, "--trials", 1000, "--workers", workers)
    try:
        deadline = time.monotonic() + 120
        while len(finished(url, "outage")) < 4 and command.poll() is None and time.monotonic() < deadline:
            time.sleep(0.2)
        postgres_server.stop()
        _, err = command.communicate(timeout=60)
    finally:
        if command.poll() is None:
            command.kill()
            command.communicate()
    assert command.returncode == 2, err
    assert re.fullmatch(rf"kelmora tune: error: --storage {re.escape(url)}: the storage failed: .+\n", err), err
    postgres_server.start()
    # The trials the outage cut short are RUNNING until a later run finds them stale.
    monkeypatch.setattr(study_storage, "STALE_SECONDS", 1)
    time.sleep(2)
    run = kelmora(capsys, *tune, "--trials", 1, "--workers", 1)
    assert run.status == 0, run.err
    with study_storage.storage_at(url) as storage:
        states = [t.state for t in optuna.load_study(study_name="outage", storage=storage).get_trials()]
    assert optuna.trial.TrialState.RUNNING not in states and (optuna.trial.TrialState.FAIL in states or workers == 1)


def finished(url: str, study: str) -> list:
    return [t for t in study_trials(url, study) if t.state == optuna.trial.TrialState.COMPLETE]

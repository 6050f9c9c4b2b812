"""Two kelmora tune commands share one study on a real PostgreSQL server and record every trial."""

from __future__ import annotations

import subprocess
import sys

import optuna
from tools_support import child_env, kelmora, write_sequence

from kelmora_tools import tune


def test_two_concurrent_tune_commands_share_one_study(tmp_path, postgres_url):
    seq = write_sequence(tmp_path / "s", 60, 4, "shared-seq")
    commands = [subprocess.Popen([sys.executable, "-m", "kelmora_tools", "tune", str(seq), "--trials", "4",
                                  "--workers", "1", "--storage", postgres_url, "--study", "two-machines",
                                  "--out", str(tmp_path / f"best-{i}.json")],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
                for i in range(2)]
    outputs = [c.communicate(timeout=600) for c in commands]
    assert [c.returncode for c in commands] == [0, 0], outputs
    assert sorted("(new)" in out.splitlines()[0] for out, _ in outputs) == [False, True]
    with tune.storage_at(postgres_url) as storage:
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

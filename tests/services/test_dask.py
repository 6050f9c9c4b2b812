"""kelmora track and eval on a real Dask cluster give the files and figures of a local run."""

from __future__ import annotations

import json

from tools_support import kelmora, make_dataset


def test_track_and_eval_on_dask_match_a_local_run(tmp_path, capsys, dask_scheduler):
    data = make_dataset(tmp_path / "data", frames=(60, 45, 50, 30))
    local = kelmora(capsys, "track", data, "--out", tmp_path / "local", "--workers", 2, "--set", "max_age=40")
    on_dask = kelmora(capsys, "track", data, "--out", tmp_path / "dask", "--dask", dask_scheduler,
                      "--set", "max_age=40")
    assert (local.status, on_dask.status) == (0, 0), on_dask.err
    assert f"on Dask at {dask_scheduler}" in on_dask.out.splitlines()[0]
    for i in range(4):
        assert (tmp_path / "dask" / f"seq-{i}.txt").read_bytes() == (tmp_path / "local" / f"seq-{i}.txt").read_bytes()
    scores = {}
    for where, extra in (("local", ["--workers", 1]), ("dask", ["--dask", dask_scheduler])):
        run = kelmora(capsys, "eval", "--gt", data, "--results", tmp_path / where, "--json", tmp_path / f"{where}.json",
                      *extra)
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
    assert run.err == (f"kelmora track: error: {det}:{lines}: frame 21 is beyond the sequence length 20 "
                       f"(seqLength of seqinfo.ini)\n")
    assert not (tmp_path / "out" / "seq-1.txt").exists()

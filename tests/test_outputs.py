"""Result sets stay whole: a run's files go in place together or not at all, one run at a time per
output folder, and errors name the user's paths."""

from __future__ import annotations

import fcntl
import os

import pytest
import synthetic_clip as clip
from command_support import full_disk_process, kelmora, make_dataset, needs_namespace, write_sequence

from kelmora_tools import outputs


def test_a_failing_sequence_leaves_the_previous_results_whole(tmp_path, capsys):
    data = make_dataset(tmp_path / "data", frames=(30, 30, 30))
    out = tmp_path / "out"
    assert kelmora(capsys, "track", data, "--out", out, "--workers", 1).status == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    det = data / "folder-1" / "det" / "det.txt"
    det.write_text(det.read_text() + "31,-1,0,0,-5,5,0.9\n")
    run = kelmora(capsys, "track", data, "--out", out, "--workers", 1, "--set", "max_age=5")
    assert run.status == 2 and f"{det}:" in run.err
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before  # no mix of two configurations


def test_a_second_run_on_a_folder_in_use_is_refused(tmp_path, capsys):
    seq = write_sequence(tmp_path / "s", 10, 1, "s")
    out = tmp_path / "out"
    out.mkdir()
    fd = os.open(out, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)  # as a running kelmora track holds it
    try:
        run = kelmora(capsys, "track", seq, "--out", out)
    finally:
        os.close(fd)
    assert (run.status, run.err) == (
        2,
        f"kelmora track: error: --out {out}: another kelmora run is writing there; "
        "wait for it to finish or choose another folder\n",
    )
    assert kelmora(capsys, "track", seq, "--out", out).status == 0
    assert sorted(p.name for p in out.iterdir()) == ["s.txt"]


def test_errors_name_the_users_path_and_long_names_fit(tmp_path, capsys):
    seq = write_sequence(tmp_path / "s", 10, 1, "s")
    assert kelmora(capsys, "track", seq, "--out", tmp_path / "res").status == 0
    missing = tmp_path / "no" / "scores.json"
    run = kelmora(capsys, "eval", "--gt", seq, "--results", tmp_path / "res", "--json", missing)
    assert run.err == f"kelmora eval: error: {missing}: cannot write: No such file or directory\n"
    # A sequence name whose results file name just fits a file system's 255 bytes.
    name = "n" * 251
    (seq / "seqinfo.ini").write_text((seq / "seqinfo.ini").read_text().replace("name=s", f"name={name}"))
    assert kelmora(capsys, "track", seq, "--out", tmp_path / "long").status == 0
    assert [p.name for p in (tmp_path / "long").iterdir()] == [f"{name}.txt"]
    # One more and the staged file cannot be named: the error names the results file, not the staging.
    (seq / "seqinfo.ini").write_text((seq / "seqinfo.ini").read_text().replace(name, "n" * 300))
    run = kelmora(capsys, "track", seq, "--out", tmp_path / "long")
    assert run.err.endswith(f"{tmp_path / 'long' / ('n' * 300)}.txt: cannot write: File name too long\n")


@pytest.mark.parametrize(
    "argv, written, replaced",
    [
        (["track", "det.txt", "--out", "."], "det.txt", "det.txt"),  # run in s/det
        (["track", "s", "--out", "s/det"], "s/det/det.txt", "s/det/det.txt"),  # s named det
        (["eval", "--gt", "s", "--results", "r", "--json", "s/gt/gt.txt"], "s/gt/gt.txt", "s/gt/gt.txt"),
        (["eval", "--gt", "s", "--results", "r", "--out", "te"], "te/pedestrian_summary.txt", "s/seqinfo.ini"),
        (["eval", "--gt", "s", "--results", "r/s.txt", "--json", "r/s.txt"], "r/s.txt", "r/s.txt"),
        (["plot", "r/s.txt", "--out", "p.png"], "p.png", "r/s.txt"),
        (["tune", "s", "--trials", 1, "--config", "c.json", "--out", "c.json"], "c.json", "c.json"),
        (["video", "v/clip.mp4", "--out", "v"], "v/clip.mp4", "v/clip.mp4"),
        (["video", "clip/img1", "--out", "out"], "out/clip_sheet.png", "clip/img1/000001.png"),
    ],
)
def test_no_output_replaces_an_input(tmp_path, capsys, monkeypatch, argv, written, replaced):
    seq = write_sequence(tmp_path / "s", 10, 1, "s")
    monkeypatch.chdir(tmp_path)
    assert kelmora(capsys, "track", seq, "--out", "r").status == 0
    (tmp_path / "c.json").write_text("{}")
    for folder in ("te", "v", "out"):
        os.mkdir(folder)
    clip.write_video(tmp_path / "v" / "clip.mp4")
    clip.write_images(tmp_path / "clip", "clip")
    if written != replaced:  # a symlink or a hard link to the input
        (os.symlink if written.startswith("te/") else os.link)(tmp_path / replaced, written)
    if argv[-1] == "s/det":
        (seq / "seqinfo.ini").write_text((seq / "seqinfo.ini").read_text().replace("name=s", "name=det"))
    elif argv[1] == "det.txt":
        monkeypatch.chdir(seq / "det")
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    run = kelmora(capsys, *argv)
    message = f"{written}: would replace the input {replaced}; choose another {argv[-2]}"
    assert (run.status, run.err) == (2, f"kelmora {argv[0]}: error: {message}\n")
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


@needs_namespace
@pytest.mark.parametrize(
    "argv, free, written",
    [
        (["track", "s", "--out", "full"], 0, "full/s.txt"),
        (["eval", "--gt", "s", "--results", "r", "--json", "full/scores.json"], 0, "full/scores.json"),
        # Room for the summary and the table (4 pages of the 5), not for the plot (8).
        (["eval", "--gt", "s", "--results", "r", "--out", "full/te"], 20480, "full/te/pedestrian_plot.png"),
        (["plot", "r/s.txt", "--out", "full/p.png"], 0, "full/p.png"),
    ],
)
def test_a_full_disk_names_the_file_written(tmp_path, capsys, argv, free, written):
    assert kelmora(capsys, "track", write_sequence(tmp_path / "s", 10, 1, "s"), "--out", tmp_path / "r").status == 0
    run = full_disk_process(tmp_path / "full", *argv, free=free, cwd=tmp_path)
    assert (run.returncode, run.stderr) == (
        2,
        f"kelmora {argv[0]}: error: {written}: cannot write: No space left on device\n",
    )


def test_stale_staging_of_a_killed_run_is_cleared(tmp_path):
    stale = tmp_path / f"{outputs.STAGING_PREFIX}old"
    stale.mkdir()
    (stale / "half.txt").write_text("half")
    with outputs.output_set(tmp_path) as staged:
        staged.path("a.txt").write_text("whole")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt"]

"""The kelmora command: tracking datasets, plotting, and every user error as one line with status 2."""

from __future__ import annotations

import http.server
import json
import os
import re

import numpy as np
import pytest
from command_support import SYNTHETIC, kelmora, kelmora_process, loopback_http_server, make_dataset, write_sequence

from kelmora_tools import cli, mot_files, tracking
from kelmora_tools.commands import track as track_command


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    return make_dataset(tmp_path_factory.mktemp("data"))


def test_track_a_dataset_one_line_per_sequence(tmp_path, capsys, data):
    run = kelmora(capsys, "track", data, "--out", tmp_path / "out", "--workers", 1, "--set", "max_age=40")
    assert run.status == 0, run.err
    assert run.err == ""  # no progress bar when stderr is not a terminal
    lines = run.out.splitlines()
    assert lines[0] == f"kelmora track: 3 sequences from {data}, config max_age=40, on this process"
    for i, n_frames in enumerate((60, 45, 50)):
        path = tmp_path / "out" / f"seq-{i}.txt"
        results = mot_files.read_mot(path)
        match = re.fullmatch(
            rf"  seq-{i}: {n_frames} frames, (\d+) detections, (\d+) tracks, (\d+) boxes, "
            rf"[\d,]+ frames/s \(tracker\) -> {re.escape(str(path))}",
            lines[1 + i],
        )
        assert match, lines[1 + i]
        assert int(match[1]) == len(mot_files.read_mot(data / f"folder-{i}" / "det" / "det.txt"))
        assert (int(match[2]), int(match[3])) == (len(np.unique(results.ids)), len(results))
        assert results.frames.max() <= n_frames and results.ids.min() >= 1
    assert re.fullmatch(r"  total: 155 frames in [\d.]+ s; tracker [\d.]+ s = [\d,]+ frames/s", lines[4])
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["seq-0.txt", "seq-1.txt", "seq-2.txt"]


def test_local_processes_write_the_same_bytes(tmp_path, capsys, data):
    for workers in (1, 3):
        assert kelmora(capsys, "track", data, "--out", tmp_path / f"w{workers}", "--workers", workers).status == 0
    for i in range(3):
        assert (tmp_path / "w1" / f"seq-{i}.txt").read_bytes() == (tmp_path / "w3" / f"seq-{i}.txt").read_bytes()


def test_track_then_config_file_changes_the_result(tmp_path, capsys):
    seq = write_sequence(tmp_path / "s", 60, 5, "s")
    (tmp_path / "c.json").write_text(json.dumps({"n_init": 1, "new_track_thresh": 0.3}))
    assert kelmora(capsys, "track", seq, "--out", tmp_path / "a", "--workers", 1).status == 0
    assert (
        kelmora(
            capsys, "track", seq / "det" / "det.txt", "--out", tmp_path / "b", "--config", tmp_path / "c.json"
        ).status
        == 0
    )
    a, b = mot_files.read_mot(tmp_path / "a" / "s.txt"), mot_files.read_mot(tmp_path / "b" / "s.txt")
    assert len(b) > len(a)  # tracks confirmed at their first hit report more boxes


@pytest.mark.parametrize("classes", [False, True])
def test_results_equal_the_tracker_driven_by_hand(classes):
    # One update per frame, empty frames included; class ids from the eighth column with --classes.
    import kelmora_cpp

    dets = mot_files.read_mot(SYNTHETIC / "det" / "det.txt")
    tracker = kelmora_cpp.ByteTracker()
    rows = []
    for f in range(1, 401):
        sel = dets.frames == f
        ids, xyxy, scores, _ = tracker.update(dets.xyxy[sel], dets.conf[sel], dets.class_ids[sel] if classes else None)
        rows += [(f, i, b, s) for i, b, s in zip(ids, xyxy, scores)]
    want = mot_files.format_results(
        np.array([r[0] for r in rows]),
        np.array([r[1] for r in rows]),
        np.array([r[2] for r in rows]),
        np.array([r[3] for r in rows]),
    )
    task = tracking.TrackTask("s", (SYNTHETIC / "det" / "det.txt").read_text(), "det.txt", 400, {}, classes)
    assert tracking.track_task(task).text == want


def test_interpolation_fills_short_gaps_linearly(tmp_path, capsys):
    # Track 7 misses frames 2 and 3 (filled with N = 2) and 5 to 7 (too long a gap); track 3 none.
    frames, ids = np.array([1, 1, 2, 4, 8]), np.array([7, 3, 3, 7, 7])
    xyxy = np.array([[0, 0, 10, 20], [5, 5, 6, 6], [5, 5, 6, 6], [30, 3, 46, 29], [0, 0, 1, 1]], dtype=float)
    scores = np.array([0.9, 0.5, 0.5, 0.6, 0.7])
    f, i, boxes, s, added = tracking.interpolate_gaps(frames, ids, xyxy, scores, 2)
    assert (f.tolist(), i.tolist(), added) == ([1, 1, 2, 2, 3, 4, 8], [3, 7, 3, 7, 7, 7, 7], 2)
    text = mot_files.format_results(f, i, boxes, s)
    assert text.splitlines()[3:5] == [
        "2,7,10.00,1.00,12.00,22.00,0.8000,-1,-1,-1",
        "3,7,20.00,2.00,14.00,24.00,0.7000,-1,-1,-1",
    ]
    # The command: the same rows as the tracker reports, plus the filled ones, sorted by frame then id.
    assert kelmora(capsys, "track", SYNTHETIC, "--out", tmp_path / "a").status == 0
    run = kelmora(capsys, "track", SYNTHETIC, "--out", tmp_path / "b", "--interpolate", 5)
    plain, filled = (mot_files.read_mot(tmp_path / d / "kelmora-synthetic.txt", "results") for d in "ab")
    assert re.search(rf"{len(filled)} boxes \({len(filled) - len(plain)} interpolated\)", run.out)
    assert (np.lexsort((filled.ids, filled.frames)) == np.arange(len(filled))).all() and len(filled) > len(plain)


def test_plot_draws_a_png(tmp_path, capsys):
    seq = write_sequence(tmp_path / "s", 30, 5, "s")
    assert kelmora(capsys, "track", seq, "--out", tmp_path).status == 0
    run = kelmora(capsys, "plot", tmp_path / "s.txt", "--gt", seq / "gt" / "gt.txt", "--out", tmp_path / "p.png")
    assert run.status == 0, run.err
    assert re.fullmatch(rf"kelmora plot: \d+ tracks, \d+ boxes -> {re.escape(str(tmp_path / 'p.png'))}\n", run.out)
    assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def bad_inputs(tmp_path):
    """(arguments, expected error after 'kelmora <subcommand>: error: ') for every kind of bad input."""
    seq = write_sequence(tmp_path / "seq", 20, 5, "seq")
    det = seq / "det" / "det.txt"
    empty = write_sequence(tmp_path / "empty", 20, 5, "empty")
    (empty / "det" / "det.txt").write_text("")
    malformed = write_sequence(tmp_path / "malformed", 20, 5, "malformed")
    lines = (malformed / "det" / "det.txt").read_text().splitlines()
    lines[6] = "3,-1,10,20,-5,40,0.9,1,-1,-1"
    (malformed / "det" / "det.txt").write_text("\n".join(lines) + "\n")
    nodet = tmp_path / "nodet"
    (nodet / "gt").mkdir(parents=True)
    (nodet / "gt" / "gt.txt").write_text("1,1,0,0,1,1,1,1,1\n")
    for name, width in (("huge", "9" * 23), ("zero", "0")):
        sized = write_sequence(tmp_path / name, 20, 5, name)
        (sized / "seqinfo.ini").write_text(f"[Sequence]\nname={name}\nimWidth={width}\nimHeight=480\n")
    out = tmp_path / "out"
    huge_ini, zero_ini = tmp_path / "huge" / "seqinfo.ini", tmp_path / "zero" / "seqinfo.ini"
    return [
        (["track", tmp_path / "missing", "--out", out], f"{tmp_path / 'missing'}: no such file or folder"),
        (["track", nodet, "--out", out], f"{nodet / 'det' / 'det.txt'}: no such file"),
        (["track", empty, "--out", out], f"{empty / 'det' / 'det.txt'}: no detections (the file is empty)"),
        (
            ["track", malformed, "--out", out],
            f"{malformed / 'det' / 'det.txt'}:7: box width and height must be finite and >= 0, got -5 and 40",
        ),
        (["track", det, "--out", out, "--set", "colour=red"], "--set colour=red: unknown tracker option 'colour';"),
        (["track", det, "--out", out, "--set", "n_init=0"], "--set n_init=0: n_init must be >= 1"),
        (
            ["track", det, "--out", out, "--set", "high_score_thresh=2"],
            "--set high_score_thresh=2: require 0 <= low_score_thresh <= high_score_thresh <= 1",
        ),
        (
            ["track", det, "--out", out, "--config", tmp_path / "none.json"],
            f"{tmp_path / 'none.json'}: no such file",
        ),
        (
            ["track", det, "--out", out, "--dask", "tcp://127.0.0.1:9", "--dask-timeout", "0.5"],
            "--dask tcp://127.0.0.1:9: cannot reach the scheduler: ",
        ),
        (
            ["track", det, "--out", out, "--dask", "127.0.0.1"],
            "--dask 127.0.0.1: expected a scheduler address such as tcp://host:8786",
        ),
        (["track", det, "--out", out, "--workers", "0"], "argument --workers: expected a whole number >= 1, got '0'"),
        (["track", det, "--out", out, "--interpolate", "0"], "argument --interpolate: expected a whole number >= 1"),
        (["track", det, "--out", out, "--interpolate", "2.5"], "argument --interpolate: expected a whole number >= 1"),
        (["track", det], "the following arguments are required: --out"),
        (["track", det, "--out", det], f"{det}: "),
        (["eval", "--gt", seq, "--results", tmp_path / "nothing"], f"--results {tmp_path / 'nothing'}: no such folder"),
        (["eval", "--gt", seq, "--results", tmp_path], f"{tmp_path}: no results for sequence seq (seq.txt is missing)"),
        (["eval", "--gt", nodet / "gt" / "gt.txt", "--results", det], f"{det}:1: track ids must be >= 0, got -1"),
        (["plot", det, "--out", tmp_path / "p.jpg"], f"--out {tmp_path / 'p.jpg'}: the picture is a PNG file"),
        (["plot", tmp_path / "none.txt", "--out", tmp_path / "p.png"], f"{tmp_path / 'none.txt'}: no such file"),
        (
            ["plot", det, "--gt", tmp_path / "huge" / "gt" / "gt.txt", "--out", tmp_path / "p.png"],
            f"{huge_ini}: imwidth must be at most 65535 (the largest image side), got {'9' * 23}\n",
        ),
        (
            ["plot", det, "--gt", tmp_path / "zero" / "gt" / "gt.txt", "--out", tmp_path / "p.png"],
            f"{zero_ini}: imwidth must be a whole number >= 1, got '0'\n",
        ),
        (["frobnicate"], "argument SUBCOMMAND: invalid choice: 'frobnicate'"),
        ([], "choose a subcommand: eval, plot, track, tune"),
    ]


def test_every_user_error_is_one_line_with_status_2(tmp_path, capsys):
    for argv, message in bad_inputs(tmp_path):
        run = kelmora(capsys, *argv)
        prog = "kelmora" + (f" {argv[0]}" if argv and argv[0] in ("track", "eval", "plot") else "")
        assert run.status == 2, (argv, run)
        assert run.err.startswith(f"{prog}: error: {message}"), (argv, run.err)
        assert run.err.count("\n") == 1 and "Traceback" not in run.err
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())


@pytest.mark.parametrize(
    "argv, path, kind",
    [
        (["plot", "fifo", "--out", "p.png"], "fifo", "fifo"),
        (["plot", "r/s.txt", "--gt", "zero", "--out", "p.png"], "zero", "device"),
        (["track", "s", "--config", "fifo", "--out", "o"], "fifo", "fifo"),
        (["track", "s", "--out", "o"], "s/seqinfo.ini", "fifo"),
        (["track", "s", "--out", "o"], "s/det/det.txt", "huge"),
        (["eval", "--gt", "s", "--results", "r"], "r/s.txt", "fifo"),
        (["tune", "s", "--trials", "1", "--config", "zero", "--out", "b.json"], "zero", "device"),
        (["video", "fifo", "--out", "o"], "fifo", "fifo"),
        (["video", "r", "--config", "fifo", "--out", "o"], "fifo", "fifo"),
    ],
)
def test_no_read_waits_on_a_fifo_or_reads_a_device_or_more_than_memory(tmp_path, capsys, argv, path, kind):
    write_sequence(tmp_path / "s", 10, 1, "s")
    assert kelmora(capsys, "track", tmp_path / "s", "--out", tmp_path / "r").status == 0
    target, size = tmp_path / path, 2 * mot_files.available_memory()
    if kind == "huge":
        os.truncate(target, size)
    else:
        target.unlink(missing_ok=True)
        os.mkfifo(target) if kind == "fifo" else os.symlink("/dev/zero", target)
    expected = {
        "fifo": re.escape("is a named pipe (FIFO), expected a file"),
        "device": "is a device, expected a file",
        "huge": rf"too large to read: {size:,} bytes, with [\d,]+ bytes of memory available",
    }[kind]
    run = kelmora_process(*argv, cwd=tmp_path, timeout=60)
    assert run.returncode == 2 and re.fullmatch(rf"kelmora {argv[0]}: error: {path}: {expected}\n", run.stderr)


@pytest.fixture
def http_server():
    """host:port of a plain HTTP server on loopback, which accepts a connection and never answers Dask."""

    class Quiet(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args) -> None:
            pass

    with loopback_http_server(Quiet) as port:
        yield f"127.0.0.1:{port}"


@pytest.mark.parametrize(
    "address, timeout, message",
    [
        ("tcp://{http}", "1", "--dask tcp://{http}: cannot reach the scheduler: "),
        (
            "tls://{http}",
            "1",
            "--dask tls://{http}: a tls:// scheduler asks for a client certificate, which kelmora "
            "cannot be given; use a tcp:// address",
        ),
        ("tcp://{http}/", "1", "--dask tcp://{http}/: expected a scheduler address such as tcp://host:8786"),
        ("tcp://127.0.0.1:99999", "1", "--dask tcp://127.0.0.1:99999: expected a scheduler address such as"),
        ("tcp://user:S3cret@{http}", "1", "--dask tcp://user:***@{http}: expected a scheduler address such as"),
        ("tcp://{http}", "nan", "argument --dask-timeout: expected seconds > 0 and at most 3600, got 'nan'"),
        ("tcp://{http}", "1e308", "argument --dask-timeout: expected seconds > 0 and at most 3600, got '1e308'"),
        ("tcp://{http}", "-1", "argument --dask-timeout: expected seconds > 0 and at most 3600, got '-1'"),
    ],
)
def test_dask_addresses_and_timeouts_fail_in_one_line(tmp_path, capsys, http_server, address, timeout, message):
    seq = write_sequence(tmp_path / "s", 10, 1, "s")
    run = kelmora(
        capsys,
        "track",
        seq,
        "--out",
        tmp_path / "out",
        "--dask",
        address.format(http=http_server),
        "--dask-timeout",
        timeout,
    )
    assert run.status == 2 and run.err.startswith(f"kelmora track: error: {message.format(http=http_server)}")
    assert run.err.count("\n") == 1 and "S3cret" not in run.err


@pytest.mark.parametrize(
    "code, status, err",
    [
        ("no camera on this machine", 2, "kelmora track: error: no camera on this machine\n"),
        (3, 3, ""),
        (None, 0, ""),
    ],
)
def test_an_exit_with_a_message_is_an_error(tmp_path, capsys, monkeypatch, code, status, err):
    def exits(args):
        raise SystemExit(code)

    monkeypatch.setattr(track_command, "run", exits)
    run = kelmora(capsys, "track", tmp_path, "--out", tmp_path)
    assert (run.status, run.err) == (status, err)


def test_python_dash_m_and_its_errors(tmp_path):
    run = kelmora_process("--version")
    assert (run.returncode, run.stdout.strip()) == (0, f"kelmora {__import__('kelmora_cpp').__version__}")
    run = kelmora_process("track", tmp_path / "missing", "--out", tmp_path)
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr == f"kelmora track: error: {tmp_path / 'missing'}: no such file or folder\n"
    help_text = kelmora_process("--help").stdout
    assert all(f"    {name} " in help_text for name in ("track", "eval", "tune", "plot"))


def test_subcommand_modules_follow_the_contract():
    for module in cli.subcommands([]):
        assert callable(module.add_parser) and callable(module.run)
    parser = cli.build_parser()
    args = parser.parse_args(["track", "d", "--out", "o"])
    assert args.func is track_command.run and args.prog == "kelmora track"


def test_packaging_declares_the_command_and_one_opencv():
    import importlib.metadata
    import tomllib

    from command_support import ROOT

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert project["project"]["scripts"] == {"kelmora": "kelmora_tools.cli:main"}
    assert "python/kelmora_tools" in project["tool"]["scikit-build"]["wheel"]["packages"]
    extra = project["project"]["optional-dependencies"]["tools"]
    # TrackEval requires the GUI build; the headless build beside it would shadow one cv2 with another.
    assert [r for r in extra if r.startswith("opencv")] == ["opencv-python>=4.8,<5"]
    installed = {d.metadata["Name"].lower() for d in importlib.metadata.distributions()}
    assert "opencv-python" in installed and "opencv-python-headless" not in installed
    pins = [line.split("#")[0].strip() for line in (ROOT / "requirements.txt").read_text().splitlines()]
    opencv = [pin for pin in pins if pin.startswith("opencv")]
    assert len(opencv) == 1 and opencv[0].startswith("opencv-python==4.")

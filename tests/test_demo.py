"""The command-line demo: MOTChallenge parsing and writing, evaluation glue, the synthetic
sequence generator, and one end-to-end run of the tool."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import kelmora_demo as demo  # noqa: E402
import make_sequence  # noqa: E402


def test_parse_detections_sorts_by_frame_and_reads_class_column():
    text = ("# comment\n"
            "2,-1,10,20,30,40,0.9,2,-1,-1\n"
            "\n"
            "1 -1 1.5 2.5 3 4 0.25 -1 -1 -1\n"
            "1,-1,0,0,5,6,0.75,3,-1,-1\n")
    rows = demo.parse_mot(text)
    assert rows.frames.tolist() == [1, 1, 2]
    assert rows.ids.tolist() == [-1, -1, -1]
    assert rows.xyxy.tolist() == [[1.5, 2.5, 4.5, 6.5], [0, 0, 5, 6], [10, 20, 40, 60]]
    assert rows.conf.tolist() == [0.25, 0.75, 0.9]
    assert rows.class_ids.tolist() == [-1, 3, 2]
    assert rows.xyxy.flags.c_contiguous and rows.xyxy.dtype == np.float64


def test_parse_short_rows_default_conf_and_class():
    rows = demo.parse_mot("3,7,1,2,3,4\n4,7,1,2,3,4,0.5\n")
    assert rows.conf.tolist() == [1.0, 0.5]
    assert rows.class_ids.tolist() == [-1, -1]
    assert len(demo.parse_mot("\n# nothing\n")) == 0


@pytest.mark.parametrize("line, message", [
    ("1,2,3,4,5", "x:1: expected at least 6 values, got 5"),
    ("0,1,0,0,1,1", "x:1: frame must be a whole number >= 1, got 0"),
    ("1.5,1,0,0,1,1", "x:1: frame must be a whole number >= 1, got 1.5"),
    ("1,1,0,0,-1,1", "x:1: box width and height must be >= 0"),
    ("1,1,0,0,one,1", "x:1: not a list of numbers: '1,1,0,0,one,1'"),
])
def test_parse_rejects_malformed_rows(line, message):
    with pytest.raises(demo.DemoError) as err:
        demo.parse_mot(line + "\n", "x")
    assert str(err.value) == message


def test_results_round_trip():
    rows = demo.Rows(np.array([1, 1, 2]), np.array([3, 4, 3]),
                     np.array([[10.0, 20.0, 40.5, 60.25], [-0.001, 5.0, 7.0, 9.0], [11.0, 21.0, 41.0, 61.0]]),
                     np.array([0.9, 0.55, 0.125]), np.array([1, -1, 1]))
    text = demo.format_results(rows)
    assert text.splitlines()[:2] == ["1,3,10.00,20.00,30.50,40.25,0.9000,-1,-1,-1",
                                     "1,4,0.00,5.00,7.00,4.00,0.5500,-1,-1,-1"]
    back = demo.parse_mot(text)
    assert back.frames.tolist() == [1, 1, 2] and back.ids.tolist() == [3, 4, 3]
    assert np.allclose(back.xyxy, rows.xyxy, rtol=0, atol=0.005)
    assert back.conf.tolist() == [0.9, 0.55, 0.125]
    assert back.class_ids.tolist() == [-1, -1, -1]


def test_resolve_sequence_folder_and_det_file(tmp_path):
    seq = tmp_path / "MOT-X"
    (seq / "det").mkdir(parents=True)
    (seq / "gt").mkdir()
    (seq / "det" / "det.txt").write_text("1,-1,0,0,1,1,0.9,-1,-1,-1\n")
    (seq / "gt" / "gt.txt").write_text("1,1,0,0,1,1,1,1,1.0\n")
    (seq / "seqinfo.ini").write_text("[Sequence]\nname=Named\nseqLength=12\nimWidth=640\nimHeight=480\n")
    for source in (seq, seq / "det" / "det.txt"):
        found = demo.resolve_sequence(source, None)
        assert (found.name, found.gt_path, found.length, found.image_size) == ("Named", seq / "gt" / "gt.txt", 12, (640, 480))
    loose = tmp_path / "mine.txt"
    loose.write_text("")
    found = demo.resolve_sequence(loose, None)
    assert (found.name, found.gt_path, found.length, found.image_size) == ("mine", None, None, None)
    with pytest.raises(demo.DemoError, match=re.escape(f"no detection file at {tmp_path / 'det' / 'det.txt'}")):
        demo.resolve_sequence(tmp_path, None)


def test_parse_config_types_and_errors():
    options = demo.parse_config(["max_age=50", "high_score_thresh=0.6", "use_lapjv=True", "class_aware=false"])
    assert options == {"max_age": 50, "high_score_thresh": 0.6, "use_lapjv": True, "class_aware": False}
    assert type(options["max_age"]) is int and type(options["use_lapjv"]) is bool
    for bad in ("max_age", "=3", "max_age=lots"):
        with pytest.raises(demo.DemoError):
            demo.parse_config([bad])


def test_iou_distances_gate_at_half():
    gt = np.array([[0.0, 0.0, 4.0, 1.0]])
    res = np.array([[0.0, 0.0, 4.0, 1.0], [1.0, 0.0, 4.0, 1.0], [2.0, 0.0, 4.0, 1.0], [2.5, 0.0, 4.0, 1.0]])
    d = demo.iou_distances(gt, res)
    assert d[0, :3].tolist() == [0.0, 0.25, 0.5]  # IoU 1, 3/4 and exactly 1/2 may match
    assert np.isnan(d[0, 3])


def test_evaluate_perfect_run_and_identity_swap():
    frames = np.repeat(np.arange(1, 5), 2)
    ids = np.tile([1, 2], 4)
    xyxy = np.array([[0.0, 0, 10, 10], [50, 0, 60, 10]] * 4)
    gt = demo.Rows(frames, ids, xyxy, np.ones(8), np.full(8, -1))
    perfect = demo.evaluate(gt, gt, 4)
    assert (perfect["mota"], perfect["idf1"], perfect["num_switches"]) == (1.0, 1.0, 0.0)
    swapped = demo.Rows(frames, np.array([1, 2, 1, 2, 2, 1, 2, 1]), xyxy, np.ones(8), np.full(8, -1))
    m = demo.evaluate(gt, swapped, 4)
    assert (m["num_switches"], m["mota"], m["idf1"]) == (2.0, 0.75, 0.5)
    # A row whose "considered" flag is 0 is not ground truth: a result on it is a false positive.
    flagged = demo.Rows(frames, ids, xyxy, np.array([1.0] * 7 + [0.0]), np.full(8, -1))
    m = demo.evaluate(flagged, gt, 4)
    assert (m["num_false_positives"], m["num_misses"]) == (1.0, 0.0)


def test_generator_is_deterministic_and_matches_committed_data():
    short = make_sequence.make_sequence(frames=40, seed=3)
    assert short == make_sequence.make_sequence(frames=40, seed=3)
    assert short["det/det.txt"] != make_sequence.make_sequence(frames=40, seed=4)["det/det.txt"]
    full = make_sequence.make_sequence()
    for rel, text in full.items():
        assert (ROOT / "data" / "synthetic" / rel).read_text() == text, rel


def test_end_to_end_on_synthetic_prefix(tmp_path):
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, str(ROOT / "tools" / "kelmora_demo.py"), str(ROOT / "data" / "synthetic"),
                          "--frames", "60", "--out", str(out)],
                         capture_output=True, text=True, env=os.environ.copy(), timeout=300)
    assert run.returncode == 0, run.stderr
    # No progress bar when stderr is not a terminal (matplotlib may log a first-run note there).
    assert "frame/s]" not in run.stderr
    assert re.search(r"^  frames\s+60$", run.stdout, re.M)
    assert re.search(r"^  tracker time .* frames/s \(tracker only\)$", run.stdout, re.M)
    results = demo.read_mot(out / "kelmora-synthetic.txt")
    assert len(results) > 300 and results.frames.max() <= 60 and results.ids.min() >= 1
    tracks = re.search(r"^  tracks\s+(\d+) distinct ids, (\d+) boxes reported$", run.stdout, re.M)
    assert tracks and (int(tracks[1]), int(tracks[2])) == (len(np.unique(results.ids)), len(results))
    mota = re.search(r"^    MOTA\s+(-?[\d.]+)%$", run.stdout, re.M)
    assert mota and float(mota[1]) > 50.0, run.stdout
    assert re.search(r"^    IDF1\s+[\d.]+%$", run.stdout, re.M)
    assert (out / "kelmora-synthetic_trajectories.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

"""`kelmora video`'s built-in detectors besides HOG: background subtraction (motion), ONNX models through
OpenCV's dnn (tiny graphs built here with the onnx package), and colour-histogram appearance features."""

from __future__ import annotations

import ast
import os
import pathlib
import re
import subprocess
import sys

import cv2
import numpy as np
import onnx  # pinned in requirements.txt; a plain import, so that a missing one fails rather than skips
import pytest
import synthetic_clip as clip
from command_support import ROOT, child_env
from onnx import TensorProto, helper, numpy_helper

from kelmora_tools import cli
from kelmora_tools.video import appearance, detectors, motion
from kelmora_tools.video.onnx import OnnxDetector


def run_cli(argv: list[str], capsys) -> tuple[int, str, str]:
    status = cli.main(["video", *argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


# --- motion ---------------------------------------------------------------------------------------


def ellipse(frame: np.ndarray, box: np.ndarray, grey: int) -> None:
    x1, y1, x2, y2 = (int(v) for v in box)
    cv2.ellipse(frame, (((x1 + x2 - 1) / 2, (y1 + y2 - 1) / 2), (x2 - x1, y2 - y1), 0.0), (grey,) * 3, cv2.FILLED)


@pytest.mark.parametrize("scale", [1, 2])  # 320 x 240, and 640 x 480, which the model sees halved
def test_motion_detector_boxes_movers_splits_a_pair_and_restarts(scale):
    # On the synthetic clip's background: after 60 still frames, a lone walker, a pair walking side
    # by side (touching ellipses: one blob) and a 10 x 10 speck, below the smallest area; the lights
    # go on in frame 68, changing more than half the frame at once. Blobs of any size are allowed.
    base = cv2.resize(clip.background(), None, fx=scale, fy=scale, interpolation=cv2.INTER_LINEAR)
    detector = motion.MotionDetector(max_area=base.shape[0] * base.shape[1])
    found = {}
    for f in range(1, 76):
        frame = base.copy()
        dx = 3 * (f - 60)
        truth = scale * (
            np.array([(40, 60, 64, 120), (150, 120, 176, 184), (176, 120, 202, 184)], float) + [dx, 0, dx, 0]
        )
        if f > 60:
            for box in truth:
                ellipse(frame, box, 30)
            cv2.rectangle(frame, (250, 20 + f), (259, 29 + f), (20, 20, 20), cv2.FILLED)
        if f >= 68:
            frame = cv2.add(frame, 90)
        boxes, scores = detector(frame)
        found[f] = len(boxes)
        sizes = (boxes[:, 2] - boxes[:, 0]) * (boxes[:, 3] - boxes[:, 1])
        assert (sizes < 40 * 70 * scale**2).all(), (f, boxes)  # never the whole frame
        if f in (63, 66):
            order = np.argsort(boxes[:, 0])
            assert boxes.shape == (3, 4) and np.abs(boxes[order] - truth).max() <= scale, (f, boxes)
            assert scores.tolist() == [1.0, 1.0, 1.0]  # solid ellipses fill pi/4 of their box, and are large
    # The still frames show nothing; frame 68 restarts the model (instead of boxing the whole frame),
    # which warms up again until frame 72.
    assert [f for f in found if found[f] and f <= 72] == list(range(61, 68))


@pytest.mark.parametrize(
    "columns, parts, cuts",
    [
        ([5, 5, 1, 5, 5], 2, [0, 2, 5]),
        ([3, 3, 3, 3, 3, 3], 2, [0, 2, 6]),  # a flat profile: the first column of the window
        ([4, 4, 0, 4, 4, 4, 0, 4, 4], 3, [0, 2, 6, 9]),
    ],
)
def test_split_columns_cuts_at_the_valleys(columns, parts, cuts):
    assert motion.split_columns(np.array(columns), parts) == cuts


def test_motion_scores_documented_anchors():
    # min_area 200: a blob of 1.8 x 200 pixels filling 40 % of its box starts a track (0.6); one of
    # 600 filling half its box is sure (1.0); one of 200 filling 20 % is weak (1/6).
    scores = motion.motion_scores(np.array([360.0, 600.0, 200.0]), np.array([900.0, 1200.0, 1000.0]), 200.0)
    assert scores.tolist() == pytest.approx([0.6, 1.0, 1 / 6], abs=1e-12)


# --- onnx -----------------------------------------------------------------------------------------


def onnx_model(path: pathlib.Path, output: np.ndarray, input_dims=(1, 3, 64, 64)) -> pathlib.Path:
    """A graph whose output is the constant `output` plus zero times the mean of its input: it reads
    the whole input, as a network does, and answers the same thing to every frame."""
    constant = numpy_helper.from_array(np.asarray(output, np.float32), "constant")
    zero = numpy_helper.from_array(np.zeros((), np.float32), "zero")
    nodes = [
        helper.make_node("ReduceMean", ["images"], ["mean"], keepdims=0),
        helper.make_node("Mul", ["mean", "zero"], ["nothing"]),
        helper.make_node("Add", ["constant", "nothing"], ["output0"]),
    ]
    graph = helper.make_graph(
        nodes,
        "constant",
        [helper.make_tensor_value_info("images", TensorProto.FLOAT, list(input_dims))],
        [helper.make_tensor_value_info("output0", TensorProto.FLOAT, list(np.shape(output)))],
        [constant, zero],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, path)
    return path


# Five candidates in input pixels (a 64 x 64 input; a 256 x 128 frame is scaled by 1/4 into its
# middle 64 x 32, 16 pixels of grey above and below): centre, size, class, score. 1 is a weaker copy
# of 0 (suppressed), 2 overlaps 0 in another class (kept), 3 has a low score the tracker's second
# pass uses (kept), 4 is below the floor of 0.05.
CANDIDATES = [
    ((32, 32), (32, 16), 1, 0.875),
    ((33, 32), (32, 16), 1, 0.75),
    ((33, 32), (32, 16), 0, 0.625),
    ((8, 40), (8, 8), 0, 0.25),
    ((50, 30), (4, 4), 0, 0.03125),
]
ROWS = 8  # candidates padded with zero rows, as a network pads its anchors


def layout_output(layout: str) -> np.ndarray:
    if layout == "end2end":
        out = np.zeros((1, ROWS, 6))
        for k, ((cx, cy), (w, h), cls, score) in enumerate(CANDIDATES):
            out[0, k] = [cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2, score, cls]
        return out
    values = np.zeros((ROWS, 7))  # cx, cy, w, h, objectness, class 0, class 1
    for k, ((cx, cy), (w, h), cls, score) in enumerate(CANDIDATES):
        values[k, :5] = [cx, cy, w, h, 1.0]
        values[k, 5 + cls] = score
    if layout == "yolov8":
        return np.delete(values, 4, axis=1).T[None]  # [1, 4 + C, N]
    values[3, 4:] *= [0.5, 2.0, 2.0]  # YOLOv5's score: objectness times class score
    return values[None]


FRAME_BOXES = {0: [64, 32, 192, 96], 1: [68, 32, 196, 96], 2: [68, 32, 196, 96], 3: [16, 80, 48, 112]}


@pytest.mark.parametrize(
    "layout, keep_classes, kept",
    [
        ("yolov8", None, [0, 2, 3]),
        ("yolov5", None, [0, 2, 3]),
        ("end2end", None, [0, 1, 2, 3]),  # suppressed by the model itself: nothing more is suppressed
        ("yolov8", (0,), [2, 3]),
        ("end2end", (1, 7), [0, 1]),
    ],
)
def test_onnx_layouts_map_boxes_to_the_frame(layout, keep_classes, kept, tmp_path):
    model = onnx_model(tmp_path / "m.onnx", layout_output(layout))
    loaded = detectors.load_detector(f"onnx:{model}", detectors.DetectorOptions(keep_classes=keep_classes))
    assert f"layout {layout} " in loaded.description  # recognised from the output's shape
    found = detectors.detect(loaded, np.zeros((128, 256, 3), np.uint8), 1)
    assert found.boxes.tolist() == [FRAME_BOXES[k] for k in kept]
    assert found.scores.tolist() == [CANDIDATES[k][3] for k in kept]
    assert found.class_ids.tolist() == [CANDIDATES[k][2] for k in kept]


def test_onnx_input_is_letterboxed_on_grey_rgb_in_0_to_1(tmp_path):
    model = onnx_model(tmp_path / "m.onnx", layout_output("end2end"), input_dims=("batch", 3, "height", "width"))
    detector = OnnxDetector(model, input_size=(64, 48))
    frame = np.zeros((20, 40, 3), np.uint8)
    frame[:, :, 2] = 204  # red, in BGR
    blob = detector.blob(frame)
    # 40 x 20 into 64 x 48: scale 1.6, 64 x 32, 8 rows of grey above and below.
    assert blob.shape == (1, 3, 48, 64) and blob.dtype == np.float32
    grey = np.float32(114 / 255)
    assert (blob[:, :, :8] == grey).all() and (blob[:, :, 40:] == grey).all()
    assert (blob[0, 0, 8:40] == np.float32(0.8)).all() and (blob[0, 1:, 8:40] == 0).all()  # red first: RGB


@pytest.mark.parametrize(
    "case, message",
    [
        ("missing", r"--detector onnx:{tmp}/none\.onnx: no such file"),
        ("not a model", r"--detector onnx:{tmp}/junk\.onnx: not an ONNX model"),
        (
            "wrong shape",
            r"--detector onnx:{tmp}/m\.onnx: the model's output has shape \[1, 10\]; expected \[1, 4\+C, N\],"
            r" \[1, N, 5\+C\] or \[1, N, 6\]$",
        ),
        ("wrong layout", r"--detector onnx:.*: the model's output has shape \[1, 6, 8\]; expected \[1, N, 6\]$"),
        (
            "no input size",
            r"--detector onnx:.*: the model does not state its input size; give --input-size WIDTHxHEIGHT$",
        ),
        ("size differs", r"--input-size 32x32 differs from the model's input 64x64$"),
        (
            "negative input",
            r"--detector onnx:{tmp}/m\.onnx: the model's input is \[1, 3, -1, 64\]; its height and width must be"
            r" 1 to 4096 pixels$",
        ),
        ("huge input", r"--detector onnx:.*: the model's input is \[1, 3, 40000, 40000\]; its height and width"),
        ("huge input size", r"--detector onnx:{tmp}/m\.onnx: --input-size 40000x40000 is beyond 4096 pixels a side$"),
        ("folder", r"--detector onnx:{tmp}/m\.onnx: is a folder, expected a file$"),
        ("fifo", r"--detector onnx:{tmp}/m\.onnx: is a named pipe \(FIFO\), expected a file$"),
        ("option of another detector", r"--min-score applies to --detector onnx only$"),
        ("bad min score", r"--min-score must be in \(0, 1\], got 0$"),
    ],
)
def test_onnx_errors_are_one_line(case, message, tmp_path, capsys):
    frames = clip.write_images(tmp_path / "seq", "seq")
    model, extra = tmp_path / "m.onnx", []
    if case == "missing":
        model = tmp_path / "none.onnx"
    elif case == "not a model":
        model = tmp_path / "junk.onnx"
        model.write_bytes(b"\x08\x07junk")
    elif case == "wrong shape":
        onnx_model(model, np.zeros((1, 10)))
    elif case in ("no input size", "huge input size"):
        onnx_model(model, layout_output("end2end"), input_dims=(1, 3, "h", "w"))
        extra = ["--input-size", "40000"] if case == "huge input size" else []
    elif case in ("negative input", "huge input"):
        dims = {"negative input": (1, 3, -1, 64), "huge input": (1, 3, 40000, 40000)}[case]
        onnx_model(model, layout_output("end2end"), input_dims=dims)
    elif case == "folder":
        model.mkdir()
    elif case == "fifo":
        os.mkfifo(model)
    else:
        onnx_model(model, layout_output("yolov8"))
        extra = {
            "wrong layout": ["--onnx-layout", "end2end"],
            "size differs": ["--input-size", "32"],
            "bad min score": ["--min-score", "0"],
        }.get(case, [])
    detector = "hog" if case == "option of another detector" else f"onnx:{model}"
    if case == "option of another detector":
        extra = ["--min-score", "0.2"]
    status, out, err = run_cli([str(frames), "--out", str(tmp_path / "out"), "--detector", detector, *extra], capsys)
    assert status == 2 and out == ""
    assert re.fullmatch("kelmora video: error: " + message.format(tmp=re.escape(str(tmp_path))) + ".*\n", err), err
    assert not (tmp_path / "out").exists()


def test_onnx_detections_reach_the_tracker_through_the_command(tmp_path, capsys):
    model = onnx_model(tmp_path / "m.onnx", layout_output("yolov8"))
    frames = clip.write_images(tmp_path / "seq", "seq")
    status, out, _ = run_cli(
        [str(frames), "--out", str(tmp_path / "out"), "--detector", f"onnx:{model}", "--max-frames", "5"], capsys
    )
    assert status == 0
    # The synthetic frames are 320 x 240: scale 0.2, 64 x 48, 8 rows of grey above and below.
    assert "input 64x64, layout yolov8 (output [1, 6, 8]), scores from 0.05" in out
    assert re.search(r"^  detections   15 \(3\.00 per frame\)$", out, re.M)
    rows = np.loadtxt(tmp_path / "out" / "seq.txt", delimiter=",", ndmin=2)
    # The two steady high-score boxes are confirmed from frame 3; the low-score one never starts a track.
    assert rows[:, 0].tolist() == [3, 3, 4, 4, 5, 5]
    assert rows[rows[:, 0] == 3, 2:6].tolist() == [[80, 80, 160, 80], [85, 80, 160, 80]]  # x, y, w, h


# --- appearance -----------------------------------------------------------------------------------


def test_hist_features():
    frame = np.zeros((20, 30, 3), np.uint8)
    frame[:, :10] = (0, 0, 255)  # pure red: hue 0, full saturation and value
    frame[:, 10:] = (255, 0, 0)  # pure blue: hue 120
    features = appearance.hist_features(frame, np.array([[0, 0, 10, 20], [5, 0, 15, 20], [40, 0, 50, 20.0]]))
    assert features.shape == (3, 128)
    # Bin (hue, saturation, value) is number 16 hue + 4 saturation + value: red (0, 3, 3), blue (5, 3, 3).
    assert np.flatnonzero(features[0]).tolist() == [15] and features[0, 15] == 1.0
    assert np.flatnonzero(features[1]).tolist() == [15, 95]  # half red, half blue
    assert features[1, 15] == features[1, 95] == pytest.approx(np.sqrt(0.5), abs=1e-15)
    assert (features[2] == 0).all()  # outside the frame


def test_appearance_keeps_the_ids_of_crossing_shapes_that_turn_back(tmp_path, capsys):
    folder = clip.write_crossing_images(tmp_path / "cross")
    plugin = f"{ROOT / 'tests' / 'synthetic_clip.py'}:CrossingBoxes"
    ids = {}
    for name, extra in [("plain", []), ("hist", ["--appearance", "hist", "--set", "w_app=1.0"])]:
        status, out, _ = run_cli([str(folder), "--out", str(tmp_path / name), "--detector", plugin, *extra], capsys)
        assert status == 0
        rows = np.loadtxt(tmp_path / name / "cross.txt", delimiter=",", ndmin=2)
        boxes = np.column_stack([rows[:, 2:4], rows[:, 2:4] + rows[:, 4:6]])
        for f in (3, clip.CROSS_FRAMES):  # the first reported frame and the last
            here = rows[:, 0] == f
            for shape in clip.CROSS_COLOURS:
                nearest = np.abs(boxes[here] - clip.cross_box(shape, f)).sum(axis=1).argmin()
                ids[name, f, shape] = int(rows[here][nearest, 1])
        if name == "hist":
            assert "appearance   HSV colour histogram of each box, 8 x 4 x 4 bins, L2-normalised\n" in out
    last = clip.CROSS_FRAMES
    # By motion alone each track carries on through the turn and takes the other shape.
    assert (ids["plain", 3, "red"], ids["plain", 3, "blue"]) == (1, 2)
    assert (ids["plain", last, "red"], ids["plain", last, "blue"]) == (2, 1)
    # With the colours compared, each keeps its own.
    assert (
        (ids["hist", last, "red"], ids["hist", last, "blue"])
        == (1, 2)
        == (ids["hist", 3, "red"], ids["hist", 3, "blue"])
    )


# --- frames a detector cannot scan ------------------------------------------------------------------

# Width x height: one pixel, one pixel wide or high, thin strips, and frames smaller than HOG's
# 64 x 128 window (48 x 112 just fills it once padded, 47 x 111 does not).
ODD_FRAMES = [(1, 1), (1, 3000), (3000, 1), (2, 3000), (3000, 2), (48, 48), (96, 96), (47, 111), (48, 112)]

ODD_FRAME_SCRIPT = """
import sys
import numpy as np
from kelmora_tools.video import appearance, detectors
found = {}
for choice in ("hog", "motion", "onnx:" + sys.argv[1]):
    for w, h in %r:
        detector = detectors.load_detector(choice)
        for k in range(8):  # the motion detector's warm-up, then a frame half of which changed
            frame = np.full((h, w, 3), 90, np.uint8)
            frame[: max(1, h // 2)] = 90 + 20 * (k == 7)
            dets = detectors.detect(detector, frame, k + 1)
        inside = bool(((dets.boxes >= 0) & (dets.boxes <= [w, h, w, h])).all())
        found[choice[:4], w, h] = (len(dets), inside, appearance.hist_features(frame, dets.boxes).shape[1])
print(found)
"""


def test_detectors_take_frames_too_small_or_too_thin_for_them(tmp_path):
    # A process of its own: on such frames OpenCV's HOG scan corrupted memory and crashed
    # (status 134 or 139), and the motion detector's halving raised inside OpenCV.
    model = onnx_model(tmp_path / "m.onnx", layout_output("yolov8"))
    script = ODD_FRAME_SCRIPT % (ODD_FRAMES,)
    run = subprocess.run(
        [sys.executable, "-c", script, str(model)], capture_output=True, text=True, env=child_env(), timeout=300
    )
    assert run.returncode == 0, run.stderr
    found = ast.literal_eval(run.stdout)
    for w, h in ODD_FRAMES:
        # HOG and the motion detector find nothing on a flat frame; the model's constant boxes are
        # mapped into the frame, whatever its shape.
        assert found["hog", w, h] == found["moti", w, h] == (0, True, 128), (w, h)
        assert found["onnx", w, h][1:] == (True, 128) and found["onnx", w, h][0] >= 2, (w, h)

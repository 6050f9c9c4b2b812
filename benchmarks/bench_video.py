"""kelmora video on real footage (vtest.avi, fetched once by dev/fetch_vtest.sh): the tracker's
time per frame against the HOG detector's, writing the annotated video against reading the input,
the motion detector against HOG, each from runs of the pipeline on the same frames; and the ONNX
detector's own work per frame (letterbox and decoding, without the network) against decoding a frame."""

from __future__ import annotations

import pathlib
import subprocess
import tempfile

import numpy as np

from common import Table, median_seconds

ROOT = pathlib.Path(__file__).resolve().parent.parent

FRAMES = 100
# A YOLOv8-sized output at 640 x 640: 8400 candidates, 80 classes, of which OBJECTS objects each
# draw CANDIDATES_PER_OBJECT candidates above the score floor, the rest noise below it.
ONNX_INPUT = 640
ONNX_CLASSES = 80
ONNX_ANCHORS = 8400
OBJECTS = 20
CANDIDATES_PER_OBJECT = 15


def yolov8_output(seed: int = 1) -> np.ndarray:
    """A [1, 84, 8400] output with OBJECTS x CANDIDATES_PER_OBJECT candidates scoring 0.05 to 0.95."""
    rng = np.random.default_rng(seed)
    out = np.zeros((4 + ONNX_CLASSES, ONNX_ANCHORS), np.float32)
    out[:2] = rng.uniform(0, ONNX_INPUT, (2, ONNX_ANCHORS))
    out[2:4] = rng.uniform(8, 120, (2, ONNX_ANCHORS))
    out[4:] = rng.uniform(0.0, 0.02, (ONNX_CLASSES, ONNX_ANCHORS))
    anchors = rng.choice(ONNX_ANCHORS, OBJECTS * CANDIDATES_PER_OBJECT, replace=False).reshape(OBJECTS, -1)
    for cls, group in enumerate(anchors):
        centre, size = rng.uniform(60, ONNX_INPUT - 60, 2), rng.uniform(20, 100, 2)
        out[:2, group] = (centre[:, None] + rng.normal(0, 3, (2, len(group)))).astype(np.float32)
        out[2:4, group] = (size[:, None] + rng.normal(0, 3, (2, len(group)))).astype(np.float32)
        out[4 + cls % ONNX_CLASSES, group] = rng.uniform(0.05, 0.95, len(group))
    return out[None]


def onnx_overhead(frame: np.ndarray, folder: pathlib.Path) -> tuple[float, float, int]:
    """Median seconds of the ONNX detector's letterbox-and-blob and of its decoding, per frame, and
    the number of boxes it keeps; the model is a constant whose output is never used here."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    from kelmora_tools.video.onnx import OnnxDetector

    output = yolov8_output()
    # The constant plus zero times the input's mean: a graph must read its input to keep it.
    nodes = [
        helper.make_node("ReduceMean", ["images"], ["mean"], keepdims=0),
        helper.make_node("Mul", ["mean", "zero"], ["nothing"]),
        helper.make_node("Add", ["constant", "nothing"], ["output0"]),
    ]
    graph = helper.make_graph(
        nodes,
        "constant",
        [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, ONNX_INPUT, ONNX_INPUT])],
        [helper.make_tensor_value_info("output0", TensorProto.FLOAT, list(output.shape))],
        [numpy_helper.from_array(output, "constant"), numpy_helper.from_array(np.zeros((), np.float32), "zero")],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.save(model, folder / "constant.onnx")
    detector = OnnxDetector(folder / "constant.onnx")
    height, width = frame.shape[:2]
    kept = len(detector.postprocess(output, width, height)[0])
    return (
        median_seconds(lambda: detector.blob(frame)),
        median_seconds(lambda: detector.postprocess(output, width, height)),
        kept,
    )


def run() -> list[Table]:
    import cv2

    from kelmora_tools.video import frames, pipeline

    clip = pathlib.Path(
        subprocess.run(
            ["bash", str(ROOT / "dev" / "fetch_vtest.sh")], check=True, capture_output=True, text=True
        ).stdout.strip()
    )
    frames.quiet_native_logs()
    with tempfile.TemporaryDirectory() as out:
        hog = pipeline.track_video(clip, pathlib.Path(out) / "hog", "hog", {}, FRAMES, show_progress=False)
        motion = pipeline.track_video(clip, pathlib.Path(out) / "motion", "motion", {}, FRAMES, show_progress=False)
        capture = cv2.VideoCapture(str(clip))
        _, frame = capture.read()
        capture.release()
        letterbox, decoding, kept = onnx_overhead(frame, pathlib.Path(out))
    n = hog.frames
    note = f"{n} frames of {clip.name}, {hog.width}x{hog.height}"
    shares = Table("kelmora video: the tracker's share of the frame", "the HOG detector in the same run", "ms", 1e3)
    shares.add(
        "ByteTracker.update per frame",
        hog.track / n,
        hog.detect / n,
        f"{hog.track / hog.total:.3%} of the frame time; {note}",
    )
    io = Table("kelmora video: writing the annotated video", "decoding the input in the same run", "ms", 1e3)
    io.add("pipeline waiting for the encoder", hog.write / n, hog.read / n, "queueing and the final flush")
    io.add(
        "encoder thread (overlapped)",
        hog.encode / n,
        hog.read / n,
        "MPEG-4 Part 2, on its own thread while the detector runs",
    )
    detectors = Table("kelmora video: the motion detector", "the HOG detector on the same frames", "ms", 1e3)
    detectors.add(
        "detector per frame",
        motion.detect / motion.frames,
        hog.detect / n,
        f"boxes reported per frame {motion.boxes / motion.frames:.2f} against {hog.boxes / n:.2f},"
        f" distinct ids {motion.ids} against {hog.ids}; {note}",
    )
    onnx = Table(
        "kelmora video: the ONNX detector's own work per frame (no network)", "decoding a frame of the input", "ms", 1e3
    )
    onnx.add("letterbox and blob, 640x640", letterbox, motion.read / motion.frames, f"from {hog.width}x{hog.height}")
    onnx.add(
        "decoding [1, 84, 8400] and NMS",
        decoding,
        motion.read / motion.frames,
        f"{OBJECTS * CANDIDATES_PER_OBJECT} candidates above the floor, {kept} kept",
    )
    onnx.add("both", letterbox + decoding, motion.read / motion.frames, "target: under 2 ms")
    return [shares, io, detectors, onnx]

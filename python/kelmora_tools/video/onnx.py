"""`--detector onnx:MODEL.onnx`: a detector exported to ONNX, run by OpenCV's dnn module.

Each frame is letterboxed to the model's input (scaled to fit, centred, padded with grey 114), turned
into an RGB 1 x 3 x H x W float blob in 0..1, and the model's first output is decoded by its layout:

- "yolov8": [1, 4 + C, N], per candidate cx, cy, w, h and C class scores (YOLOv8, YOLO11);
- "yolov5": [1, N, 5 + C], cx, cy, w, h, objectness and C class scores (YOLOv5, YOLOv7); the score is
  objectness times the best class score;
- "end2end": [1, N, 6], x1, y1, x2, y2, score, class, already suppressed by the model.

Coordinates are in the input's pixels; boxes are mapped back through the letterbox to the frame's
pixels and clipped to it. Candidates below the score floor or of classes not kept are dropped, the
others suppressed class by class (except end2end), and the class ids go to the tracker.
"""

from __future__ import annotations

import math
import pathlib
import re

import numpy as np

from kelmora_tools.errors import UserError
from kelmora_tools.mot_files import read_bytes

LAYOUTS = ("auto", "yolov8", "yolov5", "end2end")
PAD_GREY = 114
MIN_SCORE = 0.05  # below the tracker's low threshold (0.1): low scores reach its second pass
NMS_IOU = 0.45
# Suppression looks at the best MAX_CANDIDATES candidates of a frame: its cost grows with their square.
MAX_CANDIDATES = 1000
# The largest input side, in pixels: a 4096 x 4096 input's blob takes 192 MiB (float32), and the
# network's own tensors several times that; YOLO models take 640 or 1280.
MAX_INPUT_SIDE = 4096


def guess_layout(shape: tuple[int, ...]) -> str | None:
    """The layout of an output of this shape, or None when it fits none. [1, N, 6] is taken for
    end2end (a one-class YOLOv5 output has that shape too: --onnx-layout yolov5 says so); otherwise
    the shorter axis holds the values of a candidate (a last axis too short for yolov5 means yolov8)."""
    if len(shape) != 3 or shape[0] != 1:
        return None
    if shape[2] == 6:
        return "end2end"
    if shape[1] >= 5 and (shape[1] < shape[2] or shape[2] < 6):
        return "yolov8"
    if shape[2] >= 6:
        return "yolov5"
    return None


def fits(layout: str, shape: tuple[int, ...]) -> bool:
    """Whether an output of `shape` can be read in `layout`."""
    if len(shape) != 3 or shape[0] != 1:
        return False
    return {"yolov8": shape[1] >= 5, "yolov5": shape[2] >= 6, "end2end": shape[2] == 6}[layout]


def letterbox_geometry(width: int, height: int, input_w: int, input_h: int) -> tuple[float, int, int, int, int]:
    """(scale, scaled width, scaled height, left pad, top pad) of a width x height frame letterboxed
    into input_w x input_h: scaled to fit whole, centred (an odd pixel of padding goes right, down)."""
    scale = min(input_w / width, input_h / height)
    new_w, new_h = max(1, min(input_w, round(width * scale))), max(1, min(input_h, round(height * scale)))
    return scale, new_w, new_h, (input_w - new_w) // 2, (input_h - new_h) // 2


def decode(
    output: np.ndarray, layout: str, min_score: float, keep_classes: tuple[int, ...] | None
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Candidates of one output in `layout` with a score of at least `min_score` (and a class in
    `keep_classes`, when given): (N, 4) corner boxes in input pixels, (N,) scores, (N,) class ids."""
    out = output[0]
    if layout == "end2end":
        boxes, scores = out[:, :4].astype(np.float64), out[:, 4].astype(np.float64)
        classes = np.rint(out[:, 5]).astype(np.int64)
        keep = scores >= min_score
        if keep_classes is not None:
            keep &= np.isin(classes, keep_classes)
        return boxes[keep], scores[keep], classes[keep]
    if layout == "yolov8":
        centre, class_scores, objectness = out[:4].T, out[4:], None
    else:
        centre, class_scores, objectness = out[:, :4], out[:, 5:].T, out[:, 4]
    allowed = np.arange(len(class_scores))
    if keep_classes is not None:
        allowed = np.array([c for c in keep_classes if 0 <= c < len(class_scores)], dtype=np.int64)
        class_scores = class_scores[allowed]
    if len(allowed) == 0:
        return np.zeros((0, 4)), np.zeros(0), np.zeros(0, np.int64)
    # The best class score of every candidate first (a fast reduction), the best class only for the
    # few candidates above the floor.
    scores = class_scores.max(axis=0).astype(np.float64)
    if objectness is not None:
        scores *= objectness
    keep = np.flatnonzero(scores >= min_score)
    best = np.argmax(class_scores[:, keep], axis=0)
    cx, cy, w, h = centre[keep].astype(np.float64).T
    boxes = np.column_stack([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2])
    return boxes, scores[keep], allowed[best].astype(np.int64)


def suppress(boxes: np.ndarray, scores: np.ndarray, classes: np.ndarray, iou: float = NMS_IOU) -> np.ndarray:
    """Class-wise greedy non-maximum suppression over the best MAX_CANDIDATES candidates: indices of
    the kept ones, best first (equal scores: the earlier candidate first)."""
    import cv2

    order = np.argsort(-scores, kind="stable")[:MAX_CANDIDATES]
    if len(order) == 0:
        return order
    xywh = np.column_stack([boxes[order, :2], boxes[order, 2:] - boxes[order, :2]])
    kept = cv2.dnn.NMSBoxesBatched(
        xywh.tolist(), scores[order].astype(np.float32).tolist(), classes[order].astype(np.int32).tolist(), 0.0, iou
    )
    return order[np.asarray(kept, dtype=np.int64).reshape(-1)]


def read_input_shape(data: bytes) -> list[int | None] | None:
    """The dimensions of an ONNX model's first graph input that is not an initializer (None for a
    named or unset dimension, or one of 0; a negative one as it is), read from the serialised
    model; None when the model states none.

    Raises: ValueError when `data` is not a well-formed protocol buffer.
    """
    graph = next((v for f, v in _fields(data) if f == 7), None)  # ModelProto.graph
    if graph is None:
        return None
    initialisers: set[str] = set()
    inputs = []
    for field, value in _fields(graph):
        if field == 5:  # GraphProto.initializer: TensorProto, whose name is field 8
            initialisers.update(bytes(v).decode("utf-8", "replace") for f, v in _fields(value) if f == 8)
        elif field == 11:  # GraphProto.input: ValueInfoProto
            inputs.append(value)
    for value_info in inputs:
        name = next((bytes(v).decode("utf-8", "replace") for f, v in _fields(value_info) if f == 1), "")
        if name in initialisers:
            continue
        dims: list[int | None] = []
        for type_proto in (v for f, v in _fields(value_info) if f == 2):
            for tensor in (v for f, v in _fields(type_proto) if f == 1):  # TypeProto.tensor_type
                for shape in (v for f, v in _fields(tensor) if f == 2):
                    for dim in (v for f, v in _fields(shape) if f == 1):
                        # dim_value is an int64: a varint of two's complement.
                        sizes = [v - (1 << 64) * (v >> 63) for f, v in _fields(dim) if f == 1 and isinstance(v, int)]
                        dims.append(sizes[0] if sizes and sizes[0] != 0 else None)
        return dims
    return None


def _fields(data: bytes | memoryview):
    """(field number, value) of each field of a serialised protocol buffer message: an int for
    varints, a memoryview for length-delimited fields; fixed-width fields are skipped."""
    view = memoryview(data)
    pos, end = 0, len(view)
    while pos < end:
        key, pos = _varint(view, pos)
        field, wire = key >> 3, key & 7
        if wire == 0:
            value, pos = _varint(view, pos)
            yield field, value
        elif wire == 2:
            size, pos = _varint(view, pos)
            if pos + size > end:
                raise ValueError("truncated field")
            yield field, view[pos : pos + size]
            pos += size
        elif wire in (1, 5):
            pos += 8 if wire == 1 else 4
        else:
            raise ValueError(f"wire type {wire}")
    if pos != end:
        raise ValueError("truncated field")


def _varint(view: memoryview, pos: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        if pos >= len(view) or shift > 63:
            raise ValueError("bad varint")
        byte = view[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value, pos
        shift += 7


def _cv_message(error: Exception) -> str:
    """The reason in an OpenCV error, without its source path and function."""
    text = " ".join(str(error).split())
    found = re.search(r"error: \([^)]*\) (.*?)(?: in function '[^']*')?$", text)
    return found[1] if found else text


class OnnxDetector:
    """A detector exported to ONNX run through cv2.dnn; see the module's documentation."""

    def __init__(
        self,
        path: pathlib.Path,
        input_size: tuple[int, int] | None = None,
        onnx_layout: str = "auto",
        min_score: float = MIN_SCORE,
        keep_classes: tuple[int, ...] | None = None,
    ) -> None:
        import cv2

        where = f"--detector onnx:{path}"
        if onnx_layout not in LAYOUTS:
            raise UserError(f"--onnx-layout must be one of {', '.join(LAYOUTS)}, got {onnx_layout!r}")
        if not (math.isfinite(min_score) and 0 < min_score <= 1):
            raise UserError(f"--min-score must be in (0, 1], got {min_score:g}")
        data = read_bytes(path, where)
        try:
            dims = read_input_shape(data)
        except ValueError:
            raise UserError(f"{where}: not an ONNX model") from None
        try:
            self._net = cv2.dnn.readNetFromONNX(np.frombuffer(data, np.uint8))
        except cv2.error as e:
            raise UserError(f"{where}: not an ONNX model that OpenCV can read: {_cv_message(e)}") from None
        stated: tuple[int, int] | None = None
        if dims is not None and len(dims) == 4 and dims[2] is not None and dims[3] is not None:
            stated = (dims[3], dims[2])
        if dims is not None and len(dims) == 4 and dims[1] not in (3, None):
            raise UserError(f"{where}: the model's input is {dims}; expected [1, 3, height, width]")
        if stated is not None and not all(1 <= side <= MAX_INPUT_SIDE for side in stated):
            raise UserError(
                f"{where}: the model's input is {dims}; its height and width must be 1 to {MAX_INPUT_SIDE} pixels"
            )
        if input_size is not None and not all(1 <= side <= MAX_INPUT_SIDE for side in input_size):
            raise UserError(
                f"{where}: --input-size {input_size[0]}x{input_size[1]} is beyond {MAX_INPUT_SIDE} pixels a side"
            )
        if input_size is not None and stated is not None and tuple(input_size) != stated:
            raise UserError(
                f"--input-size {input_size[0]}x{input_size[1]} differs from the model's input {stated[0]}x{stated[1]}"
            )
        size = (input_size[0], input_size[1]) if input_size is not None else stated
        if size is None:
            raise UserError(f"{where}: the model does not state its input size; give --input-size WIDTHxHEIGHT")
        self.path, self.where = path, where
        self.input_w, self.input_h = size
        self.layout = onnx_layout
        self.min_score, self.keep_classes = float(min_score), keep_classes
        self._output = self._net.getUnconnectedOutLayersNames()[0]
        self._blob = np.zeros((1, 3, self.input_h, self.input_w), np.float32)
        self._geometry: tuple[int, int, tuple[float, int, int, int, int]] | None = None
        # One run on a grey input reads the output's shape: a layout that does not fit fails here,
        # before any frame, rather than at the first one.
        shape = self._run(self.blob(np.full((self.input_h, self.input_w, 3), PAD_GREY, np.uint8))).shape
        self.layout = self._layout_of(tuple(shape))
        keep = "" if keep_classes is None else f", classes {','.join(map(str, keep_classes))}"
        self.description = (
            f"onnx: {path.name} through OpenCV {cv2.__version__} dnn, input {self.input_w}x"
            f"{self.input_h}, layout {self.layout} (output {list(shape)}), scores from"
            f" {self.min_score:g}{keep}"
        )

    def _layout_of(self, shape: tuple[int, ...]) -> str:
        layout = guess_layout(shape) if self.layout == "auto" else self.layout
        if layout is None or not fits(layout, shape):
            wanted = (
                "[1, 4+C, N], [1, N, 5+C] or [1, N, 6]"
                if self.layout == "auto"
                else {"yolov8": "[1, 4+C, N]", "yolov5": "[1, N, 5+C]", "end2end": "[1, N, 6]"}[self.layout]
            )
            raise UserError(f"{self.where}: the model's output has shape {list(shape)}; expected {wanted}")
        return layout

    def blob(self, frame: np.ndarray) -> np.ndarray:
        """The model's input for a BGR frame: letterboxed (scaled to fit, centred on grey 114), RGB,
        1 x 3 x H x W float32 in 0..1. The array is reused from frame to frame (its padding is
        filled once per frame size): it is valid until the next call."""
        import cv2

        h, w = frame.shape[:2]
        if self._geometry is None or self._geometry[:2] != (w, h):
            self._geometry = (w, h, letterbox_geometry(w, h, self.input_w, self.input_h))
            self._blob = np.full((1, 3, self.input_h, self.input_w), PAD_GREY / 255.0, np.float32)
        _, new_w, new_h, left, top = self._geometry[2]
        scaled = cv2.resize(frame, (new_w, new_h), interpolation=cv2.INTER_LINEAR)
        # Plane by plane, from contiguous planes: several times faster than cv2.dnn.blobFromImage.
        # A true division gives each level its correctly rounded value (204 -> 0.8).
        for channel, plane in enumerate(cv2.split(scaled)[::-1]):  # BGR -> RGB
            np.divide(
                plane,
                np.float32(255.0),
                out=self._blob[0, channel, top : top + new_h, left : left + new_w],
                casting="unsafe",
            )
        return self._blob

    def _run(self, blob: np.ndarray) -> np.ndarray:
        import cv2

        try:
            self._net.setInput(blob)
            return self._net.forward(self._output)
        except cv2.error as e:
            raise UserError(f"{self.where}: the model failed: {_cv_message(e)}") from None

    def __call__(self, frame: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, None]:
        output = self._run(self.blob(frame))
        return self.postprocess(output, frame.shape[1], frame.shape[0])

    def postprocess(
        self, output: np.ndarray, width: int, height: int
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, None]:
        """Decodes a model output for a width x height frame: its boxes in frame pixels, scores and
        class ids, suppressed and clipped (boxes with nothing left inside the frame are dropped)."""
        if not fits(self.layout, tuple(output.shape)):
            raise UserError(
                f"{self.where}: the model's output has shape {list(output.shape)}; expected the"
                f" {self.layout} layout of its first frame"
            )
        boxes, scores, classes = decode(output, self.layout, self.min_score, self.keep_classes)
        if self.layout != "end2end":
            keep = suppress(boxes, scores, classes)
            boxes, scores, classes = boxes[keep], scores[keep], classes[keep]
        scale, _, _, left, top = letterbox_geometry(width, height, self.input_w, self.input_h)
        boxes = (boxes - [left, top, left, top]) / scale
        np.clip(boxes, 0.0, [width, height, width, height], out=boxes)
        inside = (boxes[:, 2] > boxes[:, 0]) & (boxes[:, 3] > boxes[:, 1]) & np.isfinite(scores)
        return boxes[inside], scores[inside], classes[inside], None

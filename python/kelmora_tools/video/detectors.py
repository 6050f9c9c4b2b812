"""Detectors for `kelmora video`: the plug-in contract, its checks, the default HOG people detector, and
the registry of built-in detectors (hog, motion, onnx:MODEL.onnx) that resolves --detector; any
other choice is a plug-in, MODULE:CALLABLE.

A detector is any callable that takes one frame, an H x W x 3 uint8 array in BGR order (read-only),
and returns either `(boxes, scores)` or `(boxes, scores, class_ids, features)`:

- `boxes`: (N, 4) corner boxes (x1, y1, x2, y2) in pixels;
- `scores`: (N,) confidences, which the tracker splits at its thresholds (by default 0.5 between
  high and low, 0.1 below which a detection is ignored, 0.6 to start a track);
- `class_ids`: (N,) whole numbers, -1 for "no class", or None;
- `features`: (N, d) appearance features, or None.

Array-likes (lists, tuples) are accepted and N may be 0. A frame whose output breaks these rules,
holds NaN or infinity, or whose call raises, stops the run with one line naming the frame.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib
import importlib.util
import inspect
import itertools
import os
import pathlib
import posix
import sys
import threading
import time
from collections.abc import Callable, Collection, Iterator
from typing import Any

import numpy as np

from kelmora_tools.errors import UserError, file_problem, first_line, lingering_threads

Detector = Callable[[np.ndarray], Any]

# The default detector's settings: an 8-pixel window stride over a pyramid of 1.05 steps, and
# non-maximum suppression at IoU 0.4.
HOG_STRIDE = 8
HOG_SCALE = 1.05
HOG_NMS_IOU = 0.4
# The window, and the padding added around each side of the frame before it is scanned. A frame
# that, padded, is narrower or lower than the window holds no window: it gets no detections, and is
# never handed to OpenCV, whose scan corrupts memory on it.
HOG_WINDOW = (64, 128)
HOG_PADDING = 8
# The HOG score map: score = 1 / (1 + exp(-HOG_SLOPE * (margin - HOG_MIDPOINT))). Margin 1.0 maps
# to 0.5, the tracker's default split between high and low scores; the windows OpenCV itself
# accepts (margin >= 0) start at 0.119, just above the default floor of 0.1, so they all reach
# the tracker's low-score pass; a track starts (0.6) from margin 1.2 up.
HOG_MIDPOINT = 1.0
HOG_SLOPE = 2.0
# exp overflows beyond about 709; the map is clamped well before, at scores 1e-13 from 0 and 1.
_LOGIT_LIMIT = 30.0
# Seconds the threads a plug-in started have, after the last frame, to end before the run is refused.
THREAD_GRACE_SECONDS = 1.0


@dataclasses.dataclass
class Detections:
    """One frame's detections, checked and converted for `ByteTracker.update`."""

    boxes: np.ndarray  # (N, 4) float64
    scores: np.ndarray  # (N,) float64
    class_ids: np.ndarray | None  # (N,) int64
    features: np.ndarray | None  # (N, d) float64

    def __len__(self) -> int:
        return len(self.scores)


def hog_scores(margins: np.ndarray) -> np.ndarray:
    """Maps HOG SVM margins into (0, 1) with the logistic map documented above.

    Returns: scores of the same shape; non-decreasing in the margin, strictly increasing for
    margins within 15 of HOG_MIDPOINT, and never exactly 0 or 1.
    """
    z = np.clip(HOG_SLOPE * (np.asarray(margins, dtype=np.float64) - HOG_MIDPOINT), -_LOGIT_LIMIT, _LOGIT_LIMIT)
    return 1.0 / (1.0 + np.exp(-z))


def nms(boxes: np.ndarray, scores: np.ndarray, iou_thresh: float) -> np.ndarray:
    """Greedy non-maximum suppression: keeps the best box, drops every box overlapping it by
    IoU > iou_thresh, and repeats with the best box left.

    Returns: the kept rows' indices, best score first; equal scores keep their input order.
    """
    import kelmora_cpp

    boxes = np.asarray(boxes, dtype=np.float64).reshape(-1, 4)
    order = np.argsort(-np.asarray(scores, dtype=np.float64), kind="stable")
    if len(order) == 0:
        return order
    overlap = kelmora_cpp.iou_matrix(boxes, boxes)
    suppressed = np.zeros(len(order), dtype=bool)
    keep = []
    for i in order:
        if suppressed[i]:
            continue
        keep.append(i)
        suppressed |= overlap[i] > iou_thresh
    return np.array(keep, dtype=np.int64)


class HogDetector:
    """OpenCV's built-in HOG people detector (64 x 128 windows, the linear SVM trained on
    pedestrians), with raw windows scored by `hog_scores` and merged by `nms` instead of
    OpenCV's own grouping."""

    def __init__(self, stride: int = HOG_STRIDE, scale: float = HOG_SCALE, nms_iou: float = HOG_NMS_IOU) -> None:
        import cv2

        if not hasattr(getattr(cv2, "HOGDescriptor", None), "getDefaultPeopleDetector"):
            raise UserError(f"--detector hog: OpenCV {cv2.__version__} has no HOG people detector (it needs 4.x)")
        self.stride, self.scale, self.nms_iou = stride, scale, nms_iou
        self._hog = cv2.HOGDescriptor()
        self._hog.setSVMDetector(np.asarray(cv2.HOGDescriptor.getDefaultPeopleDetector(), dtype=np.float32))
        self.description = (
            f"OpenCV {cv2.__version__} HOG people detector, stride {stride}, scale {scale}, NMS IoU {nms_iou}"
        )

    def __call__(self, frame: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        height, width = frame.shape[:2]
        if width + 2 * HOG_PADDING < HOG_WINDOW[0] or height + 2 * HOG_PADDING < HOG_WINDOW[1]:
            return np.zeros((0, 4)), np.zeros(0)
        # groupThreshold 0 returns every window above the SVM's boundary, with its margin.
        rects, margins = self._hog.detectMultiScale(
            frame,
            hitThreshold=0.0,
            winStride=(self.stride, self.stride),
            padding=(HOG_PADDING, HOG_PADDING),
            scale=self.scale,
            groupThreshold=0,
        )
        found = np.asarray(rects, dtype=np.float64).reshape(-1, 4)
        boxes = np.hstack([found[:, :2], found[:, :2] + found[:, 2:]])
        scores = hog_scores(np.asarray(margins, dtype=np.float64).reshape(-1))
        keep = nms(boxes, scores, self.nms_iou)
        return boxes[keep], scores[keep]


@dataclasses.dataclass
class LoadedDetector:
    call: Detector
    name: str  # as given on the command line, for messages
    description: str  # for the summary
    file: pathlib.Path | None = None  # the ONNX model or the plug-in's module file it was loaded from


@dataclasses.dataclass
class DetectorOptions:
    """The command line's settings of the built-in detectors; None keeps a detector's default.
    Each applies to one detector only (`owner`), and giving it to another is an error."""

    min_area: float | None = None  # motion
    max_area: float | None = None  # motion
    split_aspect: float | None = None  # motion
    input_size: tuple[int, int] | None = None  # onnx: width, height
    onnx_layout: str | None = None  # onnx
    min_score: float | None = None  # onnx
    keep_classes: tuple[int, ...] | None = None  # onnx

    OWNERS = {
        "min_area": "motion",
        "max_area": "motion",
        "split_aspect": "motion",
        "input_size": "onnx",
        "onnx_layout": "onnx",
        "min_score": "onnx",
        "keep_classes": "onnx",
    }

    def given(self, owner: str) -> dict[str, Any]:
        """The settings given for detector `owner`.

        Raises: UserError naming the first option given that belongs to another detector.
        """
        chosen = {}
        for field, value in dataclasses.asdict(self).items():
            if value is None:
                continue
            if self.OWNERS[field] != owner:
                option = "--" + field.replace("_", "-")
                raise UserError(f"{option} applies to --detector {self.OWNERS[field]} only")
            chosen[field] = value
        return chosen


# A built-in detector's factory: called with the --detector text as given, the text after "NAME:"
# (empty for a detector that takes no argument) and the settings given for it (DetectorOptions.given).
Factory = Callable[[str, str, dict[str, Any]], LoadedDetector]


@dataclasses.dataclass(frozen=True)
class Builtin:
    """A built-in detector: `form` as --detector takes it, "NAME" or "NAME:ARGUMENT" for one that takes
    an argument (the model of onnx:MODEL.onnx); `summary` for the command's help; `make` builds it."""

    form: str
    summary: str
    make: Factory

    @property
    def takes_argument(self) -> bool:
        return ":" in self.form


def _hog(choice: str, argument: str, settings: dict[str, Any]) -> LoadedDetector:
    detector = HogDetector(**settings)
    return LoadedDetector(detector, choice, detector.description)


def _motion(choice: str, argument: str, settings: dict[str, Any]) -> LoadedDetector:
    from kelmora_tools.video.motion import MotionDetector

    detector = MotionDetector(**settings)
    return LoadedDetector(detector, choice, detector.description)


def _onnx(choice: str, argument: str, settings: dict[str, Any]) -> LoadedDetector:
    from kelmora_tools.video.onnx import OnnxDetector

    model = pathlib.Path(argument)
    detector = OnnxDetector(model, **settings)
    return LoadedDetector(detector, choice, detector.description, model)


# The built-in detectors by name, the name DetectorOptions.OWNERS gives their settings under, in the
# order the command lists them. Any other --detector is a plug-in, MODULE:CALLABLE.
DETECTORS: dict[str, Builtin] = {
    "hog": Builtin("hog", "OpenCV's HOG people detector", _hog),
    "motion": Builtin("motion", "background subtraction for a fixed camera", _motion),
    "onnx": Builtin("onnx:MODEL.onnx", "a YOLO-style model exported to ONNX", _onnx),
}
DEFAULT = "hog"
PLUGIN_FORM = "MODULE:CALLABLE"


def load_detector(choice: str, options: DetectorOptions | None = None) -> LoadedDetector:
    """Resolves --detector: a built-in detector of DETECTORS ("hog", "motion", "onnx:MODEL.onnx"), or
    MODULE:CALLABLE where MODULE is an importable module name (searched in the current folder first)
    or a path to a .py file. A class is instantiated once, without arguments, and the instance is
    called per frame. `options` are the built-in detectors' settings.

    Raises: UserError naming --detector (or the option) and the problem.
    """
    options = options or DetectorOptions()
    name, colon, argument = choice.partition(":")
    builtin = DETECTORS.get(name)
    # "hog:x" and a bare "onnx" do not fit their detector's form: they are read as plug-ins.
    if builtin is not None and builtin.takes_argument == bool(colon):
        return builtin.make(choice, argument, options.given(name))
    options.given("plug-in")
    return _load_plugin(choice)


def _load_plugin(choice: str) -> LoadedDetector:
    module_name, sep, attr = choice.rpartition(":")
    if not sep or not module_name or not attr:
        forms = ", ".join(builtin.form for builtin in DETECTORS.values())
        raise UserError(f"--detector: expected {forms} or {PLUGIN_FORM}, got {choice!r}")
    module = _import(module_name)
    obj: Any = module
    for part in attr.split("."):
        if not hasattr(obj, part):
            raise UserError(f"--detector: {module_name} has no attribute {attr!r}")
        obj = getattr(obj, part)
    if inspect.isclass(obj):
        try:
            obj = obj()
        except KeyboardInterrupt:
            raise
        except BaseException as e:
            raise UserError(f"--detector: creating {choice} {_outcome(e, 'failed:')}") from None
    if not callable(obj):
        raise UserError(f"--detector: {choice} is not callable")
    doc = (inspect.getdoc(obj) or "").strip().splitlines()
    file = getattr(module, "__file__", None)
    return LoadedDetector(
        obj, choice, choice + (f" ({doc[0].rstrip('.')})" if doc else ""), pathlib.Path(file) if file else None
    )


# Plug-ins loaded from a file path get module names of their own, so that two files of one name
# never share an entry in sys.modules.
_plugin_numbers = itertools.count(1)


def _import(module_name: str) -> Any:
    # As `python -m` does, the current folder comes first, so that a module beside the user's
    # data is found under the console script too.
    here = os.getcwd()
    sys.path.insert(0, here)
    try:
        if module_name.endswith(".py") or os.sep in module_name:
            path = pathlib.Path(module_name)
            problem = file_problem(path)
            if problem == "no such file":
                raise UserError(f"--detector: no such file {path}")
            if problem is not None:
                raise UserError(f"--detector: {path}: {problem}")
            name = f"kelmora_detector_{next(_plugin_numbers)}_{path.stem}"
            found = importlib.util.spec_from_file_location(name, path)
            if found is None or found.loader is None:
                raise UserError(f"--detector: cannot import {path}")
            module = importlib.util.module_from_spec(found)
            # Registered before it runs, as an import does: dataclasses and `from __future__ import
            # annotations` look the module up in sys.modules while its code runs.
            sys.modules[name] = module
            try:
                found.loader.exec_module(module)
            except BaseException:
                del sys.modules[name]
                raise
            return module
        return importlib.import_module(module_name)
    except ModuleNotFoundError as e:
        # The module itself (or its package) missing, rather than something it imports.
        if e.name is not None and (module_name == e.name or module_name.startswith(e.name + ".")):
            raise UserError(f"--detector: no module named {module_name!r}") from None
        raise UserError(f"--detector: importing {module_name} failed: {first_line(e, with_type=True)}") from None
    except (UserError, KeyboardInterrupt):
        raise
    except BaseException as e:
        raise UserError(f"--detector: importing {module_name} {_outcome(e, 'failed:')}") from None
    finally:
        if here in sys.path:
            sys.path.remove(here)


def detect(detector: LoadedDetector, frame: np.ndarray, frame_no: int) -> Detections:
    """Runs the detector on one frame (1-based number `frame_no`) and checks its output.

    Raises: UserError naming the detector and the frame when the call raises or the output breaks
    the contract.
    """
    view = frame.view()
    view.flags.writeable = False
    try:
        result = detector.call(view)
    except UserError as e:
        raise UserError(f"frame {frame_no}: {e}") from None
    except KeyboardInterrupt:
        raise
    except BaseException as e:
        raise UserError(f"frame {frame_no}: detector {detector.name} {_outcome(e, 'raised')}") from None
    try:
        return check_output(result)
    except ValueError as e:
        raise UserError(f"frame {frame_no}: detector {detector.name} returned {e}") from None


def check_output(result: Any) -> Detections:
    """Checks a detector's return value against the contract and converts it.

    Raises: ValueError whose message completes "detector X returned ...".
    """
    if not isinstance(result, (tuple, list)) or len(result) not in (2, 4):
        kind = f"a {len(result)}-tuple" if isinstance(result, (tuple, list)) else type(result).__name__
        raise ValueError(f"{kind}; expected (boxes, scores) or (boxes, scores, class_ids, features)")
    boxes = _array(result[0], "boxes")
    scores = _array(result[1], "scores")
    if boxes.size == 0:
        boxes = boxes.reshape(0, 4)
    if boxes.ndim != 2 or boxes.shape[1] != 4:
        raise ValueError(f"boxes of shape {boxes.shape}; expected (N, 4)")
    n = len(boxes)
    if scores.shape != (n,):
        raise ValueError(f"scores of shape {scores.shape} for {n} boxes; expected ({n},)")
    _finite(boxes, "boxes")
    _finite(scores, "scores")
    class_ids = features = None
    if len(result) == 4:
        if result[2] is not None:
            class_ids = _array(result[2], "class_ids")
            if class_ids.shape != (n,):
                raise ValueError(f"class_ids of shape {class_ids.shape} for {n} boxes; expected ({n},)")
            _finite(class_ids, "class_ids")
            if (class_ids != np.round(class_ids)).any():
                raise ValueError("class_ids that are not whole numbers")
            class_ids = class_ids.astype(np.int64)
        if result[3] is not None:
            features = _array(result[3], "features")
            if features.ndim != 2 or len(features) != n:
                raise ValueError(f"features of shape {features.shape} for {n} boxes; expected ({n}, d)")
            _finite(features, "features")
    return Detections(np.ascontiguousarray(boxes), scores, class_ids, features)


def _array(value: Any, what: str) -> np.ndarray:
    not_numbers = ValueError(f"{what} that are not an array of numbers")
    try:
        found = np.asarray(value)
    except (TypeError, ValueError):
        raise not_numbers from None
    if found.dtype.kind == "c":  # casting would drop the imaginary part, with a warning
        raise ValueError(f"complex numbers in {what}")
    # Text that reads as numbers ("0.9") is not a number: NumPy would convert it.
    if found.dtype.kind in "US" or (found.dtype.kind == "O" and any(isinstance(v, (str, bytes)) for v in found.flat)):
        raise not_numbers
    try:
        return np.array(found, dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        raise not_numbers from None


def _finite(values: np.ndarray, what: str) -> None:
    bad = ~np.isfinite(values)
    if bad.any():
        row = int(np.argwhere(bad)[0][0])
        raise ValueError(f"NaN or infinity in {what} (row {row})")


def _outcome(error: BaseException, verb: str) -> str:
    """How a plug-in's exception reads after "importing X", "creating X" or "detector X": "exited"
    and its sys.exit message, "called os._exit(N)", or `verb` and the exception's first line."""
    if isinstance(error, PluginExit):
        return f"called os._exit({error.status}); a plug-in must return or raise"
    if not isinstance(error, SystemExit):
        return f"{verb} {first_line(error, with_type=True)}"
    text = str(error.code).strip().splitlines() if error.code is not None else []
    return f"exited: {text[0]}" if text else "exited"


class PluginExit(BaseException):
    """Raised in place of os._exit while plug-in code may run (see refusing_process_exit): a
    detector ends the run with an error, never the process with a status of its choosing."""

    def __init__(self, status: object) -> None:
        super().__init__(status)
        self.status = status


def _refused_exit(status: object = 0) -> None:
    raise PluginExit(status)


@contextlib.contextmanager
def refusing_process_exit() -> Iterator[None]:
    """While the block runs, os._exit (and posix._exit) raise PluginExit instead of ending the
    process at once, with no message and a status a plug-in chose. Every thread is affected."""
    saved = os._exit, posix._exit
    os._exit = posix._exit = _refused_exit  # type: ignore[assignment]
    try:
        yield
    finally:
        os._exit, posix._exit = saved


def check_threads(detector: LoadedDetector, before: Collection[threading.Thread]) -> None:
    """Refuses a run after which the detector left a thread running that would keep the process from
    exiting (see errors.lingering_threads), once such threads had a second to end.

    Raises: UserError naming the threads.
    """
    deadline = time.monotonic() + THREAD_GRACE_SECONDS
    for thread in lingering_threads(before):
        thread.join(max(0.0, deadline - time.monotonic()))
    left = lingering_threads(before)
    if left:
        names = ", ".join(repr(t.name) for t in left[:3]) + (" ..." if len(left) > 3 else "")
        raise UserError(
            f"detector {detector.name} left {len(left)} thread(s) running ({names}); a plug-in must end"
            " its threads, or make them daemon threads, before the last frame is done"
        )

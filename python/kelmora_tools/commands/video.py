"""`kelmora video`: tracks the objects of a video file, a folder of numbered images, a camera or a stream
with a detector and writes the annotated video, the tracks in the MOTChallenge results format, and a
contact sheet."""

from __future__ import annotations

import argparse
import dataclasses
import math
import pathlib
import textwrap
import warnings

from kelmora_tools import config
from kelmora_tools.commands import options
from kelmora_tools.errors import UserError
from kelmora_tools.video import detectors, frames, pipeline


def _listed() -> list[str]:
    """The built-in detectors as --detector takes them, in the registry's order, the default marked."""
    return [
        f"{builtin.form} (default)" if name == detectors.DEFAULT else builtin.form
        for name, builtin in detectors.DETECTORS.items()
    ]


_DETECTORS_PARAGRAPH = (
    "Detectors: "
    + "; ".join(f"{listed}, {builtin.summary}" for listed, builtin in zip(_listed(), detectors.DETECTORS.values()))
    + f"; {detectors.PLUGIN_FORM}, your own callable taking an H x W x 3 uint8 BGR frame and returning"
    " (boxes, scores) or (boxes, scores, class_ids, features), boxes as (N, 4) corners in pixels (see"
    f" examples/dark_blobs.py). {detectors.PLUGIN_FORM} runs that module's code, and a module name is"
    " looked up in the current folder first."
)

# The detectors' paragraph is filled to 99 columns, the width the others are wrapped at.
DESCRIPTION = f"""\
Runs a detector and the tracker on every frame of INPUT (a video file, a folder of numbered images
such as MOTChallenge's img1/, or a stream URL such as rtsp://... or http://...) or of a camera
(--camera N), and writes, into DIR: <name>.mp4, the same frames with each track's box, id and
recent path drawn in a colour of its id; <name>.txt, the tracks in the MOTChallenge results format;
<name>_sheet.png, a few evenly spaced annotated frames side by side.

{textwrap.fill(_DETECTORS_PARAGRAPH, width=99)}

On a camera or a stream, Ctrl-C ends the run after the current frame and writes the outputs."""


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _input_size(text: str) -> tuple[int, int]:
    """ "640" or "640x384" (width x height), in pixels."""
    parts = text.lower().split("x")
    try:
        sizes = [int(p) for p in parts]
    except ValueError:
        sizes = []
    if len(sizes) not in (1, 2) or min(sizes) < 1:
        raise argparse.ArgumentTypeError(f"expected SIZE or WIDTHxHEIGHT in pixels, got {text!r}")
    return (sizes[0], sizes[-1])


def _classes(text: str) -> tuple[int, ...]:
    """ "0,2": class ids, whole numbers >= 0."""
    try:
        ids = tuple(int(p) for p in text.split(","))
    except ValueError:
        ids = ()
    if not ids or min(ids) < 0:
        raise argparse.ArgumentTypeError(f"expected class ids such as 0,2, got {text!r}")
    return ids


def add_parser(subparsers) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "video",
        help="track a video, a camera or a stream with a detector and write an annotated video",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "input",
        nargs="?",
        metavar="INPUT",
        help="video file, folder of numbered images (MOTChallenge's img1/), or stream URL",
    )
    parser.add_argument("--camera", type=int, metavar="INDEX", help="read OpenCV's camera INDEX instead of INPUT")
    parser.add_argument("--out", type=pathlib.Path, required=True, metavar="DIR", help="output folder")
    parser.add_argument(
        "--detector",
        default=detectors.DEFAULT,
        metavar="|".join([*(builtin.form for builtin in detectors.DETECTORS.values()), detectors.PLUGIN_FORM]),
        help=", ".join(_listed()) + ", or a callable in a module or .py file, e.g. examples/dark_blobs.py:detect",
    )
    parser.add_argument(
        "--appearance",
        choices=("none", "hist"),
        default="none",
        help="hist: a colour histogram per box, which the tracker uses with --set w_app=...",
    )
    motion = parser.add_argument_group("--detector motion")
    motion.add_argument(
        "--min-area", type=_number, metavar="PX", help="smallest blob, in foreground pixels (default 200)"
    )
    motion.add_argument(
        "--max-area",
        type=_number,
        metavar="PX",
        help="largest blob, in foreground pixels (default a quarter of the frame)",
    )
    motion.add_argument(
        "--split-aspect",
        type=_number,
        metavar="R",
        help="width of one object as a share of its height: wider blobs are split (default 0.45; 0 never splits)",
    )
    onnx = parser.add_argument_group("--detector onnx:MODEL.onnx")
    onnx.add_argument(
        "--input-size",
        type=_input_size,
        metavar="WxH",
        help="the model's input in pixels, when the model does not state it",
    )
    onnx.add_argument(
        "--onnx-layout",
        choices=("auto", "yolov8", "yolov5", "end2end"),
        help="the output's layout (default auto: from its shape)",
    )
    onnx.add_argument("--min-score", type=_number, metavar="S", help="score floor (default 0.05)")
    onnx.add_argument("--keep-classes", type=_classes, metavar="IDS", help="keep only these classes, e.g. 0,2")
    options.add_tracker_options(parser)
    parser.add_argument("--max-frames", type=int, metavar="N", help="process only the first N frames")
    parser.set_defaults(func=run)
    return parser


@dataclasses.dataclass(frozen=True)
class VideoSettings:
    """What `kelmora video` was asked to do."""

    source: pathlib.Path | str | int  # a video file or image folder, a stream URL, or a camera index
    out: pathlib.Path
    detector: str
    detector_options: detectors.DetectorOptions
    appearance: str
    config: pathlib.Path | None
    set: tuple[str, ...]
    max_frames: int | None

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> VideoSettings:
        """Raises: UserError for a source given twice or not at all, or a frame count below 1."""
        if (args.input is None) == (args.camera is None):
            raise UserError("give either INPUT (a file, a folder or a stream URL) or --camera INDEX")
        if args.max_frames is not None and args.max_frames < 1:
            raise UserError(f"--max-frames must be >= 1, got {args.max_frames}")
        source: pathlib.Path | str | int
        if args.camera is not None:
            source = args.camera
        elif frames.is_stream_url(args.input):
            source = args.input
        else:
            source = pathlib.Path(args.input)
        detector_options = detectors.DetectorOptions(
            min_area=args.min_area,
            max_area=args.max_area,
            split_aspect=args.split_aspect,
            input_size=args.input_size,
            onnx_layout=args.onnx_layout,
            min_score=args.min_score,
            keep_classes=args.keep_classes,
        )
        return cls(
            source,
            args.out,
            args.detector,
            detector_options,
            args.appearance,
            args.config,
            tuple(args.set),
            args.max_frames,
        )


def run(args: argparse.Namespace) -> int:
    settings = VideoSettings.from_args(args)
    tracker_options = config.tracker_options(settings.config, list(settings.set))
    frames.quiet_native_logs()
    # Python warnings (a plug-in's NumPy overflow, say) stay off stderr, which carries the command's
    # one-line errors only.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = pipeline.track_video(
            settings.source,
            settings.out,
            settings.detector,
            tracker_options,
            settings.max_frames,
            detector_options=settings.detector_options,
            appearance_kind=settings.appearance,
            inputs=[settings.config] if settings.config is not None else [],
        )
    print(pipeline.summary(result, tracker_options))
    return 0

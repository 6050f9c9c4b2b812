"""Tracking a video: a detector and the tracker over the frames of a video file, a folder of numbered
images, a camera or a stream, written out as the annotated video, the tracks in the MOTChallenge
results format, and a contact sheet."""

from __future__ import annotations

import dataclasses
import pathlib
import sys
import threading
import time
from collections.abc import Iterable, Iterator, Sequence
from typing import TextIO

import numpy as np

from kelmora_tools import config, outputs, stopping
from kelmora_tools.errors import UserError
from kelmora_tools.mot_files import format_results
from kelmora_tools.video import annotate, appearance, detectors, frames


@dataclasses.dataclass
class VideoRun:
    """What one run did, and where its time went (seconds, summed over the frames)."""

    name: str
    source: str
    width: int
    height: int
    fps: float
    detector: str
    appearance: str | None = None
    frames: int = 0
    stopped: bool = False  # ended by Ctrl-C on a live source
    detections: int = 0
    ids: int = 0
    boxes: int = 0
    read: float = 0.0  # decoding frames
    detect: float = 0.0  # the detector, its output checks included
    features: float = 0.0  # appearance features
    track: float = 0.0  # ByteTracker.update
    draw: float = 0.0  # trails, boxes, labels and contact-sheet thumbnails
    write: float = 0.0  # the pipeline waiting for the encoder (queueing, and the final flush)
    encode: float = 0.0  # the encoder thread's own time, overlapped with the stages above
    total: float = 0.0  # wall time from the first frame to the finished files
    video_path: pathlib.Path | None = None
    results_path: pathlib.Path | None = None
    sheet_path: pathlib.Path | None = None


def track_video(
    input_source: pathlib.Path | str | int,
    out_dir: pathlib.Path,
    detector_choice: str = detectors.DEFAULT,
    options: dict[str, bool | int | float] | None = None,
    max_frames: int | None = None,
    show_progress: bool = True,
    detector_options: detectors.DetectorOptions | None = None,
    appearance_kind: str = "none",
    inputs: Sequence[pathlib.Path] = (),
) -> VideoRun:
    """Runs the detector and a new tracker over the frames and writes the three files.

    `input_source` is a path (video file or image folder), a stream URL, or a camera index;
    `inputs` are the other files the caller read for the run (a --config file), which no output may
    replace, as none may replace the source's files or the detector's.
    Returns: the run's counts and timings.
    Raises: UserError naming the file, frame or option at fault; no output file is then left
    behind (files of an earlier run keep their content).
    """
    threads = set(threading.enumerate())
    source = frames.FrameSource(input_source)
    try:
        with detectors.refusing_process_exit():
            detector = detectors.load_detector(detector_choice, detector_options)
            tracker = config.make_tracker(options or {})
            run = VideoRun(
                source.name,
                source.shown,
                source.width,
                source.height,
                source.fps,
                detector.description,
                appearance.DESCRIPTION if appearance_kind == "hist" else None,
            )
            read = [*source.files, *inputs, detector.file]
            _track(source, detector, tracker, out_dir, max_frames, show_progress, run, threads, read)
    finally:
        source.close()
    return run


def frame_progress(
    frames: Iterable, total: int | None, name: str, stream: TextIO | None = None, enabled: bool | None = None
) -> Iterator:
    """Yields the frames while a bar on `stream` (stderr) shows them: with `total` known, the share
    done and the time left; without it (a live source), the count and frames per second. Drawn only
    when the stream is a terminal, unless `enabled` says otherwise."""
    stream = stream or sys.stderr
    if not (stream.isatty() if enabled is None else enabled):
        yield from frames
        return
    from tqdm import tqdm

    # rate_noinv_fmt: frames per second, never inverted to seconds per frame for a slow source.
    form = (
        "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} frames [{elapsed}, ETA {remaining}, {rate_noinv_fmt}]"
        if total
        else "{desc}: {n_fmt} frames [{elapsed}, {rate_noinv_fmt}]"
    )
    bar = tqdm(
        frames,
        total=total,
        desc=name,
        unit=" frames",
        file=stream,
        leave=False,
        dynamic_ncols=True,
        mininterval=0.1,
        bar_format=form,
    )
    try:
        yield from bar
    finally:
        bar.close()


def _track(
    source: frames.FrameSource,
    detector: detectors.LoadedDetector,
    tracker,
    out_dir: pathlib.Path,
    max_frames: int | None,
    show_progress: bool,
    run: VideoRun,
    threads: set[threading.Thread],
    inputs: Sequence[pathlib.Path | None] = (),
) -> None:
    """The frames through the detector and the tracker into the outputs; `threads`, those alive
    before the detector was loaded, tell the ones it left running; `inputs`, the files the run
    reads, which no output may replace."""
    trails = annotate.Trails()
    sheet = annotate.ContactSheet()
    out: list[tuple[int, np.ndarray, np.ndarray, np.ndarray]] = []
    if source.live:
        total = max_frames
    else:
        total = source.count if max_frames is None else min(source.count or max_frames, max_frames)
    video_path = out_dir / f"{run.name}.mp4"
    sheet_path = out_dir / f"{run.name}_sheet.png"
    results_path = out_dir / f"{run.name}.txt"
    outputs.check_outputs([("--out", p) for p in (video_path, results_path, sheet_path)], inputs)
    start = time.perf_counter()
    with outputs.output_set(out_dir) as staged, stopping.StopOnInterrupt(source.live) as stop:
        sink = frames.VideoSink(staged.path(video_path.name), source.fps, source.width, source.height, video_path)
        try:
            # A stop asked for while a stalled live source is awaited ends the frames there.
            numbered: Iterable[tuple[int, np.ndarray]] = source.frames(max_frames, lambda: stop.requested)
            if show_progress:
                numbered = frame_progress(numbered, total, run.name)
            for frame_no, frame in numbered:
                t0 = time.perf_counter()
                dets = detectors.detect(detector, frame, frame_no)
                t1 = time.perf_counter()
                if run.appearance is not None:
                    dets.features = appearance.hist_features(frame, dets.boxes)
                t2 = time.perf_counter()
                try:
                    ids, xyxy, scores, _ = tracker.update(dets.boxes, dets.scores, dets.class_ids, dets.features)
                except (ValueError, RuntimeError) as e:
                    raise UserError(
                        f"frame {frame_no}: the tracker refused detector {detector.name}'s output: {e}"
                    ) from None
                t3 = time.perf_counter()
                trails.update(frame_no, ids, xyxy)
                annotate.draw_tracks(frame, ids, xyxy, trails)
                sheet.add(frame_no, frame)
                t4 = time.perf_counter()
                sink.write(frame)
                run.detect += t1 - t0
                run.features += t2 - t1
                run.track += t3 - t2
                run.draw += t4 - t3
                run.frames += 1
                run.detections += len(dets)
                out.append((frame_no, ids, xyxy, scores))
                if stop.requested:
                    break
            run.stopped = stop.requested
            sink.close()
            detectors.check_threads(detector, threads)
        except BaseException:
            sink.abort()
            raise
        run.read = source.read_seconds
        run.write, run.encode = sink.wait_seconds, sink.encode_seconds
        _write_sheet(staged, sheet_path.name, sheet)
        frames_col = np.concatenate([np.full(len(o[1]), o[0], dtype=np.int64) for o in out])
        ids_col = np.concatenate([o[1] for o in out]).astype(np.int64)
        text = format_results(
            frames_col, ids_col, np.concatenate([o[2] for o in out]).reshape(-1, 4), np.concatenate([o[3] for o in out])
        )
        staged.write(results_path.name, text)
        run.ids, run.boxes = len(np.unique(ids_col)), len(ids_col)
    run.video_path, run.sheet_path, run.results_path = video_path, sheet_path, results_path
    run.total = time.perf_counter() - start


def _write_sheet(staged: outputs.Staging, name: str, sheet: annotate.ContactSheet) -> None:
    import cv2

    ok, png = cv2.imencode(".png", sheet.render())
    if not ok:
        raise UserError(f"{staged.folder / name}: the contact sheet could not be encoded")
    staged.write(name, png.tobytes())


def summary(run: VideoRun, options: dict[str, bool | int | float]) -> str:
    """The report printed at the end: counts, outputs, and the time per frame of each stage."""
    n = max(run.frames, 1)

    def ms(seconds: float) -> str:
        return f"{seconds / n * 1e3:9.3f} ms"

    frame_time = run.total / n
    unused = " (unused: w_app is 0)" if run.appearance and not options.get("w_app") else ""
    lines = [
        f"kelmora video: {run.name}",
        f"  input        {run.source} ({run.width}x{run.height}, {run.fps:g} frames/s)",
        f"  detector     {run.detector}",
        *([f"  appearance   {run.appearance}{unused}"] if run.appearance else []),
        f"  config       {config.describe(options)}",
        f"  frames       {run.frames}" + (" (stopped by Ctrl-C)" if run.stopped else ""),
        f"  detections   {run.detections} ({run.detections / n:.2f} per frame)",
        f"  tracks       {run.ids} distinct ids, {run.boxes} boxes reported ({run.boxes / n:.2f} per frame)",
        f"  time per frame, mean over {run.frames} frames:",
        f"    frame      {ms(run.total)}  ({1.0 / frame_time if frame_time > 0 else 0:.1f} frames/s, everything)",
        f"    read       {ms(run.read)}",
        f"    detector   {ms(run.detect)}  ({_share(run.detect, run.total)} of the frame time)",
        *([f"    appearance {ms(run.features)}"] if run.appearance else []),
        f"    tracker    {ms(run.track)}  ({_share(run.track, run.total)} of the frame time)",
        f"    draw       {ms(run.draw)}",
        f"    write      {ms(run.write)}  (waiting for the encoder; its thread encodes in"
        f" {run.encode / n * 1e3:.3f} ms, overlapped)",
        f"  video        {run.video_path}",
        f"  results      {run.results_path}",
        f"  sheet        {run.sheet_path}",
    ]
    return "\n".join(lines)


def _share(part: float, whole: float) -> str:
    share = part / whole * 100.0 if whole > 0 else 0.0
    return f"{share:.3f} %" if share < 1.0 else f"{share:.1f} %"

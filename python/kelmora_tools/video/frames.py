"""Frames in and out for `kelmora video`: a video file, a folder of numbered images, a camera or a stream
URL in; an MP4 file out, and the output files put in place together."""

from __future__ import annotations

import math
import os
import pathlib
import queue
import re
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from kelmora_tools import urls
from kelmora_tools.dataset import checked_name, read_seqinfo, seqinfo_path
from kelmora_tools.errors import UserError, file_problem

IMAGE_SUFFIXES = frozenset({".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp", ".ppm", ".pgm"})
# The rate given to a folder of images without a seqinfo.ini, or to a video that states none.
DEFAULT_FPS = 25.0
# Frames waiting for the encoder: enough to ride out a slow frame, few enough to bound memory.
ENCODER_QUEUE = 8
# Camera indexes go from 0 to MAX_CAMERA: OpenCV reads an index of 100 or more as a backend's code
# plus a device number (200 is V4L2's camera 0), and a negative one crashes its device lookup.
MAX_CAMERA = 99
# While it waits for a live source, the command looks for a stop request this often, in seconds.
POLL_SECONDS = 0.05
# URL schemes read as live streams through OpenCV's FFmpeg.
STREAM_SCHEMES = ("rtsp", "rtsps", "rtmp", "http", "https", "udp", "tcp", "srt")
_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")


def is_stream_url(text: str) -> bool:
    """True for INPUT arguments that name a stream (rtsp://..., http://...) rather than a path."""
    found = _URL.match(text)
    return found is not None and found[1].lower() in STREAM_SCHEMES


def quiet_native_logs() -> None:
    """Keeps OpenCV's and FFmpeg's own log lines ("moov atom not found", decoder warnings) off stderr,
    where the command's one-line errors go; what they report reaches the user as those errors.
    Settings the user made through OPENCV_FFMPEG_LOGLEVEL or OPENCV_LOG_LEVEL are kept. FFmpeg reads
    its level when OpenCV first uses it, so this must run before the first video is opened.
    """
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")  # AV_LOG_QUIET
    import cv2

    if "OPENCV_LOG_LEVEL" not in os.environ:
        cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_SILENT)


class FrameSource:
    """The frames of a video file (any format OpenCV's FFmpeg reads), a folder of numbered images
    (MOTChallenge's img1/: 000001.jpg, 000002.jpg, ...), a camera (an int, OpenCV's device index)
    or a stream URL (rtsp://, http://, ...), numbered from 1.

    Attributes: name (for the output files), shown (the source for messages), width, height, fps,
    count (the number of frames, an estimate from the container for a video file or stream; None
    when unknown), live (a camera or a stream: it ends when its sender stops, and a run may be
    ended early), files (the files it reads: a video file, or the images of a folder and its
    seqinfo.ini; none for a camera or a stream), and `read_seconds`, the time spent decoding so far.
    """

    def __init__(self, source: pathlib.Path | str | int) -> None:
        import cv2

        self.read_seconds = 0.0
        self._cv2 = cv2
        self._images: list[pathlib.Path] | None = None
        self.files: list[pathlib.Path] = []
        self.live = isinstance(source, int) or (isinstance(source, str) and is_stream_url(source))
        # A live source is opened and read on a thread of its own (see _Reader).
        self._reader = _Reader() if self.live else None
        try:
            first = self._open(source)
        except BaseException:
            self.close()
            raise
        if self._images is not None:
            self.count: int | None = len(self._images)
        else:
            fps = self._capture.get(cv2.CAP_PROP_FPS)
            self.fps = fps if math.isfinite(fps) and fps > 0 else DEFAULT_FPS
            count = self._capture.get(cv2.CAP_PROP_FRAME_COUNT)
            self.count = int(count) if math.isfinite(count) and count > 0 else None
        self.height, self.width = first.shape[:2]
        self._first: np.ndarray | None = first

    def _open(self, source: pathlib.Path | str | int) -> np.ndarray:
        """Opens the source; returns its first frame."""
        cv2 = self._cv2
        if isinstance(source, int):
            self.path: pathlib.Path | None = None
            if not 0 <= source <= MAX_CAMERA:
                raise UserError(f"--camera {source}: a camera index goes from 0 to {MAX_CAMERA}")
            self.shown = f"camera {source}"
            self.name = f"camera{source}"
            self._capture = self._call(lambda: cv2.VideoCapture(source))
            if not self._capture.isOpened():
                raise UserError(f"--camera {source}: no camera that OpenCV can open")
            first = self._first_frame(f"--camera {source}")
        elif self.live:
            url = str(source)
            self.path = None
            self.shown = urls.shown_url(url)
            stem = pathlib.PurePosixPath(urllib.parse.unquote(urllib.parse.urlsplit(url).path)).stem
            self.name = checked_name(stem, self.shown, fallback="stream")
            self._capture = self._call(lambda: cv2.VideoCapture(url, cv2.CAP_FFMPEG))
            if not self._capture.isOpened():
                raise UserError(f"{self.shown}: not a stream that OpenCV can open")
            first = self._first_frame(self.shown)
        else:
            path = pathlib.Path(source)
            self.path = path
            self.shown = str(path)
            if not path.exists():
                raise UserError(f"{path}: no such file or folder")
            if path.is_dir():
                self._images = _numbered_images(path)
                self.name, self.fps, ini = _sequence_info(path)
                self.files = [*self._images, *([ini] if ini is not None else [])]
                return self._imread(self._images[0], 1)
            else:
                # A FIFO or a device is never opened: OpenCV would wait on it, or read it without end.
                # Cameras go by --camera.
                problem = file_problem(path)
                if problem is not None:
                    raise UserError(f"{path}: {problem}")
                self.files = [path]
                self.name = checked_name(path.stem, path)
                self._capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG)
                if not self._capture.isOpened():
                    raise UserError(f"{path}: not a video that OpenCV can read")
                first = self._first_frame(str(path))
        return first

    def _call(self, fn: Callable[[], Any], stop: Callable[[], bool] | None = None) -> Any:
        """fn(), on the reader's thread for a live source; None when `stop` turned true first."""
        return fn() if self._reader is None else self._reader.call(fn, stop)

    def _first_frame(self, where: str) -> np.ndarray:
        ok, first = self._call(self._capture.read)
        if not ok or first is None:
            raise UserError(f"{where}: no frame could be decoded")
        return first

    def frames(
        self, limit: int | None = None, stop: Callable[[], bool] | None = None
    ) -> Iterator[tuple[int, np.ndarray]]:
        """Yields (frame number, H x W x 3 uint8 BGR frame), at most `limit` of them. On a live
        source, `stop` is asked while the next frame is awaited: once it returns True the frames end
        there, however long the source stalls.

        Raises: UserError naming the image (or frame) that cannot be read or differs in size.
        """
        n = 0
        while limit is None or n < limit:
            start = time.perf_counter()
            frame = self._next(n + 1, stop)
            self.read_seconds += time.perf_counter() - start
            if frame is None:
                return
            n += 1
            yield n, frame

    def close(self) -> None:
        """Releases the capture; never waits for a live source's read still in flight (see _Reader)."""
        if self._reader is not None:
            self._reader.close(getattr(self, "_capture", None))
        elif self._images is None and hasattr(self, "_capture"):
            self._capture.release()

    def _next(self, frame_no: int, stop: Callable[[], bool] | None = None) -> np.ndarray | None:
        frame: np.ndarray | None
        if self._first is not None:
            frame, self._first = self._first, None
            return frame
        if self._images is not None:
            if frame_no > len(self._images):
                return None
            frame = self._imread(self._images[frame_no - 1], frame_no)
            where = f"{self._images[frame_no - 1]} (frame {frame_no})"
        else:
            ok, frame = self._call(self._capture.read, stop) or (False, None)
            if not ok or frame is None:
                if not self.live:
                    self._check_complete(frame_no - 1)
                return None
            where = f"{self.shown}: frame {frame_no}"
        if frame.shape[:2] != (self.height, self.width):
            raise UserError(f"{where} is {frame.shape[1]}x{frame.shape[0]}, the first frame {self.width}x{self.height}")
        return frame

    def _check_complete(self, decoded: int) -> None:
        """Refuses a stream that ends well before the frame count its container states: it was cut
        short, and its output would look complete without being so. Containers that estimate the
        count from the duration can be off by a frame or so, hence the tolerance."""
        if self.count is not None and decoded < self.count - max(2, self.count // 100):
            raise UserError(
                f"{self.path}: frame {decoded + 1} cannot be decoded, of the {self.count} the file"
                " announces (is it truncated?)"
            )

    def _imread(self, path: pathlib.Path, frame_no: int) -> np.ndarray:
        frame = self._cv2.imread(str(path), self._cv2.IMREAD_COLOR)
        if frame is None:
            raise UserError(f"{path}: not an image that OpenCV can read (frame {frame_no})")
        return frame


def _numbered_images(folder: pathlib.Path) -> list[pathlib.Path]:
    """The folder's image files ordered by the last number in their names."""
    numbered = []
    for p in folder.iterdir():
        digits = re.findall(r"\d+", p.stem)
        if p.suffix.lower() in IMAGE_SUFFIXES and digits and p.is_file():
            numbered.append((int(digits[-1]), p.name, p))
    if not numbered:
        raise UserError(f"{folder}: no numbered images ({', '.join(sorted(IMAGE_SUFFIXES))}) in this folder")
    return [p for _, _, p in sorted(numbered)]


def _sequence_info(folder: pathlib.Path) -> tuple[str, float, pathlib.Path | None]:
    """Name and frame rate of an image folder, and the seqinfo.ini they come from: a MOTChallenge
    seqinfo.ini beside it (for SEQ/img1/) or inside it, else the folder's name (the sequence's, for
    img1), DEFAULT_FPS and None."""
    folder = folder.resolve()
    seq = folder.parent if folder.name == "img1" else folder
    ini = seqinfo_path(seq)
    if ini is None:
        return checked_name(seq.name, seq), DEFAULT_FPS, None
    info = read_seqinfo(ini)
    return info.name or checked_name(seq.name, seq), info.frame_rate or DEFAULT_FPS, ini


class _Reader:
    """Runs a live source's calls that may block (opening a stream, reading the next frame of one
    that stalls: as long as FFmpeg's 30 s timeout) on a daemon thread, one call at a time, while the
    caller waits in steps of POLL_SECONDS: its signal handlers run (SIGTERM, a second Ctrl-C), and a
    stop request ends the wait at once. A call given up on is left to finish on the thread, which
    then releases the capture: OpenCV must not release it while it reads."""

    def __init__(self) -> None:
        self._calls: queue.Queue[Callable[[], Any] | None] = queue.Queue()
        self._results: queue.Queue[tuple[bool, Any]] = queue.Queue()
        self._busy = False  # a call is running, or was given up on and still runs
        self._thread = threading.Thread(target=self._serve, name="kelmora-video-reader", daemon=True)
        self._thread.start()

    def call(self, fn: Callable[[], Any], stop: Callable[[], bool] | None = None) -> Any:
        """fn()'s result, or None when `stop` returned True before it came; raises what fn raised."""
        if self._busy:
            return None  # a call given up on is still running: the source is stalled
        self._busy = True
        self._calls.put(fn)
        while True:
            try:
                ok, value = self._results.get(timeout=POLL_SECONDS)
            except queue.Empty:
                if stop is not None and stop():
                    return None
                continue
            self._busy = False
            if not ok:
                raise value
            return value

    def close(self, capture: Any) -> None:
        """Releases `capture` on the thread and ends it: at once when it is idle, after the call
        in flight otherwise (without waiting for that)."""
        if capture is not None:
            self._calls.put(capture.release)
        self._calls.put(None)
        if not self._busy:
            self._thread.join()

    def _serve(self) -> None:
        while (fn := self._calls.get()) is not None:
            try:
                self._results.put((True, fn()))
            except BaseException as e:  # handed to the caller
                self._results.put((False, e))


class VideoSink:
    """Encodes frames into an MP4 file (MPEG-4 Part 2, OpenCV's FFmpeg) on a thread of its own,
    so that encoding overlaps the detector instead of adding to the frame time.

    Attributes: `wait_seconds`, the caller's time spent handing frames over (blocked on a full
    queue, and the final flush); `encode_seconds`, the encoder thread's time inside the encoder.
    """

    def __init__(
        self, path: pathlib.Path, fps: float, width: int, height: int, shown: pathlib.Path | None = None
    ) -> None:
        """Opens `path` for writing; `shown` is the name messages give it (the final name of a
        temporary file)."""
        import cv2

        # The container follows the file name's suffix, so a temporary name must end in .mp4.
        fourcc = cv2.VideoWriter.fourcc(*"mp4v")
        self._writer = cv2.VideoWriter(str(path), cv2.CAP_FFMPEG, fourcc, fps, (width, height))
        if not self._writer.isOpened():
            raise UserError(f"{shown or path}: cannot write a {width}x{height} MP4 video there")
        self.wait_seconds = 0.0
        self.encode_seconds = 0.0
        self.frames = 0
        self._queue: queue.Queue[np.ndarray | None] = queue.Queue(maxsize=ENCODER_QUEUE)
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._encode, name="kelmora-video-encoder", daemon=True)
        self._thread.start()

    def write(self, frame: np.ndarray) -> None:
        """Queues one frame; the caller must not change it afterwards."""
        start = time.perf_counter()
        self._queue.put(frame)
        self.wait_seconds += time.perf_counter() - start
        self.frames += 1

    def close(self) -> None:
        """Encodes what is queued, finishes the file and stops the thread.

        Raises: UserError when the encoder failed.
        """
        start = time.perf_counter()
        if self._thread.is_alive():
            self._queue.put(None)
            self._thread.join()
        self._writer.release()
        self.wait_seconds += time.perf_counter() - start
        if self._error is not None:
            raise UserError(f"writing the video failed: {str(self._error).strip().splitlines()[0]}")

    def abort(self) -> None:
        """Stops the thread and closes the file without reporting errors (its content is discarded)."""
        if self._thread.is_alive():
            while True:  # make room for the stop mark if the queue is full
                try:
                    self._queue.put_nowait(None)
                    break
                except queue.Full:
                    try:
                        self._queue.get_nowait()
                    except queue.Empty:
                        pass
            self._thread.join()
        self._writer.release()

    def _encode(self) -> None:
        while True:
            frame = self._queue.get()
            if frame is None:
                return
            if self._error is not None:
                continue  # drain, so that the caller never blocks on a dead encoder
            try:
                start = time.perf_counter()
                self._writer.write(frame)
                self.encode_seconds += time.perf_counter() - start
            except Exception as e:  # OpenCV reports encoder failures as cv2.error
                self._error = e

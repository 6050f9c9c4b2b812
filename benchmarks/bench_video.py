"""kelmora video on real footage (vtest.avi, fetched once by scripts/fetch_vtest.sh): the tracker's
time per frame against the HOG detector's, and writing the annotated video against reading the
input, all from one run of the pipeline."""

from __future__ import annotations

import pathlib
import subprocess
import sys
import tempfile

from common import Table

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

FRAMES = 100


def run() -> list[Table]:
    from kelmora_tools import video, videoio

    clip = pathlib.Path(subprocess.run(["bash", str(ROOT / "scripts" / "fetch_vtest.sh")], check=True,
                                       capture_output=True, text=True).stdout.strip())
    videoio.quiet_native_logs()
    with tempfile.TemporaryDirectory() as out:
        result = video.track_video(clip, pathlib.Path(out), "hog", {}, FRAMES, show_progress=False)
    n = result.frames
    note = f"{n} frames of {clip.name}, {result.width}x{result.height}"
    shares = Table("kelmora video: the tracker's share of the frame", "the HOG detector in the same run", "ms", 1e3)
    shares.add("ByteTracker.update per frame", result.track / n, result.detect / n,
               f"{result.track / result.total:.3%} of the frame time; {note}")
    io = Table("kelmora video: writing the annotated video", "decoding the input in the same run", "ms", 1e3)
    io.add("pipeline waiting for the encoder", result.write / n, result.read / n, "queueing and the final flush")
    io.add("encoder thread (overlapped)", result.encode / n, result.read / n,
           "MPEG-4 Part 2, on its own thread while the detector runs")
    return [shares, io]

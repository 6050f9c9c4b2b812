"""A short synthetic clip for the video tests: dark shapes crossing a textured background, two of them
(walker and runner) passing through each other, with the true box of every shape in every frame."""

from __future__ import annotations

import dataclasses
import pathlib

import numpy as np

WIDTH, HEIGHT, FRAMES, FPS = 320, 240, 60, 15.0


@dataclasses.dataclass(frozen=True)
class Shape:
    name: str
    kind: str  # "rect" or "ellipse"
    size: tuple[int, int]  # width, height in pixels
    start: tuple[float, float]  # centre in frame 1
    velocity: tuple[float, float]  # pixels per frame
    grey: int  # well below the detector's threshold of 80

    def box(self, frame_no: int) -> np.ndarray:
        """The shape's corners (x1, y1, x2, y2) in frame `frame_no` (from 1), as drawn."""
        t = frame_no - 1
        cx = round(self.start[0] + self.velocity[0] * t)
        cy = round(self.start[1] + self.velocity[1] * t)
        w, h = self.size
        return np.array([cx - w // 2, cy - h // 2, cx - w // 2 + w, cy - h // 2 + h], dtype=np.float64)


# Drawn in this order: the runner passes in front of the walker around frame 32; the faller and
# the still shape stay clear of everything.
SHAPES = (
    Shape("walker", "rect", (22, 46), (30.0, 80.0), (4.0, 0.3), 30),
    Shape("runner", "ellipse", (26, 40), (290.0, 90.0), (-4.2, -0.1), 45),
    Shape("faller", "rect", (30, 30), (200.0, 170.0), (-2.5, 0.5), 40),
    Shape("still", "ellipse", (24, 34), (282.0, 200.0), (0.0, 0.0), 35),
)
OCCLUDING = ("walker", "runner")


def occlusion_frames(margin: int = 0) -> range:
    """Frames in which the occluding pair's boxes touch or overlap, widened by `margin` on each side."""
    a, b = (next(s for s in SHAPES if s.name == n) for n in OCCLUDING)
    touching = [
        f
        for f in range(1, FRAMES + 1)
        if (np.minimum(a.box(f)[2:], b.box(f)[2:]) >= np.maximum(a.box(f)[:2], b.box(f)[:2])).all()
    ]
    return range(touching[0] - margin, touching[-1] + 1 + margin)


def background(seed: int = 7) -> np.ndarray:
    """A light, textured, slightly tinted background: blurred noise plus diagonal stripes."""
    import cv2

    rng = np.random.default_rng(seed)
    noise = cv2.GaussianBlur(rng.uniform(0.0, 1.0, (HEIGHT, WIDTH)), (0, 0), 3.0)
    noise = (noise - noise.min()) / (noise.max() - noise.min())
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH]
    grey = 150.0 + 60.0 * noise + 15.0 * np.sin((x + y) / 6.0)
    return np.dstack([grey, grey + 8.0, grey - 6.0]).clip(0, 255).astype(np.uint8)


def render(frame_no: int, base: np.ndarray | None = None) -> np.ndarray:
    """Frame `frame_no` (from 1) of the clip, BGR."""
    import cv2

    frame = (background() if base is None else base).copy()
    for shape in SHAPES:
        x1, y1, x2, y2 = (int(v) for v in shape.box(frame_no))
        colour = (shape.grey, shape.grey + 5, shape.grey + 10)
        if shape.kind == "rect":
            cv2.rectangle(frame, (x1, y1), (x2 - 1, y2 - 1), colour, cv2.FILLED)
        else:
            centre = ((x1 + x2 - 1) / 2, (y1 + y2 - 1) / 2)
            cv2.ellipse(frame, (centre, (x2 - x1, y2 - y1), 0.0), colour, cv2.FILLED)
    return frame


def frames() -> list[np.ndarray]:
    base = background()
    return [render(f, base) for f in range(1, FRAMES + 1)]


def write_video(path: pathlib.Path) -> None:
    """The clip as an MP4 file (MPEG-4 Part 2)."""
    import cv2

    writer = cv2.VideoWriter(str(path), cv2.CAP_FFMPEG, cv2.VideoWriter_fourcc(*"mp4v"), FPS, (WIDTH, HEIGHT))
    assert writer.isOpened()
    for frame in frames():
        writer.write(frame)
    writer.release()


def write_images(seq: pathlib.Path, name: str) -> pathlib.Path:
    """The clip as a MOTChallenge sequence folder: SEQ/img1/000001.png, ... and SEQ/seqinfo.ini.

    Returns: the img1 folder.
    """
    import cv2

    img1 = seq / "img1"
    img1.mkdir(parents=True)
    for n, frame in enumerate(frames(), 1):
        assert cv2.imwrite(str(img1 / f"{n:06d}.png"), frame)
    (seq / "seqinfo.ini").write_text(
        f"[Sequence]\nname={name}\nimDir=img1\nframeRate={FPS:g}\n"
        f"seqLength={FRAMES}\nimWidth={WIDTH}\nimHeight={HEIGHT}\nimExt=.png\n"
    )
    return img1


# --- The crossing clip: two shapes of different colours meet, overlap and turn back ------------------

CROSS_FRAMES = 30
CROSS_TURN = 15  # the frame in which both shapes stand on the same column, then turn back
CROSS_SPEED = 6.0  # pixels per frame
CROSS_SIZE = (30, 60)
CROSS_COLOURS = {"red": (40, 40, 210), "blue": (200, 120, 30)}  # BGR; blue is drawn over red


def cross_box(name: str, frame_no: int) -> np.ndarray:
    """The corners of shape `name` in frame `frame_no` (from 1) of the crossing clip. Red comes from
    the left, blue from the right, 10 pixels lower; they meet on the middle column in frame
    CROSS_TURN and go back the way they came, overlapping for a few frames on either side. A
    tracker that follows motion alone expects each to carry on, and takes the other's box."""
    steps = min(frame_no, 2 * CROSS_TURN - frame_no) - 1  # rises to CROSS_TURN - 1, then falls
    side = -1.0 if name == "red" else 1.0
    cx = 120.0 + side * CROSS_SPEED * (CROSS_TURN - 1 - steps)
    top = 45.0 if name == "red" else 55.0
    w, h = CROSS_SIZE
    return np.array([cx - w / 2, top, cx + w / 2, top + h])


def write_crossing_images(folder: pathlib.Path) -> pathlib.Path:
    """The crossing clip as numbered PNG images (lossless: the colours stay exact) on a grey ground."""
    import cv2

    folder.mkdir(parents=True)
    for f in range(1, CROSS_FRAMES + 1):
        frame = np.full((160, 240, 3), 150, np.uint8)
        for name, colour in CROSS_COLOURS.items():
            x1, y1, x2, y2 = (int(v) for v in cross_box(name, f))
            cv2.rectangle(frame, (x1, y1), (x2 - 1, y2 - 1), colour, cv2.FILLED)
        assert cv2.imwrite(str(folder / f"{f:06d}.png"), frame)
    return folder


class CrossingBoxes:
    """A detector plug-in that sees the crossing clip perfectly: each frame's true boxes, frame after
    frame (so that the tracker, not the detector, decides who is who)."""

    def __init__(self) -> None:
        self.frame_no = 0

    def __call__(self, frame: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        self.frame_no += 1
        return np.array([cross_box(n, self.frame_no) for n in CROSS_COLOURS]), np.full(2, 0.9)

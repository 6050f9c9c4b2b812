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
    touching = [f for f in range(1, FRAMES + 1)
                if (np.minimum(a.box(f)[2:], b.box(f)[2:]) >= np.maximum(a.box(f)[:2], b.box(f)[:2])).all()]
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
    (seq / "seqinfo.ini").write_text(f"[Sequence]\nname={name}\nimDir=img1\nframeRate={FPS:g}\n"
                                     f"seqLength={FRAMES}\nimWidth={WIDTH}\nimHeight={HEIGHT}\nimExt=.png\n")
    return img1

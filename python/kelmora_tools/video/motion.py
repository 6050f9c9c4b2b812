"""`--detector motion`: moving objects seen by a fixed camera, by background subtraction.

OpenCV's MOG2 keeps a per-pixel mixture of Gaussians of the background; pixels that fit none of its
background components are foreground. The foreground mask is cleaned with a small opening (drops
speckle) and a tall closing (joins a person's head, body and legs where a stripe of clothing matched
the background), and each 8-connected blob becomes a box. A blob wider than a person is cut into
person-wide parts at the valleys of its column profile: people walking side by side merge into one
blob, and its parts stay stable where the whole blob's box would jump as the group's outline changes.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from kelmora_tools.errors import UserError

# MOG2's settings, OpenCV's defaults: the model adapts over HISTORY frames; a pixel is foreground
# beyond VAR_THRESHOLD in squared standard deviations (16: four deviations); a pixel darker than the
# background in the same hue, down to SHADOW_THRESHOLD of its brightness, counts as shadow and is
# dropped (on vtest.avi 0.8, which keeps more of dark clothes, gave 5.16 boxes a frame and 33 ids
# against 5.09 and 30).
HISTORY = 500
VAR_THRESHOLD = 16.0
SHADOW_THRESHOLD = 0.5
# The model sees frames at least HALVE_WIDTH pixels wide at half their width and height: a quarter
# of its work, which is most of the detector's time (18 ms against 7 ms a frame on vtest.avi's
# 768 x 576 frames), for a mask of 2 x 2 blocks that loses none of the people there. Its mask is
# scaled back up, and the rest works on the frame's own pixels.
HALVE_WIDTH = 640
# Mask cleaning: an opening of OPEN_KERNEL then a closing of CLOSE_KERNEL (width, height in pixels).
OPEN_KERNEL = (3, 3)
CLOSE_KERNEL = (7, 21)
# Size limits (pixels of a blob's mask) and the width of one object relative to its height.
MIN_AREA = 200.0
MAX_AREA_SHARE = 0.25  # the default largest blob: this share of the frame's pixels
SPLIT_ASPECT = 0.45
MAX_PARTS = 8
# Warm-up: the frame that starts the model gives no boxes, nor do the next WARMUP_FRAMES - 1; a
# frame in which more than RESTART_SHARE of the pixels changed at once (a light switched on, the
# camera knocked) restarts the model from that frame.
WARMUP_FRAMES = 5
RESTART_SHARE = 0.5
# The score: fill term min(1, fill / FULL_FILL) times size term min(1, area / (FULL_AREA * min_area)).
FULL_FILL = 0.4
FULL_AREA = 3.0


def motion_scores(area: np.ndarray, box_area: np.ndarray, min_area: float) -> np.ndarray:
    """Scores in (0, 1] of blobs of `area` mask pixels in boxes of `box_area` pixels.

    A walking person fills 40 to 70 % of its box, while a sparse patch of noise (leaves, a flicker
    along an edge) fills little; and a blob just above the smallest area is as likely noise as an
    object, one of three times that area is taken as sure. A blob of at least 1.8 x min_area that
    fills 40 % of its box reaches 0.6 and can start a track; smaller or sparser ones score below 0.6
    and only keep existing tracks alive (below 0.5, in the tracker's second pass).
    """
    area = np.asarray(area, dtype=np.float64)
    fill = area / np.maximum(np.asarray(box_area, dtype=np.float64), 1.0)
    return np.minimum(1.0, fill / FULL_FILL) * np.minimum(1.0, area / (FULL_AREA * min_area))


def split_columns(columns: np.ndarray, parts: int) -> list[int]:
    """Cut positions splitting a blob of len(columns) columns into `parts` pieces: starting at 0 and
    ending at the width, each inner cut at the column of fewest mask pixels within half a part's
    width of the even cut (the first such column on ties)."""
    width = len(columns)
    cuts = [0]
    for k in range(1, parts):
        target = width * k / parts
        half = width / (2 * parts)
        lo = max(cuts[-1] + 1, math.ceil(target - half))
        hi = min(width - 1, math.floor(target + half))
        cuts.append(lo + int(np.argmin(columns[lo : hi + 1])) if hi >= lo else round(target))
    cuts.append(width)
    return cuts


class MotionDetector:
    """Background subtraction for fixed cameras: MOG2, a cleaned mask, one box per blob (split when
    wider than `split_aspect` x its height), scored by `motion_scores`. Stateful: one instance per
    video, called on its frames in order."""

    def __init__(
        self, min_area: float = MIN_AREA, max_area: float | None = None, split_aspect: float = SPLIT_ASPECT
    ) -> None:
        import cv2

        if not (math.isfinite(min_area) and min_area >= 1):
            raise UserError(f"--min-area must be a number of pixels >= 1, got {min_area:g}")
        if max_area is not None and not (math.isfinite(max_area) and max_area >= min_area):
            raise UserError(f"--max-area must be at least --min-area ({min_area:g}), got {max_area:g}")
        if not (math.isfinite(split_aspect) and split_aspect >= 0):
            raise UserError(f"--split-aspect must be >= 0 (0 keeps blobs whole), got {split_aspect:g}")
        self._cv2 = cv2
        self.min_area, self.max_area, self.split_aspect = float(min_area), max_area, float(split_aspect)
        self._open = cv2.getStructuringElement(cv2.MORPH_RECT, OPEN_KERNEL)
        self._close = cv2.getStructuringElement(cv2.MORPH_RECT, CLOSE_KERNEL)
        self._model: Any = None  # the OpenCV subtractor, made at the first frame
        self._seen = 0  # frames since the model (re)started
        most = "a quarter of the frame" if max_area is None else f"{max_area:g} px"
        split = f"split wider than {split_aspect:g} x their height" if split_aspect > 0 else "never split"
        self.description = (
            f"motion: OpenCV {cv2.__version__} MOG2 background subtraction (history {HISTORY},"
            f" variance threshold {VAR_THRESHOLD:g}, shadows dropped; at half size from"
            f" {HALVE_WIDTH} px wide), blobs of {min_area:g} px to {most}, {split}"
        )

    def _restart(self, frame: np.ndarray) -> None:
        model = self._cv2.createBackgroundSubtractorMOG2(
            history=HISTORY, varThreshold=VAR_THRESHOLD, detectShadows=True
        )
        model.setShadowThreshold(SHADOW_THRESHOLD)
        model.apply(frame)
        self._model, self._seen = model, 1

    def foreground(self, frame: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
        """Updates the model with the frame; returns its foreground masks (uint8, 255 on foreground)
        after the opening and after the closing too, or None while the model warms up or when the
        frame restarts it."""
        cv2 = self._cv2
        height, width = frame.shape[:2]
        if width >= HALVE_WIDTH and height >= 2:  # a frame one pixel high has no half
            # Halving with bilinear weights averages each 2 x 2 block, as area averaging does, faster.
            frame = cv2.resize(frame, (width // 2, height // 2), interpolation=cv2.INTER_LINEAR)
        if self._model is None:
            self._restart(frame)
            return None
        raw = self._model.apply(frame)
        self._seen += 1
        if cv2.countNonZero(raw) > RESTART_SHARE * raw.size:  # foreground and shadow together
            self._restart(frame)
            return None
        if self._seen <= WARMUP_FRAMES:
            return None
        _, mask = cv2.threshold(raw, 254, 255, cv2.THRESH_BINARY)  # 255 foreground; 127 shadow
        if mask.shape != (height, width):
            mask = cv2.resize(mask, (width, height), interpolation=cv2.INTER_NEAREST)
        opened = cv2.morphologyEx(mask, cv2.MORPH_OPEN, self._open)
        return opened, cv2.morphologyEx(opened, cv2.MORPH_CLOSE, self._close)

    def __call__(self, frame: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        masks = self.foreground(frame)
        if masks is None:
            return np.zeros((0, 4)), np.zeros(0)
        opened, mask = masks
        cv2 = self._cv2
        # 16-bit labels take less than half the time of 32-bit ones. After the 3x3 opening every
        # blob holds a 3x3 square, and no two touch: the squares widened by one pixel right and
        # down are disjoint 4x4 cells within (W + 1) x (H + 1), so the labels, background included,
        # fit in 16 bits when that area holds fewer than 65535 cells.
        h, w = mask.shape
        ltype = cv2.CV_16U if (w + 1) * (h + 1) // 16 < 65535 else cv2.CV_32S
        count, labels, stats, _ = cv2.connectedComponentsWithStats(mask, connectivity=8, ltype=ltype)
        largest = self.max_area if self.max_area is not None else MAX_AREA_SHARE * mask.size
        rows: list[tuple[int, int, int, int, int]] = []  # x1, y1, x2, y2, mask pixels
        for label in range(1, count):
            x, y, w, h, area = (int(v) for v in stats[label])
            if area < self.min_area or area > largest:
                continue
            parts = round(w / (self.split_aspect * h)) if self.split_aspect > 0 else 1
            if parts < 2:
                rows.append((x, y, x + w, y + h, area))
                continue
            pixels = labels[y : y + h, x : x + w] == label
            # The valleys between people are those of the mask before the closing, which fills
            # the notches between touching outlines.
            profile = np.count_nonzero(pixels & (opened[y : y + h, x : x + w] > 0), axis=0)
            cuts = split_columns(profile, min(parts, MAX_PARTS))
            for c0, c1 in zip(cuts[:-1], cuts[1:]):
                part = pixels[:, c0:c1]
                part_area = int(np.count_nonzero(part))
                if part_area < self.min_area:
                    continue
                ys, xs = np.flatnonzero(part.any(axis=1)), np.flatnonzero(part.any(axis=0))
                rows.append(
                    (x + c0 + int(xs[0]), y + int(ys[0]), x + c0 + int(xs[-1]) + 1, y + int(ys[-1]) + 1, part_area)
                )
        found = np.array(rows, dtype=np.float64).reshape(-1, 5)
        boxes = found[:, :4]
        box_area = (boxes[:, 2] - boxes[:, 0]) * (boxes[:, 3] - boxes[:, 1])
        return boxes, motion_scores(found[:, 4], box_area, self.min_area)

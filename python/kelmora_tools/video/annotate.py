"""Drawing tracks on frames for `kelmora video`: a box and an id label in a colour per id, a trail of
recent centres, and a contact sheet of a few evenly spaced annotated frames."""

from __future__ import annotations

import colorsys
import math

import numpy as np

# A trail shows where a track's box centre was over the latest TRAIL_LENGTH frames.
TRAIL_LENGTH = 20
BOX_THICKNESS = 2
FONT_SCALE = 0.5
# Contact sheet: SHEET_FRAMES thumbnails of SHEET_WIDTH pixels, SHEET_COLUMNS to a row.
SHEET_FRAMES = 6
SHEET_COLUMNS = 3
SHEET_WIDTH = 384
SHEET_GAP = 6
_GOLDEN = (math.sqrt(5.0) - 1.0) / 2.0


def colour(track_id: int) -> tuple[int, int, int]:
    """The BGR colour of a track id: hues a golden-ratio step apart, so that ids close in number
    (the ones alive at the same time) get clearly different colours."""
    hue = (int(track_id) * _GOLDEN) % 1.0
    r, g, b = colorsys.hsv_to_rgb(hue, 0.85, 1.0)
    return round(b * 255), round(g * 255), round(r * 255)


class Trails:
    """Recent box centres of each track, for drawing its path: those of the last `length` frames
    (frames in which a track was not reported leave a gap, bridged by the line)."""

    def __init__(self, length: int = TRAIL_LENGTH) -> None:
        self.length = length
        self._points: dict[int, list[tuple[int, tuple[int, int]]]] = {}

    def update(self, frame_no: int, ids: np.ndarray, xyxy: np.ndarray) -> None:
        """Adds this frame's centres and forgets those older than `length` frames."""
        centres = np.round((xyxy[:, :2] + xyxy[:, 2:]) * 0.5).astype(np.int64)
        for track_id, (cx, cy) in zip(ids.tolist(), centres.tolist()):
            self._points.setdefault(track_id, []).append((frame_no, (cx, cy)))
        oldest = frame_no - self.length + 1
        for track_id in list(self._points):
            points = self._points[track_id]
            while points and points[0][0] < oldest:
                points.pop(0)
            if not points:
                del self._points[track_id]

    def points(self, track_id: int) -> np.ndarray:
        """The track's recent centres, oldest first, as (K, 2) int32 pixel coordinates."""
        return np.array([p for _, p in self._points.get(track_id, [])], dtype=np.int32).reshape(-1, 2)


def draw_tracks(frame: np.ndarray, ids: np.ndarray, xyxy: np.ndarray, trails: Trails) -> None:
    """Draws each reported track on the frame, in place: its trail, its box, and its id in a label
    above the box (inside it at the top edge of the frame). Tracks not reported in this frame are
    not drawn, so the picture shows exactly the rows of the results file for this frame."""
    import cv2

    corners = np.round(xyxy).astype(np.int64)
    for track_id in ids.tolist():
        trail = trails.points(track_id)
        if len(trail) > 1:
            cv2.polylines(frame, [trail], False, colour(track_id), 2, cv2.LINE_AA)
    for track_id, (x1, y1, x2, y2) in zip(ids.tolist(), corners.tolist()):
        cv2.rectangle(frame, (x1, y1), (x2, y2), colour(track_id), BOX_THICKNESS)
    for track_id, (x1, y1, _, _) in zip(ids.tolist(), corners.tolist()):
        text = str(track_id)
        (tw, th), base = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, FONT_SCALE, 1)
        top = y1 - th - base - 2 if y1 - th - base - 2 >= 0 else y1
        cv2.rectangle(frame, (x1, top), (x1 + tw + 4, top + th + base + 2), colour(track_id), cv2.FILLED)
        cv2.putText(
            frame, text, (x1 + 2, top + th + 1), cv2.FONT_HERSHEY_SIMPLEX, FONT_SCALE, (0, 0, 0), 1, cv2.LINE_AA
        )


class ContactSheet:
    """Collects annotated frames while they stream past and lays a few evenly spaced ones out in a
    grid. The number of frames need not be known in advance: every `stride`-th frame is kept as a
    thumbnail, and when too many are kept every second one is dropped and the stride doubles."""

    def __init__(self, frames: int = SHEET_FRAMES) -> None:
        self.frames = frames
        self._capacity = 4 * frames
        self._stride = 1
        self._kept: list[tuple[int, np.ndarray]] = []
        self._last: tuple[int, np.ndarray] | None = None

    def add(self, frame_no: int, frame: np.ndarray) -> None:
        """Offers an annotated frame (numbered from 1); the frame must not change afterwards."""
        self._last = (frame_no, frame)
        if (frame_no - 1) % self._stride:
            return
        self._kept.append((frame_no, _thumbnail(frame)))
        if len(self._kept) >= self._capacity:
            self._kept = self._kept[::2]
            self._stride *= 2

    def chosen(self) -> list[int]:
        """Frame numbers of the sheet: the first, the last, and the kept frames nearest to evenly
        spaced points between them."""
        candidates = [n for n, _ in self._kept]
        if self._last is not None and self._last[0] not in candidates:
            candidates.append(self._last[0])
        if len(candidates) <= self.frames:
            return candidates
        chosen: list[int] = []
        for target in np.linspace(candidates[0], candidates[-1], self.frames):
            best = min((n for n in candidates if n not in chosen), key=lambda n: (abs(n - target), n))
            chosen.append(best)
        return sorted(chosen)

    def render(self) -> np.ndarray:
        """The sheet: thumbnails in rows of SHEET_COLUMNS on a dark background, each labelled with
        its frame number."""
        import cv2

        thumbs = dict(self._kept)
        pictures = []
        for n in self.chosen():
            thumb = thumbs[n] if n in thumbs else _thumbnail(self._last[1]) if self._last else None
            assert thumb is not None
            thumb = thumb.copy()
            label = f"frame {n}"
            (tw, th), base = cv2.getTextSize(label, cv2.FONT_HERSHEY_SIMPLEX, 0.5, 1)
            cv2.rectangle(thumb, (0, thumb.shape[0] - th - base - 6), (tw + 8, thumb.shape[0]), (0, 0, 0), cv2.FILLED)
            cv2.putText(
                thumb,
                label,
                (4, thumb.shape[0] - base - 3),
                cv2.FONT_HERSHEY_SIMPLEX,
                0.5,
                (255, 255, 255),
                1,
                cv2.LINE_AA,
            )
            pictures.append(thumb)
        if not pictures:
            raise ValueError("no frames to lay out")
        h, w = pictures[0].shape[:2]
        columns = min(SHEET_COLUMNS, len(pictures))
        rows = -(-len(pictures) // columns)
        sheet = np.full((rows * h + (rows + 1) * SHEET_GAP, columns * w + (columns + 1) * SHEET_GAP, 3), 32, np.uint8)
        for k, picture in enumerate(pictures):
            top = SHEET_GAP + (k // columns) * (h + SHEET_GAP)
            left = SHEET_GAP + (k % columns) * (w + SHEET_GAP)
            sheet[top : top + h, left : left + w] = picture
        return sheet


def _thumbnail(frame: np.ndarray) -> np.ndarray:
    import cv2

    h, w = frame.shape[:2]
    if w <= SHEET_WIDTH:
        return frame.copy()
    return cv2.resize(frame, (SHEET_WIDTH, max(1, round(h * SHEET_WIDTH / w))), interpolation=cv2.INTER_AREA)

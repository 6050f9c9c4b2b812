"""`--appearance hist`: a colour histogram of each detection's box, the appearance feature the tracker
compares (cosine distance) when its appearance weight `w_app` is above 0."""

from __future__ import annotations

import numpy as np

# HSV bins: 8 of hue (OpenCV's hue runs 0..180), 4 of saturation, 4 of value; 128 in all. Hue
# carries the colour of clothes; few saturation and value bins keep a feature steady under the
# light changes of a walk across a scene.
HIST_BINS = (8, 4, 4)
HIST_RANGES = [0, 180, 0, 256, 0, 256]
HIST_SIZE = int(np.prod(HIST_BINS))
DESCRIPTION = "HSV colour histogram of each box, 8 x 4 x 4 bins, L2-normalised"


def hist_features(frame: np.ndarray, boxes: np.ndarray) -> np.ndarray:
    """(N, 128) features of `boxes` (N, 4 corners in pixels) in a BGR frame: the HSV histogram of
    the box's pixels within the frame, L2-normalised. A box with no pixel in the frame gets zeros,
    which the tracker's cosine distance puts at 1 from every feature (nothing known)."""
    import cv2

    features = np.zeros((len(boxes), HIST_SIZE), dtype=np.float64)
    if len(boxes) == 0:
        return features
    height, width = frame.shape[:2]
    corners = np.round(np.asarray(boxes, dtype=np.float64)).clip(0, [width, height, width, height]).astype(np.int64)
    # Only the rows and columns the boxes cover are converted.
    x0, y0 = corners[:, 0].min(), corners[:, 1].min()
    x1, y1 = corners[:, 2].max(), corners[:, 3].max()
    if x1 <= x0 or y1 <= y0:
        return features
    hsv = cv2.cvtColor(frame[y0:y1, x0:x1], cv2.COLOR_BGR2HSV)
    for row, (a, b, c, d) in enumerate(corners.tolist()):
        if c <= a or d <= b:
            continue
        hist = cv2.calcHist([hsv[b - y0 : d - y0, a - x0 : c - x0]], [0, 1, 2], None, list(HIST_BINS), HIST_RANGES)
        hist = hist.reshape(-1).astype(np.float64)
        features[row] = hist / np.linalg.norm(hist)
    return features

"""A detector plug-in for `kelmora video`: dark objects on a lighter background, found with a threshold
and contours (OpenCV). Run it as

    kelmora video clip.mp4 --out out --detector examples/dark_blobs.py:detect

The contract: a callable that takes one frame, an H x W x 3 uint8 array in BGR order (read-only: copy
it to change it), and returns (boxes, scores), or (boxes, scores, class_ids, features):
boxes (N, 4) as x1, y1, x2, y2 in pixels, scores (N,) in [0, 1] as the tracker's thresholds expect,
class_ids (N,) or None, features (N, d) or None. A class works too: it is created once, without
arguments (load a model in __init__), and its instances are called per frame.
"""

from __future__ import annotations

import cv2
import numpy as np

# Grey levels below this count as object; contours smaller than MIN_AREA pixels are noise.
THRESHOLD = 80
MIN_AREA = 40


def detect(frame: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Dark blobs: boxes around the outer contours of the thresholded frame, scored by how much of
    its box the blob fills (a lone compact object fills most of it; two touching ones do not)."""
    grey = cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)
    _, mask = cv2.threshold(grey, THRESHOLD, 255, cv2.THRESH_BINARY_INV)
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    boxes, scores = [], []
    for contour in contours:
        x, y, w, h = cv2.boundingRect(contour)
        area = float(cv2.countNonZero(mask[y : y + h, x : x + w]))
        if area < MIN_AREA:
            continue
        boxes.append([x, y, x + w, y + h])
        scores.append(min(1.0, area / (w * h)))
    # Left to right, then top to bottom: the same frame gives the same rows in the same order.
    order = sorted(range(len(boxes)), key=lambda i: (boxes[i][0], boxes[i][1]))
    return (
        np.array([boxes[i] for i in order], dtype=np.float64).reshape(-1, 4),
        np.array([scores[i] for i in order], dtype=np.float64),
    )

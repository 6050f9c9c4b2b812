"""IoU matrix against a straightforward broadcasting NumPy implementation."""

from __future__ import annotations

import numpy as np

import kelmora_cpp
from common import Table, median_seconds


def numpy_iou(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    area_a = np.clip(a[:, 3] - a[:, 1], 0, None) * np.clip(a[:, 2] - a[:, 0], 0, None)
    area_b = np.clip(b[:, 3] - b[:, 1], 0, None) * np.clip(b[:, 2] - b[:, 0], 0, None)
    ix1 = np.maximum(a[:, None, 0], b[None, :, 0])
    iy1 = np.maximum(a[:, None, 1], b[None, :, 1])
    ix2 = np.minimum(a[:, None, 2], b[None, :, 2])
    iy2 = np.minimum(a[:, None, 3], b[None, :, 3])
    inter = np.clip(ix2 - ix1, 0, None) * np.clip(iy2 - iy1, 0, None)
    union = (area_a[:, None] + area_b[None, :]) - inter
    return inter / np.maximum(union, 1e-7)


def random_boxes(rng: np.random.Generator, n: int) -> np.ndarray:
    xy = rng.uniform(0, 1000, size=(n, 2))
    wh = rng.uniform(5, 120, size=(n, 2))
    return np.hstack([xy, xy + wh])


def run() -> list[Table]:
    rng = np.random.default_rng(7)
    table = Table("iou_matrix", "NumPy broadcasting")
    for n in (100, 1000):
        a, b = random_boxes(rng, n), random_boxes(rng, n)
        assert np.allclose(kelmora_cpp.iou_matrix(a, b), numpy_iou(a, b))
        ours = median_seconds(lambda: kelmora_cpp.iou_matrix(a, b))
        peer = median_seconds(lambda: numpy_iou(a, b), repeat=11)
        table.add(f"{n}x{n}", ours, peer, f"{ours / (n * n) * 1e9:.2f} ns per pair")
    giou = Table("giou_matrix", "iou_matrix of the same boxes")
    a, b = random_boxes(rng, 1000), random_boxes(rng, 1000)
    giou.add(
        "1000x1000",
        median_seconds(lambda: kelmora_cpp.giou_matrix(a, b)),
        median_seconds(lambda: kelmora_cpp.iou_matrix(a, b)),
    )
    return [table, giou]

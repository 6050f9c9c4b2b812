"""Kalman predict and Mahalanobis gating against straightforward batched NumPy implementations."""

from __future__ import annotations

import numpy as np

import kelmora_cpp
from common import Table, median_seconds

WP, WV = 0.05, 0.00625


def random_states(rng: np.random.Generator, n: int) -> tuple[np.ndarray, np.ndarray]:
    means = np.empty((n, 8))
    means[:, :2] = rng.uniform(0, 1000, size=(n, 2))
    means[:, 2] = rng.uniform(0.3, 2.0, size=n)
    means[:, 3] = rng.uniform(20, 300, size=n)
    means[:, 4:] = rng.normal(0, 2, size=(n, 4))
    root = rng.normal(0, 3, size=(n, 8, 8))
    return means, root @ root.transpose(0, 2, 1) + np.eye(8) * 5.0


def random_measurements(rng: np.random.Generator, m: int) -> np.ndarray:
    z = np.empty((m, 4))
    z[:, :2] = rng.uniform(0, 1000, size=(m, 2))
    z[:, 2] = rng.uniform(0.3, 2.0, size=m)
    z[:, 3] = rng.uniform(20, 300, size=m)
    return z


MOTION = np.block([[np.eye(4), np.eye(4)], [np.zeros((4, 4)), np.eye(4)]])


def numpy_predict(means: np.ndarray, covs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    h = means[:, 3]
    std = np.stack([WP * h, WP * h, np.full_like(h, 1e-2), WP * h, WV * h, WV * h, np.full_like(h, 1e-5), WV * h], 1)
    q = np.zeros_like(covs)
    idx = np.arange(8)
    q[:, idx, idx] = std * std
    return means @ MOTION.T, MOTION @ covs @ MOTION.T + q


def numpy_gating(means: np.ndarray, covs: np.ndarray, z: np.ndarray) -> np.ndarray:
    e = WP * means[:, 3]
    r = np.zeros((len(means), 4, 4))
    r[:, [0, 1, 3], [0, 1, 3]] = (e * e)[:, None]
    r[:, 2, 2] = 0.1 * 0.1
    chol = np.linalg.cholesky(covs[:, :4, :4] + r)
    d = (z[None, :, :] - means[:, None, :4]).transpose(0, 2, 1)
    x = np.linalg.solve(chol, d)
    return np.einsum("nkm,nkm->nm", x, x)


def run() -> list[Table]:
    rng = np.random.default_rng(11)
    kf = kelmora_cpp.KalmanBoxTracker(WP, WV)

    gating = Table("KalmanBoxTracker.gating_distance_batch", "NumPy cholesky + batched solve")
    means, covs = random_states(rng, 100)
    z = random_measurements(rng, 100)
    assert np.allclose(kf.gating_distance_batch(means, covs, z), numpy_gating(means, covs, z), rtol=1e-9)
    ours = median_seconds(lambda: kf.gating_distance_batch(means, covs, z))
    peer = median_seconds(lambda: numpy_gating(means, covs, z), repeat=11)
    gating.add("100 states x 100 measurements", ours, peer, f"{ours / 1e4 * 1e9:.1f} ns per pair")

    predict = Table("KalmanBoxTracker.predict", "NumPy batched matrix products")
    means, covs = random_states(rng, 200)
    got_means, got_covs = kf.predict(means, covs)
    want_means, want_covs = numpy_predict(means, covs)
    assert np.allclose(got_means, want_means) and np.allclose(got_covs, want_covs, rtol=1e-12)
    ours = median_seconds(lambda: kf.predict(means, covs))
    peer = median_seconds(lambda: numpy_predict(means, covs), repeat=11)
    predict.add("200 states", ours, peer, f"{ours / 200 * 1e9:.1f} ns per state")

    # The results are fresh arrays, so predict moves at least the bytes of a copy.
    floor = Table("KalmanBoxTracker.predict", "NumPy copy of the same arrays (no arithmetic)")
    copy = median_seconds(lambda: (means.copy(), covs.copy()))
    floor.add("200 states", ours, copy, "how close predict is to a plain copy")
    return [gating, predict, floor]

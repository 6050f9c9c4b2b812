"""KalmanBoxTracker (initiate, predict, project, update, gating) and chi2_gating_threshold."""

from __future__ import annotations

import hashlib
import re

import numpy as np
import pytest
from conftest import assert_bits_equal

import kelmora_cpp as k

MEASUREMENT = (10.0, 20.0, 0.5, 100.0)


def diagonal_matrix(values, off=()) -> np.ndarray:
    m = np.diag(np.asarray(values, dtype=np.float64))
    for i, j, v in off:
        m[i, j] = v
    return m


def random_states(rng: np.random.Generator, n: int) -> tuple[np.ndarray, np.ndarray]:
    """n plausible states: means around image coordinates, SPD covariances."""
    means = np.empty((n, 8))
    means[:, :2] = rng.uniform(0, 1000, size=(n, 2))
    means[:, 2] = rng.uniform(0.3, 2.0, size=n)
    means[:, 3] = rng.uniform(20, 300, size=n)
    means[:, 4:] = rng.normal(0, 2, size=(n, 4))
    root = rng.normal(0, 3, size=(n, 8, 8))
    covs = root @ root.transpose(0, 2, 1) + np.eye(8) * 5.0
    return means, covs


def random_measurements(rng: np.random.Generator, m: int) -> np.ndarray:
    z = np.empty((m, 4))
    z[:, :2] = rng.uniform(0, 1000, size=(m, 2))
    z[:, 2] = rng.uniform(0.3, 2.0, size=m)
    z[:, 3] = rng.uniform(20, 300, size=m)
    return z


@pytest.fixture
def kf() -> k.KalmanBoxTracker:
    return k.KalmanBoxTracker()


@pytest.fixture
def initiated(kf):
    return kf.initiate(MEASUREMENT)


# --- registration --------------------------------------------------------------------


def test_default_weights():
    kf = k.KalmanBoxTracker()
    assert (kf.std_weight_position, kf.std_weight_velocity) == (0.05, 0.00625)


@pytest.mark.parametrize("weights", [(-1.0, -2.0), (0.0, 0.0), (0.1, 0.2)])
def test_weights_are_stored_as_given(weights):
    kf = k.KalmanBoxTracker(*weights)
    assert (kf.std_weight_position, kf.std_weight_velocity) == weights


def test_weights_by_keyword_and_nan():
    kf = k.KalmanBoxTracker(std_weight_velocity=0.5, std_weight_position=float("nan"))
    assert np.isnan(kf.std_weight_position) and kf.std_weight_velocity == 0.5


@pytest.mark.parametrize("name", ["std_weight_position", "std_weight_velocity"])
def test_properties_are_read_only(kf, name):
    with pytest.raises(AttributeError):
        setattr(kf, name, 1.0)


def test_members_in_registration_order():
    members = [name for name in vars(k.KalmanBoxTracker) if not name.startswith("_")]
    assert members == [
        "std_weight_position",
        "std_weight_velocity",
        "initiate",
        "predict",
        "project",
        "update",
        "gating_distance",
        "gating_distance_batch",
    ]


def test_no_docstrings():
    assert k.KalmanBoxTracker.__doc__ is None
    for name in ["initiate", "predict", "project", "update", "gating_distance", "gating_distance_batch"]:
        doc = getattr(k.KalmanBoxTracker, name).__doc__
        assert doc.startswith(f"{name}(self: kelmora_cpp.KalmanBoxTracker, ")
        assert doc.strip().count("\n") == 0
    assert k.chi2_gating_threshold.__doc__.strip().count("\n") == 0


def test_method_argument_names(kf):
    mean, cov = kf.initiate(measurement=MEASUREMENT)
    kf.predict(mean=mean, covariance=cov)
    kf.project(mean=mean, covariance=cov)
    kf.update(mean=mean, covariance=cov, measurement=MEASUREMENT)
    kf.gating_distance(mean=mean, covariance=cov, measurements=[MEASUREMENT])
    kf.gating_distance_batch(means=mean, covariances=cov, measurements=[MEASUREMENT])


# --- chi-square table ----------------------------------------------------------------


@pytest.mark.parametrize(
    "dof, value",
    [
        (1, 3.8415),
        (2, 5.9915),
        (3, 7.8147),
        (4, 9.4877),
        (5, 11.07),
        (6, 12.592),
        (7, 14.067),
        (8, 15.507),
        (9, 16.919),
    ],
)
def test_chi2_table(dof, value):
    assert k.chi2_gating_threshold(dof) == value
    assert k.chi2_gating_threshold(dof=dof) == value


def test_chi2_default_is_four_dof():
    assert k.chi2_gating_threshold() == 9.4877


@pytest.mark.parametrize("dof", [0, 10, -1, 2**31 - 1, -(2**31)])
def test_chi2_out_of_range(dof):
    with pytest.raises(ValueError, match=re.escape("chi2_gating_threshold: dof out of range 1..9")):
        k.chi2_gating_threshold(dof)


@pytest.mark.parametrize("dof", [4.0, "4", 2**31])
def test_chi2_refuses_non_int32(dof):
    with pytest.raises(TypeError):
        k.chi2_gating_threshold(dof)


# --- initiate ------------------------------------------------------------------------


def test_initiate_worked_example(initiated):
    mean, cov = initiated
    assert_bits_equal(mean, [10, 20, 0.5, 100, 0, 0, 0, 0])
    assert_bits_equal(
        cov, diagonal_matrix([100.0, 100.0, 0.0001, 100.0, 39.0625, 39.0625, 1.0000000000000002e-10, 39.0625])
    )


def test_initiate_noise_terms_are_double_squares(initiated):
    cov = initiated[1]
    assert cov[6, 6] == 1e-5 * 1e-5 != 1e-10
    assert cov[2, 2] == 1e-2 * 1e-2


@pytest.mark.parametrize("shape", [(4,), (1, 4), (2, 2)])
def test_initiate_accepts_any_shape_of_four(kf, shape):
    mean, _ = kf.initiate(np.asarray(MEASUREMENT).reshape(shape))
    assert_bits_equal(mean, [10, 20, 0.5, 100, 0, 0, 0, 0])


@pytest.mark.parametrize("value", [[1, 2, 3, 4, 5], [1, 2, 3], 4.0, [[1, 2, 3, 4]] * 2])
def test_initiate_refuses_other_sizes(kf, value):
    with pytest.raises(ValueError, match=re.escape("initiate: measurement must have 4 values")):
        kf.initiate(value)


def test_initiate_weights_enter_as_stated():
    wp, wv, h = 0.07, 0.003, 37.0
    _, cov = k.KalmanBoxTracker(wp, wv).initiate([1, 2, 3, h])
    a, b = (wp + wp) * h, (wv * 10.0) * h
    assert cov[0, 0] == a * a and cov[4, 4] == b * b


# --- predict -------------------------------------------------------------------------


def test_predict_worked_example(kf, initiated):
    mean, cov = kf.predict(*initiated)
    assert_bits_equal(mean, [10, 20, 0.5, 100, 0, 0, 0, 0])
    off = [
        (0, 4, 39.0625),
        (4, 0, 39.0625),
        (1, 5, 39.0625),
        (5, 1, 39.0625),
        (3, 7, 39.0625),
        (7, 3, 39.0625),
        (2, 6, 1.0000000000000002e-10),
        (6, 2, 1.0000000000000002e-10),
    ]
    want = diagonal_matrix(
        [164.0625, 164.0625, 0.00020000010000000002, 164.0625, 39.453125, 39.453125, 2.0000000000000003e-10, 39.453125],
        off,
    )
    assert_bits_equal(cov, want)


def numpy_predict(kf, mean: np.ndarray, cov: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The prediction as explicit additions, rounded exactly as the filter must round them."""
    wp, wv = kf.std_weight_position, kf.std_weight_velocity
    h = mean[3]
    c, d = h * wp, h * wv
    x = mean.copy()
    x[:4] = x[:4] + x[4:]
    p = cov.copy()
    p[:4, :] = p[:4, :] + p[4:, :]
    p[:, :4] = p[:, :4] + p[:, 4:]
    q = np.array([c * c, c * c, 1e-2 * 1e-2, c * c, d * d, d * d, 1e-5 * 1e-5, d * d])
    p[np.arange(8), np.arange(8)] += q
    return x, p


@pytest.mark.parametrize("seed", range(5))
def test_predict_matches_explicit_additions(seed):
    rng = np.random.default_rng(seed)
    kf = k.KalmanBoxTracker(*rng.uniform(0.001, 0.2, size=2))
    means, covs = random_states(rng, 20)
    got_means, got_covs = kf.predict(means, covs)
    for i in range(20):
        x, p = numpy_predict(kf, means[i], covs[i])
        assert_bits_equal(got_means[i], x)
        assert_bits_equal(got_covs[i], p)


def test_predict_groups_rows_before_columns(kf):
    # F*P then *F^T rounds (a + b) + (c + d); F*(P*F^T) would give (a + c) + (b + d).
    cov = np.zeros((8, 8))
    cov[0, 0], cov[4, 0], cov[0, 4], cov[4, 4] = 1.0, 1e-16, -1.0, 1e-16
    _, got = kf.predict(np.zeros(8), cov)
    assert got[0, 0] == (1.0 + 1e-16) + (-1.0 + 1e-16)
    assert got[0, 0] != (1.0 + -1.0) + (1e-16 + 1e-16)


@pytest.mark.parametrize("n", [1, 7, 8, 9, 19])
def test_predict_batch_equals_single(n):
    rng = np.random.default_rng(100 + n)
    kf = k.KalmanBoxTracker()
    means, covs = random_states(rng, n)
    batch_means, batch_covs = kf.predict(means, covs)
    assert batch_means.shape == (n, 8) and batch_covs.shape == (n, 8, 8)
    for i in range(n):
        m, c = kf.predict(means[i], covs[i])
        assert_bits_equal(batch_means[i], m)
        assert_bits_equal(batch_covs[i], c)


def test_predict_leaves_inputs_alone(kf):
    means, covs = random_states(np.random.default_rng(3), 4)
    before = means.copy(), covs.copy()
    kf.predict(means, covs)
    kf.predict(means[0], covs[0])
    assert_bits_equal(means, before[0])
    assert_bits_equal(covs, before[1])


def test_predict_flat_covariance(kf, initiated):
    mean, cov = kf.predict(initiated[0], initiated[1].reshape(64))
    assert cov.shape == (8, 8)
    assert_bits_equal(cov, kf.predict(*initiated)[1])


def test_predict_empty_batch(kf):
    mean, cov = kf.predict(np.zeros((0, 8)), np.zeros((0, 8, 8)))
    assert mean.shape == (0, 8) and cov.shape == (0, 8, 8)


SINGLE = "predict: expected (8,) mean and (8, 8) covariance"
BATCH = "predict: expected (N, 8) mean and (N, 8, 8) covariance"


@pytest.mark.parametrize(
    "mean_shape, cov_shape, message",
    [
        ((7,), (8, 8), SINGLE),
        ((8,), (63,), SINGLE),
        ((8,), (2, 8, 8), SINGLE),
        ((8,), (), SINGLE),
        ((1, 8), (8, 8), BATCH),
        ((2, 8), (3, 8, 8), BATCH),
        ((2, 4), (2, 8, 8), BATCH),
        ((2, 8), (2, 8, 4), BATCH),
        ((2, 8), (2, 64), BATCH),
        ((1, 1, 8), (1, 8, 8), BATCH),
    ],
)
def test_predict_shape_errors(kf, mean_shape, cov_shape, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        kf.predict(np.zeros(mean_shape), np.zeros(cov_shape))


@pytest.mark.parametrize("method", ["predict", "project"])
def test_zero_dimensional_mean_has_no_first_axis(kf, method):
    with pytest.raises(IndexError, match=re.escape("invalid axis: 0 (ndim = 0)")):
        getattr(kf, method)(1.0, np.zeros(64))


# --- project -------------------------------------------------------------------------


def test_project_worked_example(kf, initiated):
    mean, s = kf.project(*initiated)
    assert_bits_equal(mean, [10, 20, 0.5, 100])
    assert_bits_equal(s, diagonal_matrix([125.0, 125.0, 0.010100000000000001, 125.0]))
    assert s[2, 2] == 0.0001 + 0.1 * 0.1


@pytest.mark.parametrize("seed", range(3))
def test_project_matches_explicit_sums(seed):
    rng = np.random.default_rng(200 + seed)
    kf = k.KalmanBoxTracker(0.03, 0.01)
    means, covs = random_states(rng, 9)
    got_means, got_s = kf.project(means, covs)
    assert got_means.shape == (9, 4) and got_s.shape == (9, 4, 4)
    for i in range(9):
        e = means[i, 3] * 0.03
        want = covs[i, :4, :4].copy()
        want[np.arange(4), np.arange(4)] += [e * e, e * e, 0.1 * 0.1, e * e]
        assert_bits_equal(got_means[i], means[i, :4])
        assert_bits_equal(got_s[i], want)
        single_mean, single_s = kf.project(means[i], covs[i])
        assert_bits_equal(single_mean, got_means[i])
        assert_bits_equal(single_s, got_s[i])


def test_project_empty_batch(kf):
    mean, s = kf.project(np.zeros((0, 8)), np.zeros(0))
    assert mean.shape == (0, 4) and s.shape == (0, 4, 4)


def short_state_message(name: str, n: int, have_mean: int, have_cov: int) -> str:
    states = "state" if n == 1 else "states"
    return (
        f"{name}: need 8 mean values and 64 covariance values per state for {n} {states}, "
        f"got {have_mean} and {have_cov}"
    )


@pytest.mark.parametrize(
    "mean_shape, cov_shape, n",
    [((7,), (8, 8), 1), ((8,), (63,), 1), ((2, 8), (8, 8), 2), ((3, 4), (3, 8, 8), 3), ((2, 8), (2, 4, 4), 2)],
)
def test_project_refuses_short_buffers(kf, mean_shape, cov_shape, n):
    message = short_state_message("project", n, int(np.prod(mean_shape)), int(np.prod(cov_shape)))
    with pytest.raises(ValueError, match=re.escape(message)):
        kf.project(np.zeros(mean_shape), np.zeros(cov_shape))


def test_project_refuses_short_buffers_before_sizing_the_result(kf):
    # An empty mean with a huge first extent names 2**40 states; the refusal comes before
    # results of 2**40 rows are asked for (which would raise MemoryError).
    message = short_state_message("project", 2**40, 0, 0)
    with pytest.raises(ValueError, match=re.escape(message)):
        kf.project(np.zeros((2**40, 0)), np.zeros(0))


# --- update --------------------------------------------------------------------------


def test_update_worked_example(kf, initiated):
    mean, cov = kf.update(*initiated, [15, 20, 0.5, 100])
    assert_bits_equal(mean, [14.0, 20, 0.5, 100, 0, 0, 0, 0])
    want = diagonal_matrix([20.0, 20.0, 9.900990099009902e-05, 20.0, 39.0625, 39.0625, 1.0000000000000002e-10, 39.0625])
    assert_bits_equal(cov, want)
    # Entry (0, 0) is the Joseph form's ((1 - 0.8) * 100) * (1 - 0.8) + (0.8 * 25) * 0.8.
    assert ((1 - 0.8) * 100) * (1 - 0.8) == 3.9999999999999982
    assert cov[0, 0] == 3.9999999999999982 + 16.0


def test_update_at_the_projected_mean_keeps_the_mean(kf):
    means, covs = random_states(np.random.default_rng(11), 6)
    for mean, cov in zip(means, covs):
        got, _ = kf.update(mean, cov, mean[:4])
        assert_bits_equal(got, mean)


@pytest.mark.parametrize("seed", range(4))
def test_update_covariance_is_exactly_symmetric(seed):
    rng = np.random.default_rng(300 + seed)
    kf = k.KalmanBoxTracker()
    means, covs = random_states(rng, 10)
    covs[:, 1, 2] += 0.25  # an asymmetric input
    for mean, cov, z in zip(means, covs, random_measurements(rng, 10)):
        _, new_cov = kf.update(mean, cov, z)
        assert_bits_equal(new_cov, new_cov.T)


@pytest.mark.parametrize("seed", range(4))
def test_update_agrees_with_numpy_to_rounding(seed):
    rng = np.random.default_rng(400 + seed)
    kf = k.KalmanBoxTracker()
    means, covs = random_states(rng, 10)
    for mean, cov, z in zip(means, covs, random_measurements(rng, 10)):
        got_mean, got_cov = kf.update(mean, cov, z)
        e = 0.05 * mean[3]
        r = np.diag([e * e, e * e, 0.1 * 0.1, e * e])
        s = cov[:4, :4] + r
        gain = np.linalg.solve(s, cov[:, :4].T).T
        a = np.eye(8)
        a[:, :4] -= gain
        want_cov = a @ cov @ a.T + gain @ r @ gain.T
        np.testing.assert_allclose(got_mean, mean + gain @ (z - mean[:4]), rtol=1e-12, atol=1e-9)
        np.testing.assert_allclose(got_cov, 0.5 * (want_cov + want_cov.T), rtol=1e-9, atol=1e-9)


def pinned_state() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A dense state built from small integers, so that it is exact whatever BLAS computed it."""
    root = np.array([[((3 * i + 5 * j + i * j) % 7) - 3 for j in range(8)] for i in range(8)], dtype=np.float64)
    cov = root @ root.T + 10.0 * np.eye(8)
    mean = np.array([412.5, 233.25, 0.75, 120.0, 1.5, -2.25, 0.015625, 0.5])
    return mean, cov, np.array([418.0, 229.5, 0.8125, 126.0])


def test_update_pins_the_kernel_rounding(kf):
    # The gain and the Joseph products round as Eigen's LU and product kernels do for
    # row-major fixed-size matrices; column-major operands change ten of these covariance
    # entries in the last bits, and so would another grouping of the products.
    mean, cov = kf.update(*pinned_state())
    assert mean[0].hex() == "0x1.9f8231553f22fp+8"
    assert mean[6].hex() == "0x1.8e392f0d51e22p-1"
    digest = hashlib.sha256(mean.tobytes() + cov.tobytes()).hexdigest()
    assert digest == UPDATE_PIN


UPDATE_PIN = "f8be7778d19cf85a18d138c1b41d2b7934dcfee3cbdf3bb5f77958d31482367c"


def test_update_reads_mean_in_storage_order(kf, initiated):
    mean, cov = initiated
    z = [15, 20, 0.5, 100]
    flat = kf.update(mean, cov, z)
    shaped = kf.update(mean.reshape(2, 4), cov.reshape(64), np.reshape(z, (2, 2)))
    assert_bits_equal(shaped[0], flat[0])
    assert_bits_equal(shaped[1], flat[1])


@pytest.mark.parametrize(
    "sizes",
    [(7, 64, 4), (8, 63, 4), (8, 64, 5), (9, 64, 4), (8, 64, 1)],
)
def test_update_shape_errors(kf, sizes):
    m, c, z = (np.zeros(s) for s in sizes)
    with pytest.raises(ValueError, match=re.escape("update: expected (8,), (8, 8) and (4,)")):
        kf.update(m, c, z)


def test_update_zero_dimensional_inputs_fail_the_size_test(kf):
    with pytest.raises(ValueError, match=re.escape("update: expected (8,), (8, 8) and (4,)")):
        kf.update(1.0, np.zeros(64), np.zeros(4))


def test_inputs_in_other_dtypes_and_layouts(kf):
    means, covs = random_states(np.random.default_rng(5), 3)
    means32 = means.astype(np.float32)
    covs_f = np.asfortranarray(covs.astype(np.float32).astype(np.float64))
    z = np.array([[500, 400, 1, 100], [0, 0, 0, 0]], dtype=np.int64)
    ref = kf.update(means32[1].astype(np.float64), np.ascontiguousarray(covs_f[1]), z[0].astype(np.float64))
    got = kf.update(means32[1], covs_f[1], z[0])
    assert_bits_equal(got[0], ref[0])
    assert_bits_equal(got[1], ref[1])
    wide = np.zeros((3, 16))
    wide[:, ::2] = means
    assert_bits_equal(kf.predict(wide[:, ::2], covs)[0], kf.predict(means, covs)[0])
    assert_bits_equal(kf.project(means.tolist(), covs.tolist())[1], kf.project(means, covs)[1])


# --- gating --------------------------------------------------------------------------


def test_gating_worked_example(kf, initiated):
    d = kf.gating_distance(*initiated, [[15, 20, 0.5, 100], [10, 20, 0.5, 100]])
    assert_bits_equal(d, [0.19999999999999998, 0.0])


def test_gating_distance_pairs_even_and_odd_squares():
    # No measurement noise on x, y, h and an identity block: x equals the innovation, and
    # 1 + 2e-16 survives only when the two small odd squares are added to each other first.
    kf = k.KalmanBoxTracker(0.0, 0.0)
    small = 1e-8 * 1e-8
    d = kf.gating_distance(np.zeros(8), np.eye(8), [1.0, 1e-8, 0.0, 1e-8])
    assert d[0] == (1.0 + 0.0) + (small + small)
    assert d[0] != ((1.0 + small) + 0.0) + small


def test_gating_pins_the_solver_rounding(kf):
    # Distances solved through Eigen's LU of a row-major L; a column-major factor gives
    # 0x1.e3000e2356008p+1 for the second measurement.
    mean, cov, _ = pinned_state()
    z = [[418, 229.5, 0.8125, 126], [400, 240, 0.7, 110], [412.5, 233.25, 0.75, 120], [430, 210, 1.0, 150]]
    d = kf.gating_distance(mean, cov, z)
    assert [v.hex() for v in d] == ["0x1.fbf27574e45aap-1", "0x1.e3000e2356007p+1", "0x0.0p+0", "0x1.5cdbebb60b5e5p+4"]


@pytest.mark.parametrize("seed", range(4))
def test_gating_batch_equals_single(seed):
    rng = np.random.default_rng(500 + seed)
    kf = k.KalmanBoxTracker()
    means, covs = random_states(rng, 12)
    z = random_measurements(rng, 9)
    batch = kf.gating_distance_batch(means, covs, z)
    assert batch.shape == (12, 9)
    for i in range(12):
        assert_bits_equal(batch[i], kf.gating_distance(means[i], covs[i], z))


@pytest.mark.parametrize("seed", range(3))
def test_gating_agrees_with_numpy_to_rounding(seed):
    rng = np.random.default_rng(600 + seed)
    kf = k.KalmanBoxTracker()
    means, covs = random_states(rng, 8)
    z = random_measurements(rng, 5)
    got = kf.gating_distance_batch(means, covs, z)
    _, s = kf.project(means, covs)
    for i in range(8):
        d = z - means[i, :4]
        want = np.einsum("ij,ij->i", d @ np.linalg.inv(s[i]), d)
        np.testing.assert_allclose(got[i], want, rtol=1e-9)


def test_gating_reads_only_the_lower_triangle(kf, initiated):
    mean, cov = initiated
    spoiled = cov.copy()
    spoiled[0, 1] = spoiled[1, 3] = np.nan
    z = [[15, 22, 0.6, 90], [3, 4, 0.5, 120]]
    assert_bits_equal(kf.gating_distance(mean, spoiled, z), kf.gating_distance(mean, cov, z))


@pytest.mark.parametrize("count, want", [(6, 1), (3, 0), (8, 2), (0, 0)])
def test_gating_measurement_rows(kf, initiated, count, want):
    d = kf.gating_distance(*initiated, np.full(count, 10.0))
    assert d.shape == (want,)
    batch = kf.gating_distance_batch(*initiated, np.full(count, 10.0))
    assert batch.shape == (1, want)


def test_gating_scalar_measurement_gives_no_row(kf, initiated):
    assert kf.gating_distance(*initiated, 5.0).shape == (0,)


NOT_PD = "gating: innovation covariance is not positive definite"


def test_gating_zero_block_is_not_positive_definite():
    kf = k.KalmanBoxTracker(0.0, 0.0)
    cov = np.zeros((8, 8))
    cov[2, 2] = 1.0
    with pytest.raises(RuntimeError, match=re.escape(NOT_PD)):
        kf.gating_distance(np.zeros(8), cov, [1, 2, 3, 4])
    assert kf.gating_distance(np.zeros(8), cov, np.zeros((0, 4))).shape == (0,)


@pytest.mark.parametrize("entry", [(0, 0), (3, 3), (1, 0)])
def test_gating_nan_in_lower_triangle_raises(kf, initiated, entry):
    mean, cov = initiated
    cov = cov.copy()
    cov[entry] = np.nan
    with pytest.raises(RuntimeError, match=re.escape(NOT_PD)):
        kf.gating_distance(mean, cov, [MEASUREMENT])


def test_gating_negative_pivot_in_a_later_state_aborts_the_batch(kf):
    means, covs = random_states(np.random.default_rng(9), 3)
    covs[2, 3, 3] = -1e6
    with pytest.raises(RuntimeError, match=re.escape(NOT_PD)):
        kf.gating_distance_batch(means, covs, random_measurements(np.random.default_rng(1), 2))


def test_gating_nan_measurement_gives_nan(kf, initiated):
    d = kf.gating_distance(*initiated, [[np.nan, 20, 0.5, 100], [10, 20, 0.5, 100]])
    assert np.isnan(d[0]) and d[1] == 0.0


def test_gating_batch_with_one_dimensional_means(kf, initiated):
    z = [[15, 20, 0.5, 100], [10, 20, 0.5, 100], [11, 19, 0.5, 99]]
    batch = kf.gating_distance_batch(initiated[0], initiated[1], z)
    assert batch.shape == (1, 3)
    assert_bits_equal(batch[0], kf.gating_distance(*initiated, z))


def test_gating_batch_zero_dimensional_means(kf):
    with pytest.raises(IndexError, match=re.escape("invalid axis: 0 (ndim = 0)")):
        kf.gating_distance_batch(1.0, np.zeros(64), np.zeros(4))


def test_gating_batch_empty_returns_at_once(kf):
    # Nothing is projected or checked when there are no states or no measurements.
    assert kf.gating_distance_batch(np.zeros((0, 8)), np.zeros(3), np.zeros((5, 4))).shape == (0, 5)
    assert kf.gating_distance_batch(np.zeros((4, 8)), np.zeros(3), np.zeros((0, 4))).shape == (4, 0)


@pytest.mark.parametrize(
    "mean_size, cov_size",
    [(7, 64), (8, 63), (0, 0)],
)
def test_gating_distance_refuses_short_state(kf, mean_size, cov_size):
    message = short_state_message("gating_distance", 1, mean_size, cov_size)
    with pytest.raises(ValueError, match=re.escape(message)):
        kf.gating_distance(np.ones(mean_size), np.ones(cov_size), [MEASUREMENT])


@pytest.mark.parametrize(
    "mean_shape, cov_shape, n",
    [((3, 8), (2, 8, 8), 3), ((2, 4), (2, 8, 8), 2), ((5, 8), (64,), 5)],
)
def test_gating_batch_refuses_short_states(kf, mean_shape, cov_shape, n):
    message = short_state_message("gating_distance_batch", n, int(np.prod(mean_shape)), int(np.prod(cov_shape)))
    with pytest.raises(ValueError, match=re.escape(message)):
        kf.gating_distance_batch(np.ones(mean_shape), np.ones(cov_shape), [MEASUREMENT])


def test_gating_batch_refuses_short_states_before_sizing_the_result(kf):
    # 2**40 states named by an empty array: refused before a (2**40, 1) result is allocated.
    message = short_state_message("gating_distance_batch", 2**40, 0, 0)
    with pytest.raises(ValueError, match=re.escape(message)):
        kf.gating_distance_batch(np.zeros((2**40, 0)), np.zeros(0), [MEASUREMENT])

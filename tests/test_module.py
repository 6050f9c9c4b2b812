"""Module frame: attributes, registration order, array boundary and build diagnostics."""

from __future__ import annotations

import re

import numpy as np
import pytest

import kelmora_cpp as k

# The public names in registration order.
TABLE = [
    "build_info",
    "eigen_selftest",
    "echo",
    "xyxy_to_xywh",
    "xywh_to_xyxy",
    "xyxy_to_cxcywh",
    "cxcywh_to_xyxy",
    "xyxy_to_xyah",
    "xyah_to_xyxy",
    "box_area",
    "iou_matrix",
    "giou_matrix",
    "clip_boxes",
    "linear_assignment",
    "associate",
    "linear_assignment_lapjv",
    "TrackerConfig",
    "build_association_cost",
    "appearance_distance",
    "uncertainty_distance",
    "ByteTracker",
    "chi2_gating_threshold",
    "KalmanBoxTracker",
]


def registered_names() -> list[str]:
    return [name for name in vars(k) if not (name.startswith("__") and name.endswith("__"))]


def test_attributes():
    assert k.__doc__ == "Optimized C++ ByteTrack - parity-gated against kelmora-mot (NumPy)."
    assert k.__version__ == "0.1.1" and isinstance(k.__version__, str)


def test_registration_order():
    assert registered_names() == TABLE
    # The dunder attributes the body sets come before every registered name.
    keys = list(vars(k))
    assert keys.index("__version__") < keys.index("build_info")


@pytest.mark.parametrize(
    "name, doc",
    [
        ("build_info", "Toolchain versions actually compiled in - not what pip reports."),
        ("eigen_selftest", "Residual of a 3x3 solve whose exact answer is 0. Non-zero means Eigen is broken."),
        ("echo", "Return a NumPy array unchanged - proves the array boundary works."),
    ],
)
def test_docstrings(name, doc):
    assert getattr(k, name).__doc__.rstrip().endswith("\n" + doc)


def test_functions_without_docstring_show_only_their_signature():
    doc = k.clip_boxes.__doc__.strip()
    assert doc.startswith("clip_boxes(boxes: ") and "\n" not in doc
    assert "width: typing.SupportsFloat | typing.SupportsIndex" in doc


def test_build_info():
    info = k.build_info()
    assert list(info) == [
        "module_version",
        "compiler_version",
        "eigen_version",
        "pybind11_version",
        "cxx_standard",
        "fp_contract_off",
    ]
    assert info["module_version"] == k.__version__
    assert re.fullmatch(r"\S+ \d+(\.\d+)*", info["compiler_version"])
    assert re.fullmatch(r"3\.4\.\d+", info["eigen_version"])
    assert re.fullmatch(r"3\.\d+", info["pybind11_version"])
    assert type(info["cxx_standard"]) is int and info["cxx_standard"] >= 201703
    assert info["fp_contract_off"] is True


def test_eigen_selftest_is_exactly_zero():
    assert k.eigen_selftest() == 0.0


def test_echo_returns_the_same_c_contiguous_float64_array():
    a = np.arange(12.0).reshape(3, 4)
    assert k.echo(a) is a


@pytest.mark.parametrize(
    "value",
    [
        [[1, 2], [3, 4]],
        np.array([[1, 2], [3, 4]], dtype=np.int64),
        np.arange(8.0).reshape(2, 4)[:, ::2],
        np.asfortranarray(np.arange(6.0).reshape(2, 3)),
        np.float32(2.5),
    ],
)
def test_echo_converts_other_inputs(value):
    out = k.echo(value)
    want = np.asarray(value, dtype=np.float64)
    assert out is not value
    assert out.flags.c_contiguous and out.dtype == np.float64
    assert np.array_equal(out, want) and out.shape == want.shape


def test_echo_of_subclass_is_a_plain_array_view():
    base = np.arange(4.0)
    sub = base.view(np.matrix)
    out = k.echo(sub)
    assert type(out) is np.ndarray
    assert np.shares_memory(out, base)


def test_echo_of_ragged_list_is_type_error():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        k.echo([[1, 2], [3]])

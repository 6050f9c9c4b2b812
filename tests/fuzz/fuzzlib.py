"""Shared pieces of the fuzz targets: start-up, input generators, outcome checks.

Every target turns libFuzzer's bytes into Python calls of kelmora_cpp through a
FuzzedDataProvider. An input passes when the call returns a result that meets the
target's invariants or raises one of the documented exception types. Anything else
(another exception type, a failed invariant, a crash, a sanitizer report) stops the run
and leaves the input in the artifact directory.
"""

import ctypes
import importlib
import os
import sys
import warnings
import zlib

import atheris
import numpy as np

# ValueError for broken rules and shapes, TypeError for arguments the binding layer cannot
# convert, IndexError for a missing axis, RuntimeError for computations that cannot finish,
# OverflowError where a Python int does not fit a native int.
ALLOWED = (ValueError, TypeError, IndexError, RuntimeError, OverflowError)


class Finding(AssertionError):
    """A broken invariant: the call returned, but not what it must return."""


def check(condition, message, *context):
    if not condition:
        raise Finding(message + "".join(f"\n  {c!r}" for c in context))


def _bind_coverage_shim():
    """Routes atheris's coverage callbacks past a preloaded libasan (fuzz/cov_shim.c).

    Without the shim preloaded (a run without the sanitizer) there is nothing to do.
    """
    try:
        bind = ctypes.CDLL(None).kelmora_cov_shim_bind
    except AttributeError:
        return
    core = importlib.import_module("atheris.core_with_libfuzzer")
    bind.argtypes = [ctypes.c_char_p]
    bound = bind(os.fsencode(core.__file__))
    if bound == 0:
        sys.exit("fuzzlib: the coverage shim found no callbacks in atheris; coverage would be blind")


_bind_coverage_shim()


def run(test_one_input):
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


# ---------------------------------------------------------------------------------------
# Outcome feedback. libFuzzer sees only Python branch coverage of the instrumented fuzz
# code, not the native module. Hashing each call's outcome (function, exception type,
# message without digits, result shape class) into one of 512 leaves of a binary if-tree
# turns "a new kind of outcome" into a new edge, so inputs that reach new error paths or
# new result forms are kept in the corpus.


def _make_bucket_tree(depth):
    lines = ["def _bucket(h):"]

    def emit(lo, hi, indent):
        pad = "    " * indent
        if hi - lo == 1:
            lines.append(f"{pad}return {lo}")
            return
        mid = (lo + hi) // 2
        lines.append(f"{pad}if h < {mid}:")
        emit(lo, mid, indent + 1)
        lines.append(f"{pad}else:")
        emit(mid, hi, indent + 1)

    emit(0, 1 << depth, 1)
    namespace = {}
    exec(compile("\n".join(lines), "<fuzzlib-buckets>", "exec"), namespace)
    return atheris.instrument_func(namespace["_bucket"])


_BUCKET_DEPTH = 9
_bucket = _make_bucket_tree(_BUCKET_DEPTH)
_DIGITS = str.maketrans("", "", "0123456789")


def _shape_class(value):
    shape = getattr(value, "shape", None)
    if shape is None:
        return type(value).__name__
    return "x".join("0" if s == 0 else "1" if s == 1 else "n" for s in shape) or "0d"


def note(label, outcome):
    """Feeds the kind of an outcome back to libFuzzer as coverage. A str outcome is a target's own
    description of a result, taken as it is."""
    if isinstance(outcome, BaseException):
        key = f"{label}|{type(outcome).__name__}|{str(outcome).translate(_DIGITS)[:80]}"
    elif isinstance(outcome, str):
        key = f"{label}|ok|{outcome}"
    elif isinstance(outcome, tuple):
        key = f"{label}|ok|" + ",".join(_shape_class(v) for v in outcome)
    else:
        key = f"{label}|ok|{_shape_class(outcome)}"
    _bucket(zlib.crc32(key.encode()) & ((1 << _BUCKET_DEPTH) - 1))


def call(label, fn, *args, **kwargs):
    """Calls fn; returns (True, result) or (False, allowed exception). Anything else propagates."""
    try:
        result = fn(*args, **kwargs)
    except ALLOWED as e:
        note(label, e)
        return False, e
    note(label, result)
    return True, result


# ---------------------------------------------------------------------------------------
# Input generators.

# Casts of NaN to int, complex to float and the like warn; the warnings say nothing here.
warnings.simplefilter("ignore")

SPECIAL = (
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    2.0,
    1e-7,
    -1e-7,
    1e-12,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e100,
    -1e100,
    1.0000000000000002e100,
    1e154,
    1e200,
    1e308,
    -1e308,
    1.7976931348623157e308,
    float("inf"),
    float("-inf"),
    float("nan"),
    -float("nan"),
    2147483647.0,
    2147483648.0,
    -2147483648.0,
    -2147483649.0,
    9007199254740993.0,
    640.0,
    480.0,
    9.4877,
)

HUGE_DIMS = (1 << 20, 1 << 31, 1 << 32, 1 << 40)

# A result may be at most this many elements: beyond it an input's form stands for an
# allocation that the target must not ask for in the first place.
MAX_ELEMENTS = 1 << 16


def scalar(fdp):
    """A float: ordinary, special (NaN, infinities, -0.0, extremes), or any bit pattern."""
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.ConsumeFloatInRange(-1000.0, 1000.0)
    if kind == 1:
        return SPECIAL[fdp.ConsumeIntInRange(0, len(SPECIAL) - 1)]
    if kind == 2:
        return float(fdp.ConsumeIntInRange(-4, 4))
    return fdp.ConsumeFloat()


def values(fdp, count, lo=-1000.0, hi=1000.0):
    """count float64 values: mostly in [lo, hi], with special values mixed in."""
    mode = fdp.ConsumeIntInRange(0, 3)
    if mode == 0:
        out = np.array([fdp.ConsumeFloatInRange(lo, hi) for _ in range(count)], dtype=np.float64)
    elif mode == 1:
        out = np.array([scalar(fdp) for _ in range(count)], dtype=np.float64)
    elif mode == 2:
        out = np.array(
            [float(fdp.ConsumeIntInRange(int(max(lo, -8)), int(min(hi, 8)))) for _ in range(count)], dtype=np.float64
        )
    else:
        out = np.array([fdp.ConsumeFloatInRange(lo, hi) for _ in range(count)], dtype=np.float64)
        for _ in range(fdp.ConsumeIntInRange(0, 3)):
            if count:
                out[fdp.ConsumeIntInRange(0, count - 1)] = SPECIAL[fdp.ConsumeIntInRange(0, len(SPECIAL) - 1)]
    return out


def any_shape(fdp, max_elements=64):
    """0 to 4 dimensions; sometimes a huge extent next to a zero one (no elements at all)."""
    ndim = fdp.ConsumeIntInRange(0, 4)
    if ndim and fdp.ConsumeIntInRange(0, 7) == 0:
        dims = [fdp.ConsumeIntInRange(0, 3) for _ in range(ndim)]
        if ndim == 1:
            return (0,)
        huge = fdp.ConsumeIntInRange(0, ndim - 1)
        zero = (huge + fdp.ConsumeIntInRange(1, ndim - 1)) % ndim
        dims[huge] = HUGE_DIMS[fdp.ConsumeIntInRange(0, len(HUGE_DIMS) - 1)]
        dims[zero] = 0
        return tuple(dims)
    dims = []
    total = 1
    for _ in range(ndim):
        d = fdp.ConsumeIntInRange(0, 9)
        if total * d > max_elements:
            d = 1
        dims.append(d)
        total *= d
    return tuple(dims)


def element_count(shape):
    n = 1
    for d in shape:
        n *= d
    return n


def with_form(fdp, data):
    """The same values in another container: dtype, memory order, view, list, tuple."""
    form = fdp.ConsumeIntInRange(0, 14)
    if form <= 3 or max(data.shape, default=0) > 1000:
        return data  # C-contiguous float64, read in place; a huge extent has no list form
    if form == 4:
        return np.asfortranarray(data)
    if form == 5:
        return data.astype(np.float32)
    if form == 6:
        with np.errstate(invalid="ignore", over="ignore"):
            return np.nan_to_num(data, nan=0.0, posinf=1e9, neginf=-1e9).clip(-1e15, 1e15).astype(np.int64)
    if form == 7:
        return data.astype(np.bool_)
    if form == 8:
        return data.astype(">f8")  # byte-swapped
    if form == 9:
        return data.tolist()
    if form == 10 and data.ndim:
        big = np.repeat(data, 2, axis=0)
        return big[::2]  # strided view
    if form == 11:
        return data.astype(object)
    if form == 12:
        return np.ma.masked_invalid(data)  # a subclass, viewed as a plain array
    if form == 13 and data.ndim == 2:
        return np.asmatrix(data)
    if form == 13 and data.ndim >= 1:
        return tuple(data.tolist())
    return data.astype(np.float16)


def junk(fdp):
    """Something that is not an array of numbers."""
    choices = (
        None,
        "boxes",
        b"\x00\x01",
        {"a": 1},
        object(),
        [[1.0, 2.0], [3.0]],
        [[1, 2, 3, 4], [5, 6]],
        [1.0, "x", 3.0, 4.0],
        np.array(["a", "b", "c", "d"]),
        complex(1, 2),
        np.array([1 + 2j, 3, 4, 5]),
        [[]],
        [],
        (),
        3,
        2.5,
        True,
        float("nan"),
        [None, None, None, None],
        np.array(1.0),
        np.empty((0,)),
        np.zeros((2, 4), dtype=[("a", "f8")]),
    )
    return choices[fdp.ConsumeIntInRange(0, len(choices) - 1)]


def array(fdp, shape=None, lo=-1000.0, hi=1000.0, max_elements=64, allow_junk=True):
    """An array argument: usually of `shape` (when given) or of an arbitrary shape, in any form."""
    pick = fdp.ConsumeIntInRange(0, 19)
    if allow_junk and pick == 0:
        return junk(fdp)
    if shape is None or pick <= 4:
        shape = any_shape(fdp, max_elements)
    count = element_count(shape)
    data = values(fdp, count, lo, hi) if count <= max_elements * 4 else np.zeros(0)
    if data.size != count:
        return np.empty(shape)
    return with_form(fdp, data.reshape(shape))


def boxes_xyxy(fdp, n, scale=1000.0):
    """n valid corner boxes (x1 <= x2, y1 <= y2) of moderate size."""
    out = np.empty((n, 4))
    for i in range(n):
        x = fdp.ConsumeFloatInRange(-scale, scale)
        y = fdp.ConsumeFloatInRange(-scale, scale)
        out[i] = (x, y, x + fdp.ConsumeFloatInRange(0.0, scale / 4), y + fdp.ConsumeFloatInRange(0.0, scale / 4))
    return out


def float_arg(fdp):
    """A float parameter: a Python float mostly, sometimes another kind of object."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 6:
        return scalar(fdp)
    if kind == 7:
        return fdp.ConsumeIntInRange(-5, 5)
    if kind == 8:
        return np.float32(scalar(fdp))
    return junk(fdp)


def int_arg(fdp, lo=-3, hi=12):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 6:
        return fdp.ConsumeIntInRange(lo, hi)
    if kind == 7:
        return (1 << 31, -(1 << 31) - 1, 1 << 63, 1 << 100, -(1 << 64))[fdp.ConsumeIntInRange(0, 4)]
    if kind == 8:
        return np.int64(fdp.ConsumeIntInRange(lo, hi))
    return (4.0, "4", None, True, 2.5)[fdp.ConsumeIntInRange(0, 4)]


def bool_arg(fdp):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind <= 5:
        return fdp.ConsumeBool()
    return (None, 0, 1.5, np.bool_(True), "yes", float("nan"))[fdp.ConsumeIntInRange(0, 5)]


# ---------------------------------------------------------------------------------------
# Result checks shared by the targets.


def snapshot(arg):
    """A byte copy of an array argument, to prove afterwards that it was not written."""
    if isinstance(arg, np.ndarray) and arg.dtype != object:
        return arg.tobytes()
    return None


def check_unchanged(arg, before, label):
    if before is not None:
        check(arg.tobytes() == before, f"{label}: an argument array was modified")


def check_float_result(result, shape, label, *args):
    check(isinstance(result, np.ndarray), f"{label}: result is not an ndarray", type(result))
    check(type(result) is np.ndarray, f"{label}: result is an ndarray subclass", type(result))
    check(result.dtype == np.float64, f"{label}: result dtype {result.dtype}")
    check(
        result.flags.c_contiguous and result.flags.writeable and result.flags.owndata,
        f"{label}: result is not a fresh C-contiguous array",
        result.flags,
    )
    if shape is not None:
        check(result.shape == tuple(shape), f"{label}: result shape {result.shape} != {tuple(shape)}")
    for a in args:
        if isinstance(a, np.ndarray) and a.size and result.size:
            check(not np.shares_memory(result, a), f"{label}: result shares memory with an argument")


def check_int_result(result, ndim, label):
    check(
        type(result) is np.ndarray and result.dtype == np.int64 and result.ndim == ndim,
        f"{label}: expected an int64 array of {ndim} dimension(s)",
        getattr(result, "dtype", None),
        getattr(result, "shape", None),
    )


def as_float64(arg):
    """What the binding layer makes of an argument, or None where it cannot convert it."""
    try:
        return np.asarray(arg, dtype=np.float64, order="C")
    except (TypeError, ValueError):
        return None


def same_bits(actual, expected):
    """Equal bit for bit, except that any NaN matches any NaN (payloads are not specified)."""
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    if actual.shape != expected.shape:
        return False
    both_nan = np.isnan(actual) & np.isnan(expected)
    return bool(np.all(both_nan | (actual.view(np.uint64) == expected.view(np.uint64))))

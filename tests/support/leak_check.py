"""Runs Python tests under valgrind memcheck and fails on leaks attributable to the project's native
modules, kelmora_cpp and kelmora_tools._native.

    python tests/support/leak_check.py [--build build/dev] [--out build/leak] [TEST_PATH ...]

The interpreter runs with PYTHONMALLOC=malloc so that every Python object is a malloc
block valgrind can see. The interpreter, NumPy and SciPy leave blocks behind at exit by
design; those are ignored. A loss record counts against the module when its allocation
stack passes through either extension: definitely or indirectly lost blocks fail
the check, and so does any memcheck error (invalid read or write, use of an uninitialised
value, bad free) whose stack passes through it.

Some module records are the interpreter's or the C library's and are only counted:
blocks allocated while the module is imported (its exec step and pybind11's shared
state), which the interpreter keeps for the life of the process (attribute names it has
interned and made immortal, type objects), and glibc's blocks for the module's
thread-local variables. Other possibly lost blocks of the module are listed for
information.
"""

import argparse
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MODULE = "kelmora_cpp"
# Every registered function and class is exercised by these files, and every function of the
# command's native module by the last ones; the other tests of the command-line tools are left out
# (they start child processes and take minutes under valgrind).
DEFAULT_TESTS = (
    "tests/test_module.py",
    "tests/test_geometry.py",
    "tests/test_assignment.py",
    "tests/test_motion.py",
    "tests/test_cost.py",
    "tests/test_tracker.py",
    "tests/test_metrics.py::test_solver_breaks_ties_as_scipy",
    "tests/test_metrics.py::test_ids_are_relabelled_before_anything_sized_by_them",
    "tests/test_metrics.py::test_cost_follows_the_rows_and_progress_moves_within_a_sequence",
    "tests/test_mot_files.py::test_results_writer_equals_python_formatting",
    "tests/test_mot_files.py::test_array_reader_equals_the_row_by_row_reader",
)
FAILING_LEAKS = {"Leak_DefinitelyLost", "Leak_IndirectlyLost"}


def frames(error):
    out = []
    for frame in error.iter("frame"):
        obj = frame.findtext("obj") or ""
        fn = frame.findtext("fn") or "???"
        where = frame.findtext("file")
        line = frame.findtext("line")
        out.append((obj, fn, f"{where}:{line}" if where else os.path.basename(obj)))
    return out


def in_module(obj):
    """Whether a shared object is kelmora_cpp or kelmora_tools._native (other packages have a _native)."""
    name = os.path.basename(obj)
    return name.startswith(f"{MODULE}.") or (
        name.startswith("_native.") and os.path.basename(os.path.dirname(obj)) == "kelmora_tools"
    )


def through_module(stack):
    return any(in_module(obj) for obj, _, _ in stack)


# Functions of the import step: the module's exec slot and pybind11's one-time set-up.
IMPORT_FUNCTIONS = (
    f"pybind11_exec_{MODULE}",
    f"PyInit_{MODULE}",
    "pybind11_exec__native",
    "PyInit__native",
    "pybind11::detail::get_internals",
    "pybind11::detail::internals_pp_manager",
)


def at_import(stack):
    return any(fn.startswith(IMPORT_FUNCTIONS) for obj, fn, _ in stack if in_module(obj))


def thread_local_storage(stack):
    """glibc's block for the module's thread-local variables, made on their first use."""
    return any(fn in ("allocate_dtv_entry", "__tls_get_addr") for _, fn, _ in stack)


def describe(error):
    what = error.findtext("xwhat/text") or error.findtext("what") or error.findtext("kind")
    lines = [f"{error.findtext('kind')}: {what}"]
    for _, fn, where in frames(error)[:25]:
        lines.append(f"    {fn}  ({where})")
    return "\n".join(lines)


def leaked_bytes(error):
    text = error.find("xwhat")
    if text is None:
        return 0
    return int(text.findtext("leakedbytes") or 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/dev", help="directory holding the module to check")
    parser.add_argument("--out", default="build/leak", help="directory for valgrind's logs")
    parser.add_argument("--report-only", action="store_true", help="read the last run's report again, run nothing")
    parser.add_argument("tests", nargs="*", default=list(DEFAULT_TESTS))
    args = parser.parse_args()

    out = ROOT / args.out
    out.mkdir(parents=True, exist_ok=True)
    xml_file, log_file = out / "memcheck.xml", out / "memcheck.log"
    if args.report_only:
        return report(xml_file, 0)

    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("leak_check: valgrind is not installed (apt-get install valgrind)")
    build = (ROOT / args.build).resolve()
    if not list(build.glob(f"{MODULE}*.so")):
        sys.exit(f"leak_check: no {MODULE} module in {build}")

    env = dict(
        os.environ,
        PYTHONMALLOC="malloc",
        PYTHONPATH=str(build),
        OPENBLAS_NUM_THREADS="1",
        OMP_NUM_THREADS="1",
        PYTHONDONTWRITEBYTECODE="1",
    )
    cmd = [
        valgrind,
        "--tool=memcheck",
        "--leak-check=full",
        "--show-leak-kinds=definite,indirect,possible",
        "--errors-for-leak-kinds=definite,indirect",
        "--num-callers=40",
        "--xml=yes",
        f"--xml-file={xml_file}",
        f"--log-file={log_file}",
        sys.executable,
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        *args.tests,
    ]
    print("leak_check: running", " ".join(args.tests), "under valgrind memcheck", flush=True)
    tests = subprocess.run(cmd, env=env, cwd=ROOT)
    return report(xml_file, tests.returncode)


def report(xml_file, tests_returncode):
    root = ET.parse(xml_file).getroot()
    errors = root.findall("error")
    leaks = [e for e in errors if (e.findtext("kind") or "").startswith("Leak_")]
    others = [e for e in errors if not (e.findtext("kind") or "").startswith("Leak_")]
    ours = [e for e in leaks if through_module(frames(e))]
    import_time = [e for e in ours if at_import(frames(e))]
    failing = [e for e in ours if e.findtext("kind") in FAILING_LEAKS and not at_import(frames(e))]
    tls = [e for e in ours if thread_local_storage(frames(e)) and not at_import(frames(e))]
    possible = [
        e
        for e in ours
        if e.findtext("kind") == "Leak_PossiblyLost"
        and not at_import(frames(e))
        and not thread_local_storage(frames(e))
    ]
    bad_access = [e for e in others if through_module(frames(e))]

    def total(kind, records):
        return sum(leaked_bytes(e) for e in records if e.findtext("kind") == kind)

    print()
    print("leak_check: loss records of the whole process (interpreter and libraries included):")
    for kind in ("Leak_DefinitelyLost", "Leak_IndirectlyLost", "Leak_PossiblyLost"):
        count = sum(1 for e in leaks if e.findtext("kind") == kind)
        print(f"    {kind[5:]:<16} {count:>5} records {total(kind, leaks):>10} bytes")
    print(
        f"leak_check: records allocated while a native module was imported (kept by the interpreter): "
        f"{len(import_time)} ({sum(leaked_bytes(e) for e in import_time)} bytes)"
    )
    print(
        f"leak_check: glibc's thread-local storage blocks of the native modules: {len(tls)} "
        f"({sum(leaked_bytes(e) for e in tls)} bytes)"
    )
    print(
        f"leak_check: records allocated through the native modules after import: "
        f"{len(failing)} definitely/indirectly lost ({sum(leaked_bytes(e) for e in failing)} bytes), "
        f"{len(possible)} possibly lost"
    )
    print(
        f"leak_check: memcheck errors passing through the native modules: {len(bad_access)} "
        f"(of {len(others)} in the whole process)"
    )
    for e in failing + bad_access:
        print(describe(e))
    for e in possible:
        print("(information only) " + describe(e))

    if tests_returncode != 0:
        print(f"leak_check: the tests failed under valgrind (exit {tests_returncode})")
        return 1
    if failing or bad_access:
        print("leak_check: FAILED")
        return 1
    print("leak_check: no leak attributable to the module")
    return 0


if __name__ == "__main__":
    sys.exit(main())

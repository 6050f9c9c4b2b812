"""The packaging checks themselves: the wheel smoke test's judgement of wheel files and modules
(tests/support/wheel_smoke.py), and the mount namespace that hides the compilers and Eigen
(dev/hide_toolchain.sh)."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import types
import zipfile
from pathlib import Path

import pytest
from command_support import ROOT

import kelmora_cpp

HIDE = ROOT / "dev" / "hide_toolchain.sh"

_spec = importlib.util.spec_from_file_location("wheel_smoke", ROOT / "tests" / "support" / "wheel_smoke.py")
smoke = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(smoke)

GOOD_NAME = "kelmora_cpp-0.1.1-cp313-cp313-manylinux_2_34_x86_64.whl"
METADATA = """Metadata-Version: 2.2
Name: kelmora_cpp
Version: 0.1.1
Requires-Dist: numpy>=2
Requires-Dist: optuna==4.5.0; extra == "tools"
Requires-Dist: dask[distributed]==2025.1.0 ; extra=='tools'
Provides-Extra: tools

The long description, with a line that looks like a header:
Requires-Dist: scipy
"""
ENTRY_POINTS = "[console_scripts]\nkelmora = kelmora_tools.cli:main\n"


def good_members(stubs_text: bytes) -> dict[str, bytes]:
    return {
        "kelmora_cpp.cpython-313-x86_64-linux-gnu.so": b"\x7fELF",
        smoke.STUB_MEMBER: stubs_text,
        "kelmora_tools/__init__.py": b"",
        "kelmora_tools/__main__.py": b"",
        "kelmora_tools/cli.py": b"",
        "kelmora_tools/commands/__init__.py": b"",
        "kelmora_tools/video/__init__.py": b"",
        "kelmora_tools/_native.pyi": b"",
        "kelmora_tools/py.typed": b"",
        "kelmora_tools/_native.cpython-313-x86_64-linux-gnu.so": b"\x7fELF",
        "kelmora_cpp-0.1.1.dist-info/METADATA": METADATA.encode(),
        "kelmora_cpp-0.1.1.dist-info/entry_points.txt": ENTRY_POINTS.encode(),
        "kelmora_cpp-0.1.1.dist-info/RECORD": b"",
    }


def drop(member):
    return lambda members: members.pop(member)


def put(member, data):
    return lambda members: members.__setitem__(member, data)


@pytest.mark.parametrize(
    ("name", "change", "expected"),
    [
        (GOOD_NAME, None, None),
        ("kelmora_cpp-0.1.1-cp313-cp313-linux_x86_64.whl", None, "not tagged manylinux"),
        ("kelmora_cpp-0.1.1-cp312-cp312-manylinux_2_34_x86_64.whl", None, "not a CPython 3.13 build"),
        (GOOD_NAME, drop(smoke.STUB_MEMBER), "lacks kelmora_cpp-stubs/__init__.pyi"),
        (GOOD_NAME, put(smoke.STUB_MEMBER, b"def other() -> None: ...\n"), "differs from"),
        (GOOD_NAME, put("kelmora_cpp.cpython-313-x86_64-linux-gnu.so.bak", b""), None),
        (GOOD_NAME, put("kelmora_cpp.cpython-313-aarch64-linux-gnu.so", b""), "holds 2 compiled"),
        (GOOD_NAME, drop("kelmora_tools/cli.py"), "lacks kelmora_tools/cli.py"),
        (GOOD_NAME, drop("kelmora_tools/__main__.py"), "lacks kelmora_tools/__main__.py"),
        (GOOD_NAME, drop("kelmora_tools/py.typed"), "lacks kelmora_tools/py.typed"),
        (GOOD_NAME, drop("kelmora_tools/_native.cpython-313-x86_64-linux-gnu.so"), "holds 0 compiled kelmora_tools"),
        (
            GOOD_NAME,
            put(
                "kelmora_cpp-0.1.1.dist-info/METADATA",
                METADATA.replace("Provides-Extra", "Requires-Dist: SciPy>=1\nProvides-Extra").encode(),
            ),
            "requires ['numpy', 'scipy'] outside its extras",
        ),
        (
            GOOD_NAME,
            put(
                "kelmora_cpp-0.1.1.dist-info/METADATA",
                METADATA.replace(
                    "Provides-Extra", "Requires-Dist: tqdm; python_version >= '3.13'\nProvides-Extra"
                ).encode(),
            ),
            "requires ['numpy', 'tqdm'] outside its extras",
        ),
        (
            GOOD_NAME,
            put("kelmora_cpp-0.1.1.dist-info/METADATA", METADATA.replace("Requires-Dist: numpy>=2\n", "").encode()),
            "requires nothing outside its extras",
        ),
        (GOOD_NAME, drop("kelmora_cpp-0.1.1.dist-info/METADATA"), "no single kelmora_cpp METADATA"),
        (GOOD_NAME, drop("kelmora_cpp-0.1.1.dist-info/entry_points.txt"), "console script kelmora is None"),
        (
            GOOD_NAME,
            put("kelmora_cpp-0.1.1.dist-info/entry_points.txt", b"[gui_scripts]\nkelmora = kelmora_tools.cli:main\n"),
            "console script kelmora is None",
        ),
        (
            GOOD_NAME,
            put(
                "kelmora_cpp-0.1.1.dist-info/entry_points.txt",
                b"[console_scripts]\nkelmora = kelmora_tools.demo:main\n",
            ),
            "kelmora_tools.demo:main",
        ),
    ],
)
def test_wheel_problems(tmp_path, name, change, expected):
    stubs = tmp_path / "__init__.pyi"
    stubs.write_bytes(b"def build_info() -> dict[str, object]: ...\n")
    members = good_members(stubs.read_bytes())
    if change is not None:
        change(members)
    wheel = tmp_path / name
    with zipfile.ZipFile(wheel, "w") as archive:
        for member, data in members.items():
            archive.writestr(member, data)

    problems = smoke.wheel_problems(wheel, stubs)
    if expected is None:
        assert problems == []
    else:
        assert len(problems) == 1 and expected in problems[0], problems


def module_like(**changes) -> types.ModuleType:
    """A module with the built module's names, some of them replaced or added."""
    fake = types.ModuleType("kelmora_cpp")
    for name in dir(kelmora_cpp):
        if not name.startswith("__") or name in ("__file__", "__version__"):
            setattr(fake, name, getattr(kelmora_cpp, name))
    for name, value in changes.items():
        setattr(fake, name, value)
    return fake


@pytest.mark.parametrize(
    ("changes", "dist_version", "expected"),
    [
        ({}, kelmora_cpp.__version__, None),
        ({}, "0.0.1", "wheel metadata says 0.0.1"),
        ({"track_video": lambda: None}, kelmora_cpp.__version__, "has 24 public names"),
        (
            {"build_info": lambda: {**kelmora_cpp.build_info(), "fp_contract_off": False}},
            kelmora_cpp.__version__,
            "fp_contract_off = False",
        ),
        ({"eigen_selftest": lambda: 1e-16}, kelmora_cpp.__version__, "eigen_selftest() is 1e-16"),
        ({"__file__": "/elsewhere/kelmora_cpp.so"}, kelmora_cpp.__version__, "not from"),
    ],
)
def test_module_problems(changes, dist_version, expected):
    site = Path(kelmora_cpp.__file__).resolve().parent
    problems = smoke.module_problems(module_like(**changes), site, dist_version)
    # The stub package is looked for beside the module; a development build has none.
    problems = [p for p in problems if "is not installed in" not in p]
    if expected is None:
        assert problems == []
    else:
        assert len(problems) == 1 and expected in problems[0], problems


def test_the_built_module_has_its_twenty_three_names():
    assert len(smoke.public_surface(kelmora_cpp)) == smoke.PUBLIC_NAMES == 23


# The mount namespace needs root or unprivileged user namespaces, and a compiler to hide.
def can_hide() -> bool:
    if shutil.which("unshare") is None or shutil.which("cc") is None:
        return False
    probe = ["unshare", "--mount", "true"] if os.geteuid() == 0 else ["unshare", "--mount", "--map-root-user", "true"]
    return subprocess.run(probe, capture_output=True).returncode == 0


needs_namespace = pytest.mark.skipif(not can_hide(), reason="no mount namespace can be made here")

PROBE = r"""
printf 'int main(void) { return 0; }\n' > "$1/p.c"
for c in cc gcc c++ g++; do
    if command -v "$c" >/dev/null && "$c" -x c "$1/p.c" -o "$1/p" 2>/dev/null; then echo "compiles:$c"; fi
done
[ -e /usr/include/eigen3/Eigen/Core ] && echo "eigen-header"
[ -e /usr/share/eigen3/cmake/Eigen3Config.cmake ] && echo "eigen-cmake"
[ -e /usr/include/stdio.h ] && echo "libc-header"
true
"""


def probe(tmp_path, *options: str, env=None) -> subprocess.CompletedProcess[str]:
    command = ["bash", str(HIDE), *options, "--", "bash", "-c", PROBE, "probe", str(tmp_path)]
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=60)


def hidden_by(options, line: str) -> bool:
    if "--no-compiler" in options and (line.startswith("compiles:") or line in ("libc-header", "eigen-header")):
        return True
    return "--no-eigen" in options and line.startswith("eigen-")


@needs_namespace
@pytest.mark.parametrize("options", [("--no-compiler", "--no-eigen"), ("--no-eigen",), ("--no-compiler",)])
def test_hide_toolchain_hides_inside_only(tmp_path, options):
    outside = probe_outside(tmp_path)
    assert "compiles:cc" in outside
    run = probe(tmp_path, *options)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == [line for line in outside if not hidden_by(options, line)]
    assert "paths hidden" in run.stderr
    # Nothing leaks out of the namespace.
    assert probe_outside(tmp_path) == outside


def probe_outside(tmp_path) -> list[str]:
    return subprocess.run(
        ["bash", "-c", PROBE, "probe", str(tmp_path)], capture_output=True, text=True, check=True
    ).stdout.split()


@needs_namespace
def test_hide_toolchain_refuses_when_a_compiler_still_works(tmp_path):
    # A "compiler" outside the hidden paths that succeeds: the command must not run.
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "cc").write_text("#!/bin/sh\nexit 0\n")
    (fake / "cc").chmod(0o755)
    env = {**os.environ, "PATH": f"{fake}{os.pathsep}{os.environ['PATH']}"}
    run = subprocess.run(
        ["bash", str(HIDE), "--no-compiler", "--", "touch", str(tmp_path / "ran")],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert run.returncode == 1
    assert "cc still compiles a program" in run.stderr
    assert not (tmp_path / "ran").exists()


@pytest.mark.parametrize(
    "arguments", [["--", "true"], ["--no-eigen"], ["--no-eigen", "--"], ["--hide-all", "--", "true"]]
)
def test_hide_toolchain_usage(arguments):
    run = subprocess.run(["bash", str(HIDE), *arguments], capture_output=True, text=True, timeout=60)
    assert run.returncode == 2
    assert run.stderr.startswith("usage: dev/hide_toolchain.sh")

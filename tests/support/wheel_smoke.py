"""Smoke test of an installed kelmora_cpp wheel, run by dev/check_wheel.sh inside a fresh
virtual environment that holds only the wheel, NumPy and mypy, on a machine whose compilers and
Eigen are hidden.

    python tests/support/wheel_smoke.py WHEEL STUBS EXAMPLE [--track DATA REFERENCE]

Checks the wheel file: a manylinux CPython 3.13 wheel holding one compiled module, the stub
package with the committed stubs and the kelmora_tools package, the `kelmora` console script,
and NumPy as the only dependency outside the extras. Checks the installed module: imported from
this environment, its version equal to the distribution's, exactly its twenty-three public names,
contraction off and Eigen working, and EXAMPLE naming every public name and class member; then
runs EXAMPLE. With --track, runs the installed command: `kelmora --help`,
`python -m kelmora_tools --help`, `kelmora track DATA` (whose results files must equal those in
REFERENCE byte for byte) and a run on a missing folder (exit code 2, one line on stderr). Exits 1
with one line per failed check.
"""

import argparse
import ast
import email.parser
import importlib.metadata
import os
import re
import runpy
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

STUB_MEMBER = "kelmora_cpp-stubs/__init__.pyi"
TOOLS_MEMBERS = (
    "kelmora_tools/__init__.py",
    "kelmora_tools/__main__.py",
    "kelmora_tools/cli.py",
    "kelmora_tools/commands/__init__.py",
    "kelmora_tools/video/__init__.py",
    "kelmora_tools/_native.pyi",
    "kelmora_tools/py.typed",
)
CONSOLE_SCRIPT = ("kelmora", "kelmora_tools.cli:main")
PUBLIC_NAMES = 23
WHEEL_NAME = re.compile(r"^kelmora_cpp-[^-]+-cp313-cp313-(?P<platform>[^-]+)\.whl$")


def dist_info_member(names: list[str], leaf: str) -> str | None:
    found = [n for n in names if re.fullmatch(rf"kelmora_cpp-[^/]+\.dist-info/{leaf}", n)]
    return found[0] if len(found) == 1 else None


def unconditional_requirements(metadata: str) -> list[str]:
    """Project names of the Requires-Dist entries that no extra guards."""
    message = email.parser.Parser().parsestr(metadata, headersonly=True)
    names = []
    for requirement in message.get_all("Requires-Dist") or []:
        marker = requirement.partition(";")[2]
        if re.search(r"\bextra\s*==", marker):
            continue
        match = re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", requirement)
        names.append(re.sub(r"[-_.]+", "-", match.group(1)).lower() if match else requirement)
    return names


def console_scripts(entry_points: str) -> dict[str, str]:
    scripts, section = {}, None
    for line in entry_points.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1].strip()
        elif section == "console_scripts" and "=" in line:
            name, _, target = line.partition("=")
            scripts[name.strip()] = target.strip()
    return scripts


def wheel_problems(wheel: Path, stubs: Path) -> list[str]:
    problems = []
    name = WHEEL_NAME.match(wheel.name)
    if name is None:
        problems.append(f"wheel {wheel.name} is not a CPython 3.13 build of kelmora_cpp")
    elif not name.group("platform").startswith("manylinux_"):
        problems.append(f"wheel {wheel.name} is not tagged manylinux (not repaired by auditwheel)")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        modules = [n for n in names if n.startswith("kelmora_cpp.cpython-313-") and n.endswith(".so")]
        if len(modules) != 1:
            problems.append(f"wheel holds {len(modules)} compiled kelmora_cpp modules, expected 1")
        natives = [n for n in names if n.startswith("kelmora_tools/_native.cpython-313-") and n.endswith(".so")]
        if len(natives) != 1:
            problems.append(f"wheel holds {len(natives)} compiled kelmora_tools._native modules, expected 1")
        if STUB_MEMBER not in names:
            problems.append(f"wheel lacks {STUB_MEMBER}")
        elif archive.read(STUB_MEMBER) != stubs.read_bytes():
            problems.append(f"{STUB_MEMBER} in the wheel differs from {stubs}")
        problems += [f"wheel lacks {member}" for member in TOOLS_MEMBERS if member not in names]

        metadata = dist_info_member(names, "METADATA")
        if metadata is None:
            problems.append("wheel has no single kelmora_cpp METADATA")
        else:
            required = unconditional_requirements(archive.read(metadata).decode())
            if required != ["numpy"]:
                problems.append(f"wheel requires {required or 'nothing'} outside its extras, expected only numpy")
        entry_points = dist_info_member(names, "entry_points.txt")
        scripts = console_scripts(archive.read(entry_points).decode()) if entry_points else {}
        script, target = CONSOLE_SCRIPT
        if scripts.get(script) != target:
            problems.append(f"wheel's console script {script} is {scripts.get(script)!r}, expected {target!r}")
    return problems


def public_surface(module: object) -> dict[str, set[str]]:
    """Public module names, each mapped to its public members (empty for functions)."""
    surface = {}
    for name in dir(module):
        if name.startswith("_"):
            continue
        value = getattr(module, name)
        members = {m for m in vars(value) if not m.startswith("_")} if isinstance(value, type) else set()
        surface[name] = members
    return surface


def example_problems(example: Path, surface: dict[str, set[str]]) -> list[str]:
    tree = ast.parse(example.read_text(), filename=str(example))
    # Module names reach the example as kelmora_cpp.NAME or through `from kelmora_cpp import`.
    used = {
        node.attr
        for node in ast.walk(tree)
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id == "kelmora_cpp"
    }
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module == "kelmora_cpp":
            used.update(alias.name for alias in node.names)
    attributes = {node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)}
    problems = [f"{example.name} does not use kelmora_cpp.{name}" for name in sorted(set(surface) - used)]
    for cls, members in sorted(surface.items()):
        problems += [f"{example.name} does not use {cls}.{m}" for m in sorted(members - attributes)]
    return problems


def module_problems(module, site: Path, dist_version: str) -> list[str]:
    problems = []
    if Path(module.__file__).resolve().parent != site:
        problems.append(f"kelmora_cpp was imported from {module.__file__}, not from {site}")
    if not (site / STUB_MEMBER).is_file():
        problems.append(f"{STUB_MEMBER} is not installed in {site}")
    if dist_version != module.__version__:
        problems.append(f"wheel metadata says {dist_version}, kelmora_cpp.__version__ is {module.__version__}")
    names = sorted(public_surface(module))
    if len(names) != PUBLIC_NAMES:
        problems.append(f"kelmora_cpp has {len(names)} public names, expected {PUBLIC_NAMES}: {', '.join(names)}")
    info = module.build_info()
    if info.get("fp_contract_off") is not True:
        problems.append(f"build_info() reports fp_contract_off = {info.get('fp_contract_off')!r}")
    if module.eigen_selftest() != 0.0:
        problems.append(f"eigen_selftest() is {module.eigen_selftest()!r}, not 0.0")
    return problems


def run(command: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


def files_of(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def command_problems(bin_dir: Path, data: Path, reference: Path, scratch: Path) -> list[str]:
    problems = []
    kelmora = bin_dir / CONSOLE_SCRIPT[0]
    if not kelmora.is_file():
        return [f"the console script {kelmora} is not installed"]
    for command in ([str(kelmora), "--help"], [sys.executable, "-m", "kelmora_tools", "--help"]):
        done = run(command, scratch)
        if done.returncode != 0 or "track" not in done.stdout:
            problems.append(f"`{' '.join(command)}` exited {done.returncode}: {done.stderr.strip()[-300:]}")

    out = scratch / "track_results"
    done = run([str(kelmora), "track", str(data), "--out", str(out)], scratch)
    if done.returncode != 0:
        problems.append(f"`kelmora track {data}` exited {done.returncode}: {done.stderr.strip()[-300:]}")
    else:
        got, want = files_of(out), files_of(reference)
        if not want:
            problems.append(f"the reference folder {reference} holds no results")
        elif got.keys() != want.keys():
            problems.append(f"`kelmora track` wrote {sorted(got)}, the development build {sorted(want)}")
        else:
            problems += [
                f"`kelmora track` result {name} differs from the development build's"
                for name in sorted(got)
                if got[name] != want[name]
            ]

    missing = scratch / "no_such_sequence"
    done = run([str(kelmora), "track", str(missing), "--out", str(scratch / "unused")], scratch)
    lines = done.stderr.splitlines()
    if done.returncode != 2 or len(lines) != 1 or not lines[0].startswith("kelmora track: error:"):
        problems.append(
            f"`kelmora track` on a missing folder exited {done.returncode} with stderr {done.stderr!r}; "
            "expected exit code 2 and one line 'kelmora track: error: ...'"
        )
    return problems


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument("stubs", type=Path)
    parser.add_argument("example", type=Path)
    parser.add_argument("--track", nargs=2, type=Path, metavar=("DATA", "REFERENCE"))
    args = parser.parse_args(argv)
    wheel, stubs, example = args.wheel.resolve(), args.stubs.resolve(), args.example.resolve()
    problems = wheel_problems(wheel, stubs)

    import kelmora_cpp

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    problems += module_problems(kelmora_cpp, site, importlib.metadata.version("kelmora_cpp"))
    problems += example_problems(example, public_surface(kelmora_cpp))
    if not problems:
        runpy.run_path(str(example), run_name="__main__")
    if args.track:
        with tempfile.TemporaryDirectory() as scratch:
            problems += command_problems(
                Path(sysconfig.get_paths()["scripts"]), args.track[0].resolve(), args.track[1].resolve(), Path(scratch)
            )

    for problem in problems:
        print(f"wheel_smoke: {problem}", file=sys.stderr)
    if problems:
        return 1
    checked = "contents, import, version, 23 names, contraction off, example"
    if args.track:
        checked += ", the kelmora command"
    print(f"wheel_smoke: kelmora_cpp {kelmora_cpp.__version__} from {wheel.name}: {checked} ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())

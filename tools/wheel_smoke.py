"""Smoke test of an installed kelmora_cpp wheel, run by scripts/check_wheel.sh inside a fresh
virtual environment that holds only the wheel, NumPy and mypy.

    python tools/wheel_smoke.py WHEEL STUBS EXAMPLE

Checks that the wheel holds the module and the stub package with the committed stubs, that
the module is imported from this environment, that the distribution's version equals
kelmora_cpp.__version__, that EXAMPLE names every public name and class member of the
module, and runs EXAMPLE. Exits 1 with one line per failed check.
"""

import ast
import importlib.metadata
import runpy
import sys
import sysconfig
import zipfile
from pathlib import Path

STUB_MEMBER = "kelmora_cpp-stubs/__init__.pyi"


def wheel_problems(wheel: Path, stubs: Path) -> list[str]:
    problems = []
    if not wheel.name.startswith("kelmora_cpp-") or "-cp313-cp313-" not in wheel.name:
        problems.append(f"wheel {wheel.name} is not a CPython 3.13 build of kelmora_cpp")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        modules = [n for n in names if n.startswith("kelmora_cpp.cpython-313-") and n.endswith(".so")]
        if len(modules) != 1:
            problems.append(f"wheel holds {len(modules)} compiled kelmora_cpp modules, expected 1")
        if STUB_MEMBER not in names:
            problems.append(f"wheel lacks {STUB_MEMBER}")
        elif archive.read(STUB_MEMBER) != stubs.read_bytes():
            problems.append(f"{STUB_MEMBER} in the wheel differs from {stubs}")
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


def main(argv: list[str]) -> int:
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    wheel, stubs, example = (Path(a).resolve() for a in argv[1:])
    problems = wheel_problems(wheel, stubs)

    import kelmora_cpp

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    if Path(kelmora_cpp.__file__).resolve().parent != site:
        problems.append(f"kelmora_cpp was imported from {kelmora_cpp.__file__}, not from {site}")
    if not (site / STUB_MEMBER).is_file():
        problems.append(f"{STUB_MEMBER} is not installed in {site}")
    dist_version = importlib.metadata.version("kelmora_cpp")
    if dist_version != kelmora_cpp.__version__:
        problems.append(f"wheel metadata says {dist_version}, kelmora_cpp.__version__ is {kelmora_cpp.__version__}")
    problems += example_problems(example, public_surface(kelmora_cpp))

    if not problems:
        runpy.run_path(str(example), run_name="__main__")
    for problem in problems:
        print(f"wheel_smoke: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"wheel_smoke: kelmora_cpp {dist_version} from {wheel.name}: contents, import, version, example ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""The README's examples run as written, and its API table lists the module's names in order."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys

import pytest

import kelmora_cpp

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```python\n(.*?)^```$", TEXT, re.M | re.S)


def test_readme_has_its_examples():
    # The tracker, the building blocks, the build check, the process pool and the errors.
    assert len(BLOCKS) == 5
    assert all("import kelmora_cpp as k" in block for block in BLOCKS)


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(index, tmp_path):
    # Each block is a script of its own, run in a fresh interpreter (a process pool needs a
    # real main module), with warnings turned into errors.
    script = tmp_path / f"readme_block_{index}.py"
    script.write_text(BLOCKS[index], encoding="utf-8")
    env = os.environ.copy()
    # The module under test, wherever this suite imported it from.
    module_dir = str(pathlib.Path(kelmora_cpp.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    run = subprocess.run([sys.executable, "-W", "error", str(script)], cwd=tmp_path, capture_output=True,
                         text=True, env=env, timeout=300)
    assert run.returncode == 0, f"README block {index} failed:\n{BLOCKS[index]}\n{run.stderr}"


def test_api_table_lists_every_name_in_registration_order():
    section = TEXT.split("## API at a glance", 1)[1].split("\n## ", 1)[0]
    listed = re.findall(r"^\| (\d+) \| `(\w+)\(", section, re.M)
    registered = [name for name in vars(kelmora_cpp) if not name.startswith("_")]
    assert [int(n) for n, _ in listed] == list(range(1, len(registered) + 1))
    assert [name for _, name in listed] == registered


def test_readme_names_the_module_version():
    assert f'"{kelmora_cpp.__version__}"' in TEXT
    changelog = (README.parent / "CHANGELOG.md").read_text(encoding="utf-8")
    assert f"## {kelmora_cpp.__version__}" in changelog

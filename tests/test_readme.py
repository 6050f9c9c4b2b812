"""The examples of the README and of docs/ run as written, and the README's API table lists the
module's names in order."""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys

import pytest
from command_support import ROOT, child_env

import kelmora_cpp

README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]
# The python blocks each page holds: a lost example fails test_pages_have_their_examples.
EXPECTED_BLOCKS = {
    # The tracker, the building blocks, the build check and the errors.
    "README.md": 4,
    # Evaluating a dataset from Python.
    "docs/kelmora.md": 1,
    # One tracker per stream in a process pool.
    "docs/long-running.md": 1,
}


def python_blocks(page: pathlib.Path) -> list[str]:
    return re.findall(r"^```python\n(.*?)^```$", page.read_text(encoding="utf-8"), re.M | re.S)


BLOCKS = [
    (page.relative_to(ROOT).as_posix(), index, block)
    for page in PAGES
    for index, block in enumerate(python_blocks(page))
]


def test_pages_have_their_examples():
    counts = {page.relative_to(ROOT).as_posix(): len(python_blocks(page)) for page in PAGES}
    assert {name: n for name, n in counts.items() if n} == EXPECTED_BLOCKS
    assert all("import kelmora_cpp as k" in block for _, _, block in BLOCKS)


@pytest.mark.parametrize("page, index, block", BLOCKS, ids=[f"{page}-{index}" for page, index, _ in BLOCKS])
def test_block_runs(page, index, block, tmp_path):
    # Each block is a script of its own, run in a fresh interpreter (a process pool needs a
    # real main module), with warnings turned into errors.
    script = tmp_path / f"block_{index}.py"
    script.write_text(block, encoding="utf-8")
    run = subprocess.run(
        [sys.executable, "-W", "error", str(script)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env=child_env(),
        timeout=300,
    )
    assert run.returncode == 0, f"{page} block {index} failed:\n{block}\n{run.stderr}"


def test_api_table_lists_every_name_in_registration_order():
    section = TEXT.split("## API at a glance", 1)[1].split("\n## ", 1)[0]
    listed = re.findall(r"^\| (\d+) \| `(\w+)\(", section, re.M)
    registered = [name for name in vars(kelmora_cpp) if not name.startswith("_")]
    assert [int(n) for n, _ in listed] == list(range(1, len(registered) + 1))
    assert [name for _, name in listed] == registered


def test_readme_names_the_module_version():
    assert f'"{kelmora_cpp.__version__}"' in TEXT
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    assert f"## {kelmora_cpp.__version__}" in changelog

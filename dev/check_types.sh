#!/usr/bin/env bash
# Type-checks the kelmora command's package (python/kelmora_tools) with mypy against the stubs the
# wheel ships: kelmora_cpp's (stubs/kelmora_cpp-stubs, laid out here as the package mypy looks
# for) and kelmora_tools/_native.pyi. The settings are pyproject.toml's [tool.mypy].
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/kelmora_cpp"
cp "$repo/stubs/kelmora_cpp-stubs/__init__.pyi" "$work/kelmora_cpp/__init__.pyi"
cd "$repo"
MYPYPATH=$work "$repo/.venv/bin/mypy" --config-file "$repo/pyproject.toml" python/kelmora_tools

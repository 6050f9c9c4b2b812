#!/usr/bin/env bash
# Builds the wheel (or takes the one given), installs it into a fresh virtual environment of
# the project's base interpreter, and checks it there: wheel contents, import, metadata
# version against kelmora_cpp.__version__, the typed usage example run as a script, and
# `mypy --strict` on that example against the installed stubs.
#   scripts/check_wheel.sh [WHEEL]
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=$repo/.venv/bin/python
stubs=$repo/stubs/kelmora_cpp-stubs/__init__.pyi
example=$repo/examples/typing_usage.py

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -ge 1 ]; then
    wheel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
else
    echo "check_wheel: building the wheel"
    "$py" -m pip wheel -q --no-deps -w "$work/dist" "$repo"
    wheel=$(ls "$work"/dist/kelmora_cpp-*.whl)
fi

# NumPy and mypy at the versions the project pins.
pins=$(grep -E '^(numpy|mypy)==' "$repo/requirements.txt")
[ "$(wc -l <<<"$pins")" -eq 2 ] || { echo "check_wheel: numpy and mypy pins not found in requirements.txt" >&2; exit 1; }

base=$("$py" -c 'import sys; print(sys._base_executable)')
"$base" -m venv "$work/venv"
vpy=$work/venv/bin/python
echo "check_wheel: installing $(basename "$wheel") into a fresh environment"
# shellcheck disable=SC2086
"$vpy" -m pip install -q --disable-pip-version-check "$wheel" $pins

# From the scratch directory, so that neither the checkout nor a build directory is importable.
cd "$work"
"$vpy" "$repo/tools/wheel_smoke.py" "$wheel" "$stubs" "$example"
"$vpy" -m mypy --strict --no-incremental --cache-dir "$work/mypy_cache" "$example"
echo "check_wheel: ok"

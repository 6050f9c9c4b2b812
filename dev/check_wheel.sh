#!/usr/bin/env bash
# Checks a built wheel as a user without a compiler would meet it: with the compilers, the system
# headers and Eigen hidden (dev/hide_toolchain.sh), installs it with the pinned NumPy and mypy
# into a fresh virtual environment of the project's base interpreter, binary packages only, and
# checks it there (tests/support/wheel_smoke.py): wheel contents and tag, metadata, import, version,
# the module's names, contraction off, the typed usage example run as a script, the `kelmora`
# command (its help, a run on data/synthetic whose results must equal the development build's
# byte for byte, and its error line), and `mypy --strict` on the example against the installed
# stubs.
#   dev/check_wheel.sh [WHEEL]      (default: the one kelmora_cpp wheel in dist/, from make wheel)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=$repo/.venv/bin/python
stubs=$repo/stubs/kelmora_cpp-stubs/__init__.pyi
example=$repo/tests/support/typing_usage.py
data=$repo/data/synthetic

log() { printf 'check_wheel: %s\n' "$*"; }
die() { printf 'check_wheel: %s\n' "$*" >&2; exit 1; }

# Second stage, inside the mount namespace: WHEEL WORK.
if [ "${1:-}" = "--hidden" ]; then
    wheel=$2 work=$3
    # NumPy and mypy at the versions the project pins.
    pins=$(grep -E '^(numpy|mypy)==' "$repo/requirements.txt")
    [ "$(wc -l <<<"$pins")" -eq 2 ] || die "numpy and mypy pins not found in requirements.txt"
    base=$("$py" -c 'import sys; print(sys._base_executable)')
    "$base" -m venv "$work/venv"
    vpy=$work/venv/bin/python
    log "installing $(basename "$wheel") into a fresh environment"
    # shellcheck disable=SC2086
    "$vpy" -m pip install -q --disable-pip-version-check --only-binary=:all: "$wheel" $pins
    # From the scratch directory, so that neither the checkout nor a build directory is importable.
    cd "$work"
    "$vpy" "$repo/tests/support/wheel_smoke.py" "$wheel" "$stubs" "$example" --track "$data" "$work/reference"
    "$vpy" -m mypy --strict --no-incremental --cache-dir "$work/mypy_cache" "$example"
    exit 0
fi

if [ $# -ge 1 ]; then
    [ -f "$1" ] || die "no wheel $1"
    wheel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
else
    shopt -s nullglob
    wheels=("$repo"/dist/kelmora_cpp-*.whl)
    [ ${#wheels[@]} -eq 1 ] || die "expected one kelmora_cpp wheel in dist/ (make wheel), found ${#wheels[@]}"
    wheel=${wheels[0]}
fi
[ -d "$repo/build/dev" ] || die "no development build in build/dev (make build)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The development build's results on the synthetic sequence, which the wheel must reproduce.
if ! PYTHONPATH="$repo/build/dev:$repo/python" "$py" -m kelmora_tools track "$data" --out "$work/reference" \
        >"$work/reference.log" 2>&1; then
    cat "$work/reference.log" >&2
    die "the development build's kelmora track on $data failed"
fi

start=$SECONDS
bash "$repo/dev/hide_toolchain.sh" --no-compiler --no-eigen -- bash "${BASH_SOURCE[0]}" --hidden "$wheel" "$work"
log "ok ($(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB; fresh environment without compiler or Eigen: $((SECONDS - start)) s)"

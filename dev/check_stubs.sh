#!/usr/bin/env bash
# Regenerates the type stubs from the built module and compares them with the committed
# stubs/kelmora_cpp-stubs/__init__.pyi; exits 1 on any difference.
#   dev/check_stubs.sh            check (the module is taken from build/dev)
#   dev/check_stubs.sh --update   rewrite the committed stubs instead
# KELMORA_BUILD_DIR names another build directory holding the compiled module.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=$repo/.venv/bin/python
build=${KELMORA_BUILD_DIR:-$repo/build/dev}
committed=$repo/stubs/kelmora_cpp-stubs/__init__.pyi

update=0
case "${1:-}" in
    --update) update=1 ;;
    "") ;;
    *) echo "usage: $0 [--update]" >&2; exit 2 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Run from the scratch directory so that only the build directory provides the module.
module=$(cd "$work" && PYTHONPATH=$build "$py" -c 'import kelmora_cpp; print(kelmora_cpp.__file__)')
case "$module" in
    "$build"/*) ;;
    *) echo "check_stubs: kelmora_cpp was imported from $module, not from $build" >&2; exit 1 ;;
esac

# --exit-code: any annotation the generator cannot express (a C++ type name, an object's
# repr as a default) fails here instead of being written as '...'.
(cd "$work" && PYTHONPATH=$build "$py" -m pybind11_stubgen --exit-code -o "$work/out" kelmora_cpp)
generated=$work/out/kelmora_cpp.pyi

if [ $update -eq 1 ]; then
    mkdir -p "$(dirname "$committed")"
    cp "$generated" "$committed"
    echo "check_stubs: wrote ${committed#"$repo"/}"
    exit 0
fi

if ! diff -u --label committed --label generated "$committed" "$generated"; then
    echo "check_stubs: the committed stubs differ from the module's signatures;" \
         "run dev/check_stubs.sh --update and review the change" >&2
    exit 1
fi
echo "check_stubs: stubs match the module"

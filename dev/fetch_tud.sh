#!/usr/bin/env bash
# Provides two real MOT15 sequences, TUD-Campus and TUD-Stadtmitte, as a dataset folder of the
# kelmora command, and prints its path: <cache>/tud/{TUD-Campus,TUD-Stadtmitte}/gt/gt.txt (ground
# truth with world coordinates in columns 8 to 10), seqinfo.ini, and results/<name>.txt, a
# tracker's output for each. The files ship as test data inside the motmetrics wheel on the Python
# package index: the wheel is fetched once with pip (no dependencies, nothing installed), the
# files are extracted into the cache folder outside the repository, and the wheel is deleted.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${KELMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelmora}
dest=$cache/tud
wheel_version=1.4.0

log() { printf 'fetch_tud: %s\n' "$*" >&2; }

if [ -s "$dest/TUD-Stadtmitte/gt/gt.txt" ] && [ -s "$dest/results/TUD-Campus.txt" ]; then
    printf '%s\n' "$dest"
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log "downloading the motmetrics $wheel_version wheel for its TUD test data (once)"
"$repo/.venv/bin/python" -m pip download -q --no-deps --only-binary :all: -d "$work" "motmetrics==$wheel_version"
wheel=$(ls "$work"/motmetrics-*.whl)
"$repo/.venv/bin/python" - "$wheel" "$work/out" <<'PY'
import pathlib, sys, zipfile
wheel, out = sys.argv[1], pathlib.Path(sys.argv[2])
lengths = {"TUD-Campus": 71, "TUD-Stadtmitte": 179}
with zipfile.ZipFile(wheel) as z:
    for name, length in lengths.items():
        seq = out / name
        (seq / "gt").mkdir(parents=True)
        (seq / "gt" / "gt.txt").write_bytes(z.read(f"motmetrics/data/{name}/gt.txt"))
        (seq / "seqinfo.ini").write_text(f"[Sequence]\nname={name}\nseqLength={length}\nimWidth=640\nimHeight=480\n")
        (out / "results").mkdir(exist_ok=True)
        (out / "results" / f"{name}.txt").write_bytes(z.read(f"motmetrics/data/{name}/test.txt"))
PY
mkdir -p "$cache"
rm -rf "$dest"
mv "$work/out" "$dest"
log "cached $dest"
printf '%s\n' "$dest"

"""Instructions per steady frame of ByteTracker.update, counted by callgrind (valgrind), with the
share of each phase, against the same frame update in Python (reference/reference_tracker.py).

Instruction counts do not depend on what else the machine is doing: this is the noise-free
figure of the hot path. Each count runs a fresh interpreter under callgrind with a fixed hash
seed and NumPy's BLAS threads off, collecting only inside the module's calls (argument conversion
and results included); the per-frame figure is the difference between a run of N frames and a run of 0,
over N. Skipped when valgrind is not installed.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile

from common import Table

CHILD = r"""
import sys
import kelmora_cpp
from bench_tracker import steady_scene
from reference_tracker import RefTracker
objects, frames, python = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "1"
scene = steady_scene(objects, 40 + 10)
tracker = RefTracker() if python else kelmora_cpp.ByteTracker()
for boxes, scores in scene[:40]:
    tracker.update(boxes, scores)
for boxes, scores in scene[40:40 + frames]:
    tracker.update(boxes, scores)
"""

# Phases, by the functions whose inclusive cost they are (demangled name prefixes). The binding
# layer's dispatcher runs each call from Python: argument conversion, the call, the results.
BINDING = "pybind11::cpp_function::dispatcher("
PHASES = {
    "prepare": "kelmora::ByteTracker::prepare_update(",
    "passes": "kelmora::detail::associate_pass(",
    "solver": "kelmora::detail::solve_rows(",
    "kalman update": "kelmora::KalmanBoxTracker::update(",
    "prediction": "kelmora::KalmanBoxTracker::predict(",
    "apply": "kelmora::ByteTracker::commit_update(",
}


def callgrind(objects: int, frames: int, python: bool, out: str) -> int:
    # The child finds bench_tracker and the reference through PYTHONPATH (make bench sets it).
    code = CHILD
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
    # The reference is Python code: its whole run is counted, and the run of 0 frames subtracted.
    toggle = [] if python else [f"--toggle-collect={BINDING}*"]
    subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            *toggle,
            sys.executable,
            "-c",
            code,
            str(objects),
            str(frames),
            "1" if python else "0",
        ],
        env=env,
        check=True,
        capture_output=True,
    )
    with open(out) as f:
        return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def inclusive(out: str) -> dict[str, int]:
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=yes", "--threshold=100", out], capture_output=True, text=True, check=True
    ).stdout
    costs: dict[str, int] = {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \([^)]*\)\s+\S*?:(.*)", line)
        if not m:
            continue
        count, name = int(m.group(1).replace(",", "")), m.group(2)
        for phase, prefix in {"binding": BINDING, **PHASES}.items():
            if name.startswith(prefix):
                costs[phase] = max(costs.get(phase, 0), count)
    return costs


def run() -> list[Table]:
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        print("\n(bench_instructions skipped: valgrind is not installed)")
        return []
    table = Table(
        "ByteTracker.update, instructions per steady frame (callgrind)",
        "the same frame update in Python (reference/reference_tracker.py)",
        unit="k instructions",
        scale=1e-3,
    )
    shares = []
    frames = 10
    with tempfile.TemporaryDirectory() as tmp:
        for objects in (10, 30, 100, 200, 500):
            ours = (callgrind(objects, frames, False, f"{tmp}/a") - callgrind(objects, 0, False, f"{tmp}/b")) / frames
            phases = inclusive(f"{tmp}/a")
            python_frames = 2 if objects >= 200 else frames
            peer = (
                callgrind(objects, python_frames, True, f"{tmp}/c") - callgrind(objects, 0, True, f"{tmp}/d")
            ) / python_frames
            total = phases.get("binding", 1)
            passes = phases.get("passes", 0) - phases.get("solver", 0)
            rest = (
                phases.get("prepare", 0)
                - phases.get("passes", 0)
                - phases.get("kalman update", 0)
                - phases.get("prediction", 0)
            )
            boundary = total - phases.get("prepare", 0) - phases.get("apply", 0)
            split = {
                "cost of the passes": passes,
                "solver": phases.get("solver", 0),
                "Kalman update": phases.get("kalman update", 0),
                "prediction": phases.get("prediction", 0),
                "checks, births, report": rest,
                "apply": phases.get("apply", 0),
                "Python boundary": boundary,
            }
            shares.append((objects, {k: v / total for k, v in split.items()}))
            table.add(f"{objects} objects", ours, peer, "")
    print("\n## Shares of the instructions of ByteTracker.update, by phase")
    names = list(shares[0][1])
    print(f"{'objects':<10}" + "".join(f"{n:>24}" for n in names))
    for objects, split in shares:
        print(f"{objects:<10}" + "".join(f"{split[n] * 100:>23.0f}%" for n in names))
    return [table]

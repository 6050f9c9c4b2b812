"""TrackEval's HOTA plot, the PNG and the PDF: kelmora_tools.hota_plot against TrackEval's own
HOTA.plot_single_tracker_results (pyplot) on the same curves. Each side runs in a fresh process, the
two alternately, timed from before the first import of its drawing code to the last file written
(pyplot, Pillow and kelmora_tools.hota_plot are imported after the clock starts). Before it, each
process has loaded what its caller has: the modules of `kelmora eval` (NumPy, logging and the rest),
or NumPy alone; TrackEval's side has its metrics loaded too. Their objects are collected before the
clock starts, and bytecode is kept, as an installed package has it.

Usage: python benchmarks/bench_hota_plot.py [--repeat 11]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile

import numpy as np

from common import Table, command_env, paired

FIELDS = ["HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr", "LocA", "OWTA"]
# What a process has loaded before the clock starts: (row, module).
PRELOADS = [("kelmora eval's modules loaded", "kelmora_tools.commands.eval"), ("NumPy alone loaded", "numpy")]

_PROBE = """
import gc, importlib, json, pathlib, sys, time
side, data, out = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
importlib.import_module(sys.argv[4])
import numpy as np
if side == "theirs":
    from trackeval.metrics import HOTA
curves = {name: np.array(values) for name, values in json.loads(data.read_text()).items()}
# The young generations hold all that the imports made; a command that has worked for a while before it
# plots has had them collected long since.
gc.collect()
start, cpu = time.perf_counter(), time.process_time()
if side == "ours":
    from kelmora_tools.hota_plot import write_hota_plot
    write_hota_plot(out / "pedestrian_plot.png", out / "pedestrian_plot.pdf", "kelmora - pedestrian",
                    np.arange(0.05, 0.99, 0.05), curves)
else:
    HOTA().plot_single_tracker_results({"COMBINED_SEQ": curves}, "kelmora", "pedestrian", str(out))
elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
assert side != "ours" or "matplotlib" not in sys.modules, "write_hota_plot imported Matplotlib"
print(elapsed, cpu)
"""


def curves() -> dict[str, list[float]]:
    """HOTA-like curves falling with alpha, the fields in TrackEval's order."""
    a = np.arange(0.05, 0.99, 0.05)
    det, ass = 0.85 - 0.75 * a**3, 0.78 - 0.5 * a**4
    values = [np.sqrt(det * ass), det, ass, det + 0.06, det + 0.1, ass + 0.08, ass + 0.12, 0.93 - 0.05 * a]
    values.append(np.sqrt((det + 0.06) * ass))
    return {name: np.clip(v, 0, 1).tolist() for name, v in zip(FIELDS, values)}


def draw(side: str, preload: str, data: pathlib.Path, out: pathlib.Path) -> tuple[float, float]:
    """Seconds of one side's drawing of both files in a fresh process: wall-clock and CPU time."""
    out.mkdir(exist_ok=True)
    # NumPy's BLAS threads spin for a while after its import and, on a small machine, take the CPU from
    # whatever runs next; neither side uses them, and a command imports NumPy long before it plots.
    env = dict(command_env(), MPLBACKEND="Agg", OPENBLAS_NUM_THREADS="1")
    found = subprocess.run(
        [sys.executable, "-c", _PROBE, side, str(data), str(out), preload],
        check=True,
        env=env,
        capture_output=True,
        text=True,
    )
    if not all((out / f"pedestrian_plot.{kind}").stat().st_size for kind in ("png", "pdf")):
        raise SystemExit(f"{side}: an empty plot file")
    wall, cpu = map(float, found.stdout.split())
    return wall, cpu


def run(repeat: int = 11) -> list[Table]:
    table = Table("TrackEval's HOTA plot, PNG and PDF, fresh processes", "TrackEval's pyplot drawing", "ms", 1e3)
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        data = folder / "curves.json"
        data.write_text(json.dumps(curves()))
        for side in ("ours", "theirs"):  # once untimed: the bytecode is written, the files are cached
            draw(side, "numpy", data, folder / side)
        for row, preload in PRELOADS:
            cpu: dict[str, list[float]] = {"ours": [], "theirs": []}

            def wall(side: str) -> float:  # the CPU time kept aside, pair by pair
                seconds, used = draw(side, preload, data, folder / side)
                cpu[side].append(used)
                return seconds

            ours, theirs, ratio = paired(repeat, lambda: wall("ours"), lambda: wall("theirs"))
            # CPU time moves less than the wall-clock time when other work shares the machine.
            cpu_ours, cpu_theirs = statistics.median(cpu["ours"]), statistics.median(cpu["theirs"])
            table.add(
                row,
                ours,
                theirs,
                f"{1 / ratio:.1f}x faster; CPU {cpu_ours * 1e3:.1f} against {cpu_theirs * 1e3:.0f} ms; "
                f"median of {repeat} pairs; target: 30 ms",
            )
    return [table]


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=11)
    for table in run(parser.parse_args(argv).repeat):
        table.print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

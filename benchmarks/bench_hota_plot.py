"""TrackEval's HOTA plot, the PNG and the PDF: kelmora_tools.hota_plot against TrackEval's own
HOTA.plot_single_tracker_results (pyplot) on the same curves. Each side runs in a fresh process, the
two alternately, timed from before the first import of its drawing code to the last file written:
NumPy (and trackeval's metrics for TrackEval's side), which every caller has loaded already, are
imported before the clock; pyplot, Pillow and kelmora_tools.hota_plot after it. Bytecode is kept, as
an installed package has it.

Usage: python benchmarks/bench_hota_plot.py [--repeat 11]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import tempfile

import numpy as np

from common import Table, command_env, paired

FIELDS = ["HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr", "LocA", "OWTA"]

_PROBE = """
import json, pathlib, sys, time
import numpy as np
if sys.argv[1] == "theirs":
    from trackeval.metrics import HOTA
data = json.loads(pathlib.Path(sys.argv[2]).read_text())
curves = {name: np.array(values) for name, values in data.items()}
out = pathlib.Path(sys.argv[3])
start = time.perf_counter()
if sys.argv[1] == "ours":
    from kelmora_tools.hota_plot import write_hota_plot
    write_hota_plot(out / "pedestrian_plot.png", out / "pedestrian_plot.pdf", "kelmora - pedestrian",
                    np.arange(0.05, 0.99, 0.05), curves)
else:
    HOTA().plot_single_tracker_results({"COMBINED_SEQ": curves}, "kelmora", "pedestrian", str(out))
print(time.perf_counter() - start)
"""


def curves() -> dict[str, list[float]]:
    """HOTA-like curves falling with alpha, the fields in TrackEval's order."""
    a = np.arange(0.05, 0.99, 0.05)
    det, ass = 0.85 - 0.75 * a**3, 0.78 - 0.5 * a**4
    values = [np.sqrt(det * ass), det, ass, det + 0.06, det + 0.1, ass + 0.08, ass + 0.12, 0.93 - 0.05 * a]
    values.append(np.sqrt((det + 0.06) * ass))
    return {name: np.clip(v, 0, 1).tolist() for name, v in zip(FIELDS, values)}


def draw(side: str, data: pathlib.Path, out: pathlib.Path) -> float:
    """Seconds of one side's drawing of both files in a fresh process."""
    out.mkdir(exist_ok=True)
    # NumPy's BLAS threads spin for a while after its import and, on a small machine, take the CPU from
    # whatever runs next; neither side uses them, and a command imports NumPy long before it plots.
    env = dict(command_env(), MPLBACKEND="Agg", OPENBLAS_NUM_THREADS="1")
    found = subprocess.run(
        [sys.executable, "-c", _PROBE, side, str(data), str(out)], check=True, env=env, capture_output=True, text=True
    )
    if not all((out / f"pedestrian_plot.{kind}").stat().st_size for kind in ("png", "pdf")):
        raise SystemExit(f"{side}: an empty plot file")
    return float(found.stdout)


def run(repeat: int = 11) -> list[Table]:
    table = Table("TrackEval's HOTA plot, PNG and PDF, fresh processes", "TrackEval's pyplot drawing", "ms", 1e3)
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        data = folder / "curves.json"
        data.write_text(json.dumps(curves()))
        for side in ("ours", "theirs"):  # once untimed: the bytecode is written, the files are cached
            draw(side, data, folder / side)
        ours, theirs, ratio = paired(
            repeat, lambda: draw("ours", data, folder / "ours"), lambda: draw("theirs", data, folder / "theirs")
        )
    table.add(
        "write_hota_plot vs plot_single_tracker_results",
        ours,
        theirs,
        f"{1 / ratio:.1f}x faster (median of {repeat} pairs); imports included; target: 30 ms",
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

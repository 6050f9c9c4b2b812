"""Runs every benchmark module (bench_*.py beside this file) and prints its table.

Usage: python benchmarks/run.py [name ...]   (names like 'geometry' select modules)
"""

from __future__ import annotations

import importlib
import pathlib
import sys

import kelmora_cpp


def main(argv: list[str]) -> int:
    here = pathlib.Path(__file__).resolve().parent
    info = kelmora_cpp.build_info()
    print(
        f"kelmora_cpp {info['module_version']}, {info['compiler_version']}, fp_contract_off={info['fp_contract_off']}"
    )
    # bench_tools times whole commands, for minutes: make bench-tools runs it on its own.
    names = sorted(p.stem for p in here.glob("bench_*.py") if p.stem != "bench_tools")
    if argv:
        names = [n for n in names if any(n == f"bench_{a}" for a in argv)]
    for name in names:
        module = importlib.import_module(name)
        for table in module.run():
            table.print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

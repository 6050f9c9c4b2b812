"""`kelmora tune`: searches the tracker's thresholds for the best metric over a dataset (Optuna)."""

from __future__ import annotations

import argparse
import pathlib

from kelmora_tools.errors import UserError


def add_parser(subparsers) -> argparse.ArgumentParser:
    parser = subparsers.add_parser("tune", help="tune the tracker's thresholds with Optuna")
    parser.add_argument("data", type=pathlib.Path, metavar="DATA")
    parser.add_argument("--trials", type=int, required=True, metavar="N")
    parser.add_argument("--out", type=pathlib.Path, required=True, metavar="best.json")
    parser.set_defaults(func=run)
    return parser


def run(args: argparse.Namespace) -> int:
    raise UserError("not available yet")

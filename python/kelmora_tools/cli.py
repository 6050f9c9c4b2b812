"""The `kelmora` command: parses arguments and dispatches to the subcommand modules."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from types import ModuleType
from typing import NoReturn

# OpenBLAS starts a thread per processor when NumPy is imported, which costs more than half of
# NumPy's import here; the command's arrays are not worth them. A setting of the user's is kept.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from kelmora_tools import commands, stopping  # noqa: E402
from kelmora_tools.errors import ExitStatus, Terminated, UserError, lingering_threads, one_line  # noqa: E402

PROG = "kelmora"


def subcommands(argv: list[str]) -> list[ModuleType]:
    """The subcommand modules (kelmora_tools.commands.<name>, each with add_parser(subparsers) and
    run(args)) that parsing `argv` needs: the one it names, so that a command imports only what it
    runs, or all of them when it names none."""
    named = next((a for a in argv if not a.startswith("-")), None)
    names = [named] if named in commands.NAMES else list(commands.NAMES)
    return [importlib.import_module(f"kelmora_tools.commands.{name}") for name in names]


class _UsageError(Exception):
    def __init__(self, prog: str, message: str) -> None:
        super().__init__(message)
        self.prog = prog


class _Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors reach main() as exceptions instead of printing the usage
    text and exiting, so that every error is the same single line."""

    def error(self, message: str) -> NoReturn:
        raise _UsageError(self.prog, message)


def build_parser(argv: list[str] | None = None) -> argparse.ArgumentParser:
    """The parser of `argv`: the whole command's, with the subcommands `argv` needs (all by default)."""
    parser = _Parser(prog=PROG, description="Track, evaluate, tune and plot MOTChallenge data with kelmora_cpp.")
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    subparsers = parser.add_subparsers(title="subcommands", dest="subcommand", metavar="SUBCOMMAND")
    for module in subcommands(argv or []):
        sub = module.add_parser(subparsers)
        sub.set_defaults(prog=sub.prog)
    return parser


class _Version(argparse.Action):
    """--version, which imports kelmora_cpp for its version only when asked."""

    def __call__(
        self, parser: argparse.ArgumentParser, namespace: object, values: object, option_string: object = None
    ) -> None:
        print(f"{parser.prog} {_version()}")
        parser.exit()


def _version() -> str:
    try:
        import kelmora_cpp

        return kelmora_cpp.__version__
    except ImportError:
        return "(kelmora_cpp not importable)"


def main(argv: list[str] | None = None) -> int:
    """Runs the `kelmora` command with `argv` (default sys.argv[1:]); returns the exit status.

    A user error is one line on stderr, `kelmora <subcommand>: error: <message>`, and status 2;
    Ctrl-C (SIGINT) gives 130 and SIGTERM 143, once the command's worker processes have ended.
    Run as the command (no `argv`), it ends the process itself, with that status, when a thread
    that a plug-in left running would keep the interpreter from exiting.
    """
    with stopping.sigterm_raises():
        status = _main(argv)
    if argv is None and lingering_threads():
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


def _main(argv: list[str] | None) -> int:
    if argv is None:
        # The command (not a caller of main() in its own process): memory freed after one sequence is
        # kept for the next instead of being returned to the system and faulted in again.
        from kelmora_tools import _native

        _native.retain_freed_memory()
    parser = build_parser(sys.argv[1:] if argv is None else argv)
    prog = PROG
    try:
        args = parser.parse_args(argv)
        if args.subcommand is None:
            names = ", ".join(sorted(commands.NAMES))
            raise _UsageError(PROG, f"choose a subcommand: {names} (kelmora SUBCOMMAND --help)")
        prog = args.prog
        return int(args.func(args) or ExitStatus.OK)
    except SystemExit as e:
        # --help and --version exit with 0; sys.exit("message") in a plug-in is an error.
        if e.code is None or isinstance(e.code, int):
            return e.code or ExitStatus.OK
        print(f"{prog}: error: {one_line(str(e.code))}", file=sys.stderr)
    except _UsageError as e:
        print(f"{e.prog}: error: {one_line(str(e))}", file=sys.stderr)
    except UserError as e:
        print(f"{prog}: error: {one_line(str(e))}", file=sys.stderr)
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        print(f"{prog}: error: {where}{one_line(e.strerror or str(e))}", file=sys.stderr)
    except Terminated:
        print(f"{prog}: terminated", file=sys.stderr)
        return ExitStatus.TERMINATED
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return ExitStatus.INTERRUPTED
    return ExitStatus.USER_ERROR

"""Command-line tools around kelmora_cpp: track, evaluate (HOTA), tune and plot MOTChallenge data.

The `kelmora` command is `kelmora_tools.cli:main`; every subcommand is a module of this package
with `add_parser` and `run`. The tools use only the public names of the kelmora_cpp extension.
"""

"""Command-line tools around kelmora_cpp: track, evaluate (HOTA), tune and plot MOTChallenge data.

The `kelmora` command is `kelmora_tools.cli:main`; every subcommand is a module of this package
with `add_parser` and `run`. The tools use only the public names of the kelmora_cpp extension.

From Python, `kelmora_tools.evaluate(gt, results)` scores a dataset as `kelmora eval` does and
returns a `kelmora_tools.evaluation.Evaluation`.
"""

import os
import sys

# The native loops (kelmora_tools._native) are built beside the package in a wheel, and into a
# kelmora_tools folder of the build tree in a checkout: the package spans every such folder on
# sys.path (as pkgutil.extend_path would, without its import).
__path__ = list(
    dict.fromkeys(
        [
            *__path__,
            *(
                folder
                for folder in (os.path.join(entry, __name__) for entry in sys.path if isinstance(entry, str))
                if os.path.isdir(folder)
            ),
        ]
    )
)

__all__ = ["evaluate"]


def __getattr__(name: str):
    # Imported on first use, so that importing the package (as every command does) stays cheap.
    if name == "evaluate":
        from kelmora_tools.evaluation import evaluate

        return evaluate
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

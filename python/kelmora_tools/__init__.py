"""Command-line tools around kelmora_cpp: track, evaluate (HOTA), tune and plot MOTChallenge data.

The `kelmora` command is `kelmora_tools.cli:main`; every subcommand is a module of this package
with `add_parser` and `run`. The tools use only the public names of the kelmora_cpp extension.
"""

import pkgutil

# The native loops (kelmora_tools._native) are built beside the package in a wheel, and into a
# kelmora_tools folder of the build tree in a checkout: the package spans every such folder on
# sys.path.
__path__ = pkgutil.extend_path(__path__, __name__)

"""`python -m kelmora_tools` is the `kelmora` command."""

import sys

from kelmora_tools.cli import main

sys.exit(main())

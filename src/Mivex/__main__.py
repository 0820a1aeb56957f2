"""``python -m Mivex``: the ``mivex`` command."""

import sys

from Mivex.cli import main

if __name__ == "__main__":
    sys.exit(main())

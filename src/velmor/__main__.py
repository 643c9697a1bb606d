"""``python -m velmor``: the same as the ``velmor`` command."""

import sys

from velmor.cli import main

if __name__ == "__main__":
    sys.exit(main())

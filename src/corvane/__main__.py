"""python -m corvane: the command line of corvane.cli."""

import sys

from corvane.cli import main

if __name__ == "__main__":
    sys.exit(main())

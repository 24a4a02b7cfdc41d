"""python -m varkit: the varkit command."""

import sys

from varkit.cli import main

if __name__ == "__main__":
    sys.exit(main())

"""Entry point of ``python -m ravik``."""

import sys

from ravik._cli import main

if __name__ == "__main__":
    sys.exit(main())

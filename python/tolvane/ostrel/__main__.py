"""``python -m tolvane.ostrel`` runs the fuzzy-linear demo."""

import sys

from tolvane.ostrel.cli import main

if __name__ == "__main__":
    sys.exit(main())

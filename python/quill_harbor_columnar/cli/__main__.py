"""``python -m quill_harbor_columnar.cli``: the command, as the entry point runs it."""

import sys

from .command import main

if __name__ == "__main__":
    sys.exit(main())

"""`python -m quillfen`: the command line."""

import sys

from quillfen.cli import main

sys.exit(main())

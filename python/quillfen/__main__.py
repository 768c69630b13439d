"""`python -m quillfen`: the command line."""

import sys

try:
    from quillfen.cli import main

    status = main()
except KeyboardInterrupt:  # Ctrl-C before the command line could take it over
    print("quillfen: interrupted", file=sys.stderr)
    status = 130
sys.exit(status)

"""The `quillfen` command line: fit, predict, summary and plot over CSV and Parquet files.

Bad input ends with one line on standard error and exit status 2, never a traceback; Ctrl-C
ends a command with one line and exit status 130, between batches once they flow and at once
while the command starts. No output file is left half-written.

Importing this package loads only argparse and the Ctrl-C handling; NumPy, Arrow and the
estimator load when a command runs, and matplotlib and tqdm only for a command that draws.
"""

import argparse
import sys
from collections.abc import Sequence

from quillfen.cli._command_error import CommandError
from quillfen.cli._interrupts import Interrupted, stop_on_ctrl_c
from quillfen.cli._parser import COMMANDS, build_parser

__all__ = ["build_parser", "main"]

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def main(argv: Sequence[str] | None = None) -> int:
    """Run the `quillfen` command line.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name; ``sys.argv[1:]`` when None.

    Returns
    -------
    int
        The exit status: 0 on success, 2 for bad input (after one line on standard error),
        130 when Ctrl-C stopped the command, even while its modules were still being imported.
        Usage errors exit through argparse with status 2.
    """
    arguments = sys.argv[1:] if argv is None else list(argv)
    name = f"quillfen {arguments[0]}" if arguments and arguments[0] in COMMANDS else "quillfen"
    try:
        # The commands' modules (NumPy, Arrow, the estimator) load after this: a first Ctrl-C
        # stops the command at its next checkpoint, a second one at once.
        with stop_on_ctrl_c():
            return _run(build_parser().parse_args(arguments), name)
    except KeyboardInterrupt:
        return _interrupted(name)
    except RuntimeError as error:
        # Python < 3.12 wraps what a descriptor's __set_name__ raises, Ctrl-C while a library
        # makes a class at import included, in a RuntimeError.
        if not _caused_by_ctrl_c(error):
            raise
        return _interrupted(name)


def _interrupted(name: str) -> int:
    print(f"{name}: interrupted", file=sys.stderr)
    # CPython marks a KeyboardInterrupt that left code run by exec() of a string (libraries do
    # that while importing) and then ends `python -m` by SIGINT whatever the exit status; the
    # next exec() of a string clears the mark.
    exec("")
    return EXIT_INTERRUPTED


def _caused_by_ctrl_c(error: BaseException | None) -> bool:
    while error is not None:
        if isinstance(error, KeyboardInterrupt):
            return True
        error = error.__cause__
    return False


def _run(args: argparse.Namespace, name: str) -> int:
    """Run the command `args` chose; its expected failures become one line on standard error."""
    # Imported here, not at the top: parsing (and --help) must not pay for NumPy and Arrow.
    from quillfen.cli._commands import COMMAND_FUNCTIONS

    try:
        COMMAND_FUNCTIONS[args.command](args)
    except CommandError as error:
        print(f"{name}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except Interrupted as stop:
        print(f"{name}: {stop}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (e.g. `quillfen summary m.npz | head`).
        sys.stderr.close()
        return EXIT_OK
    except OSError as error:  # e.g. a full disk or a file that vanished while being read
        print(f"{name}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    return EXIT_OK

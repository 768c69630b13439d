"""Output files that appear complete or not at all: written under a temporary name, then renamed."""

import os
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from quillfen._command_error import CommandError


def check_writable(path: Path) -> None:
    """Raise CommandError now if `path` cannot be created, before any long work is done."""
    directory = path.parent
    if not directory.is_dir():
        raise CommandError(f"{path}: cannot write, directory '{directory}' does not exist")
    if path.is_dir():
        raise CommandError(f"{path}: cannot write, it is a directory")
    if not os.access(directory, os.W_OK):
        raise CommandError(f"{path}: cannot write, directory '{directory}' is not writable")


def temporary_name(path: Path) -> Path:
    """A hidden name beside `path` with the same suffix (NumPy's savez adds ".npz" otherwise)."""
    return path.with_name(f".{path.stem}.partial-{os.getpid()}{path.suffix}")


@contextmanager
def atomic_outputs(*paths: Path) -> Iterator[list[Path]]:
    """Yield temporary names for `paths`; rename them over `paths` in order if the block succeeds.

    On any exception, including KeyboardInterrupt, the temporary files are removed and the files
    at `paths` are left as they were. Renaming within one directory is atomic on POSIX.
    """
    for path in paths:
        check_writable(path)
    temporaries = [temporary_name(path) for path in paths]
    try:
        yield temporaries
        for temporary, path in zip(temporaries, paths, strict=False):
            os.replace(temporary, path)
    except BaseException:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)
        raise

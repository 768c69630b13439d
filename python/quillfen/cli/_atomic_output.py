"""Output files that appear complete or not at all: written under a temporary name, then renamed.

Each file is written to a hidden temporary name beside it, flushed to disk, and renamed over
its final name; the directory is flushed after the renames. Renaming within one directory is
atomic on POSIX, so each file is at any moment its old or its new content, never a mix. Files
written together are renamed one after another: a kill between two renames leaves the first
ones new and the others old, so a file written with another must be checked against it when
read (a model's trace is, see `CoefficientTrace.load_matching`). A process killed outright
cannot remove its temporary files; the next command writing the same outputs removes those of
processes that no longer run.
"""

import errno
import os
import re
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from quillfen.cli._command_error import CommandError


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
    """A hidden name beside `path` with the same suffix (NumPy's savez adds ".npz" otherwise),
    marked with this process's id."""
    return path.with_name(f".{path.stem}.partial-{os.getpid()}{path.suffix}")


def remove_stale_temporaries(path: Path) -> None:
    """Remove the temporary files of `path` left by processes that no longer run.

    Those of running processes, which may still be writing, are kept. (A writer in another PID
    namespace sharing the directory looks dead: its rename then fails and the outputs stay as
    they were.)
    """
    pattern = re.compile(rf"\.{re.escape(path.stem)}\.partial-(\d+){re.escape(path.suffix)}")
    with os.scandir(path.parent) as entries:
        for entry in entries:
            match = pattern.fullmatch(entry.name)
            if match and not _is_running(int(match.group(1))) and entry.is_file():
                Path(entry.path).unlink(missing_ok=True)


def _is_running(pid: int) -> bool:
    """Whether a process `pid` exists; unknowable ids count as running, to keep their files."""
    if pid <= 0 or pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):  # another user's process; an id beyond any process
        return True
    return True


def _flush_to_disk(path: Path) -> None:
    """fsync the file or directory at `path`: its content (or its entries) survive a crash."""
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    except OSError as error:
        # Some file systems cannot flush a directory; the files themselves were flushed.
        if not path.is_dir() or error.errno not in (errno.EINVAL, errno.ENOTSUP):
            raise
    finally:
        os.close(descriptor)


@contextmanager
def atomic_outputs(*paths: Path) -> Iterator[list[Path]]:
    """Yield temporary names for `paths`; if the block succeeds, rename them over `paths`, in
    the order given.

    Before the block, the outputs are checked to be writable and stale temporary files of theirs
    are removed. On any exception, including KeyboardInterrupt, this process's temporary files
    are removed and the files at `paths` are left as they were.
    """
    for path in paths:
        check_writable(path)
    for path in paths:
        remove_stale_temporaries(path)
    temporaries = [temporary_name(path) for path in paths]
    try:
        yield temporaries
        for temporary in temporaries:
            _flush_to_disk(temporary)
        for temporary, path in zip(temporaries, paths, strict=True):
            os.replace(temporary, path)
        # The renames are entries of the directory: flushed with it.
        for directory in dict.fromkeys(path.parent for path in paths):
            _flush_to_disk(directory)
    except BaseException:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)
        raise

"""Imports of optional dependencies that name the extra providing them when they are missing."""

import importlib
from types import ModuleType

from quillfen.cli._command_error import CommandError

# The pip extra that installs each optional module.
EXTRA_OF_MODULE = {
    "pyarrow": "io",
    "tqdm": "io",
    "matplotlib": "plot",
}


def require(module_name: str, command: str) -> ModuleType:
    """Import `module_name`, or raise CommandError saying which extra `command` needs.

    Only modules listed in EXTRA_OF_MODULE may be asked for.
    """
    extra = EXTRA_OF_MODULE[module_name.split(".")[0]]
    try:
        return importlib.import_module(module_name)
    except ImportError:
        top_level = module_name.split(".")[0]
        raise CommandError(
            f"'quillfen {command}' needs {top_level}, which is not installed; "
            f"install it with: pip install 'quillfen[{extra}]'"
        ) from None

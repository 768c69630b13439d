"""Check that the C++ core includes only downward: common < parallel < kernels < solver < engine.

Usage: check_include_direction.py [repository root]

Every ``#include "..."`` of a file under ``src/`` is resolved (next to the file, then under
``src/``) and must name a file of its own layer or of a layer below. The kernels and the solvers
may also include the engine's two plain record headers, which describe a batch, a summary, the
settings and the scratch buffers that every layer passes around. Nothing under ``src/`` may
include ``bindings/``, ``Python.h`` or NumPy's headers, nor a quoted header that does not
exist. Prints each violation and exits with 1 when there is one.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# Each layer of src/ and the layers it may include, its own among them.
ALLOWED_LAYERS = {
    "common": {"common"},
    "parallel": {"common", "parallel"},
    "kernels": {"common", "parallel", "kernels"},
    "solver": {"common", "parallel", "kernels", "solver"},
    "engine": {"common", "parallel", "kernels", "solver", "engine"},
}
# Plain records of the engine that the kernels' and solvers' signatures take.
SHARED_RECORDS = {"engine/records.hpp", "engine/workspace.hpp"}
RECORD_USERS = {"kernels", "solver"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
SOURCE_SUFFIXES = {".hpp", ".cpp", ".h", ".cc"}


def is_python_header(name: str) -> bool:
    """Whether `name` is CPython's or NumPy's C header, which only the bindings may include."""
    return name == "Python.h" or name.startswith("numpy/")


def violations(root: Path) -> list[str]:
    """Every include under ``root/src`` that breaks the direction, as readable lines."""
    src = root / "src"
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(src)
        layer = relative.parts[0]
        where = f"src/{relative.as_posix()}"
        if layer not in ALLOWED_LAYERS:
            found.append(f"{where}: not in a known layer ({', '.join(ALLOWED_LAYERS)})")
            continue
        text = path.read_text(encoding="utf-8")
        for match in INCLUDE.finditer(text):
            quoted, name = match.group(1) == '"', match.group(2)
            line = text.count("\n", 0, match.start()) + 1
            at = f"{where}:{line}: includes {name}"
            if is_python_header(name) or name.startswith("bindings/"):
                found.append(f"{at}: only the bindings may include it")
                continue
            if not quoted:
                continue
            target = next(
                (c for c in (path.parent / name, src / name) if c.is_file()),
                None,
            )
            if target is None or not target.resolve().is_relative_to(src.resolve()):
                found.append(f"{at}: no such header under src/")
                continue
            included = target.resolve().relative_to(src.resolve()).as_posix()
            included_layer = included.split("/")[0]
            if included_layer in ALLOWED_LAYERS[layer]:
                continue
            if layer in RECORD_USERS and included in SHARED_RECORDS:
                continue
            found.append(f"{at}: {layer} may include only {sorted(ALLOWED_LAYERS[layer])}")
    return found


def main(argv: list[str]) -> int:
    """Check the repository at argv[1] (default: this script's repository)."""
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    found = violations(root)
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) against the layer order", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

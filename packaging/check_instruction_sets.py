"""Checks that a wheel's extension needs more than x86-64-v2 only inside its dispatched kernels.

VEX-encoded instructions (AVX, AVX2, FMA) may appear only in the functions of the x86-64-v3 and
x86-64-v4 kernel copies, EVEX-encoded ones (AVX-512) only in the x86-64-v4 copy; every other
function must run on any x86-64-v2 CPU. The kernel copies' function names end in their target
(".x86_64_v3", see cmake/LocalizeKernelObject.cmake). Usage: check_instruction_sets.py <wheel>
"""

import re
import subprocess
import sys
import tempfile
import zipfile
from collections import Counter
from pathlib import Path

FUNCTION = re.compile(r"^[0-9a-f]+ <(?P<name>.+)>:$")
INSTRUCTION = re.compile(r"^\s+[0-9a-f]+:\t(?P<bytes>[0-9a-f ]+?)\s*\t(?P<text>.+)$")
# Segment and address-size overrides, which may come before a VEX or EVEX prefix.
LEGACY_PREFIXES = {"26", "2e", "36", "3e", "64", "65", "67"}
ALLOWED = {"vex": (".x86_64_v3", ".x86_64_v4"), "evex": (".x86_64_v4",)}


def encoding(raw: str) -> str | None:
    """'vex', 'evex' or None for the bytes of one 64-bit instruction."""
    codes = [code for code in raw.split() if code not in LEGACY_PREFIXES]
    if not codes:
        return None
    return {"c4": "vex", "c5": "vex", "62": "evex"}.get(codes[0])


def misplaced_instructions(library: Path) -> tuple[list[str], Counter[str]]:
    listing = subprocess.run(
        ["objdump", "-d", "--wide", str(library)],
        capture_output=True,
        text=True,
        check=True,
    )
    problems: list[str] = []
    seen: Counter[str] = Counter()
    function = "?"
    for line in listing.stdout.splitlines():
        if match := FUNCTION.match(line):
            function = match["name"]
            continue
        match = INSTRUCTION.match(line)
        if not match or (kind := encoding(match["bytes"])) is None:
            continue
        seen[kind] += 1
        if not function.endswith(ALLOWED[kind]):
            problems.append(f"{kind} {match['text'].strip()} in {function}")
    return problems, seen


def main(wheel: str) -> int:
    with tempfile.TemporaryDirectory() as scratch:
        with zipfile.ZipFile(wheel) as archive:
            names = [name for name in archive.namelist() if name.endswith(".so")]
            archive.extractall(scratch, names)
        if not names:
            print(f"{wheel}: no extension module")
            return 1
        failed = False
        for name in names:
            problems, seen = misplaced_instructions(Path(scratch, name))
            print(f"{name}: {seen['vex']} VEX and {seen['evex']} EVEX instructions")
            for problem in problems[:20]:
                print("  outside its kernels:", problem)
            # No AVX-512 at all would mean the x86-64-v4 kernels are missing.
            failed = failed or bool(problems) or seen["evex"] == 0
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

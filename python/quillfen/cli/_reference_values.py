"""Known true values of a model's coefficients, read from a JSON file for the plot to draw."""

import json
import math
from pathlib import Path

from quillfen.cli._command_error import CommandError

EXAMPLE = '{"age": 0.8, "intercept": 10}'


def read_reference_values(path: Path) -> dict[str, float]:
    """The coefficient names and true values of the JSON object in the file at `path`.

    Parameters
    ----------
    path : Path
        A UTF-8 JSON file holding one object of names and finite numbers, such as
        ``{"age": 0.8, "intercept": 10}``.

    Returns
    -------
    dict of str to float
        The values by name, as the file gives them.

    Raises
    ------
    CommandError
        When the file is missing or unreadable, is not JSON, or is not such an object.
    """
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise CommandError(f"{path}: no such file") from None
    except (OSError, UnicodeDecodeError) as error:
        raise CommandError(f"{path}: cannot read the reference values ({error})") from None
    try:
        content = json.loads(text)
    except ValueError as error:  # a JSONDecodeError, or an integer of too many digits
        raise CommandError(f"{path}: not JSON ({error})") from None
    if not isinstance(content, dict):
        raise CommandError(
            f"{path}: expected a JSON object of coefficient names and values, like {EXAMPLE}"
        )
    return {name: _finite_number(path, name, value) for name, value in content.items()}


def _finite_number(path: Path, name: str, value: object) -> float:
    # JSON's true and false are ints to Python, and json.loads accepts NaN and Infinity.
    number = None
    if isinstance(value, int | float) and not isinstance(value, bool):
        try:
            number = float(value)
        except OverflowError:  # an integer beyond the range of floats
            pass
    if number is None or not math.isfinite(number):
        raise CommandError(f"{path}: the value of {name!r} is not a finite number: {value!r}")
    return number

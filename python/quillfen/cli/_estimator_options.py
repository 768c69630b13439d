"""The options of `quillfen fit` that set StreamingHuberRegressor's parameters.

They are built from the estimator's parameter table (`quillfen._parameters`): each parameter with
a command-line flag becomes an option whose value is checked by the rule the estimator applies.
An option that is not given passes nothing, so that the estimator's own default applies.
"""

import argparse
from collections.abc import Callable
from typing import Any

from quillfen._parameters import HUBER_PARAMETERS, Parameter, Values

# The estimator parameters the command line sets, each under its own name as destination.
ESTIMATOR_OPTIONS = tuple(parameter.name for parameter in HUBER_PARAMETERS if parameter.flag)


def add_estimator_options(parser: argparse.ArgumentParser) -> None:
    """Add the estimator-parameter options to `parser`, in a group of their own.

    Each option's destination is the name of the parameter it sets (see ESTIMATOR_OPTIONS),
    and its default is None: not given.
    """
    group = parser.add_argument_group("estimator parameters (default: the estimator's)")
    for parameter in HUBER_PARAMETERS:
        if parameter.flag is not None:
            group.add_argument(parameter.flag, dest=parameter.name, **_option(parameter))


def estimator_parameters(args: argparse.Namespace) -> dict[str, Any]:
    """The estimator parameters `args` sets: those whose option was given on the command line."""
    given = {name: getattr(args, name) for name in ESTIMATOR_OPTIONS}
    return {name: value for name, value in given.items() if value is not None}


def _option(parameter: Parameter) -> dict[str, Any]:
    """The keywords of `add_argument` for the option of `parameter`."""
    values = parameter.values
    if values.boolean:  # a flag without a value that sets the other one
        return {"action": "store_const", "const": not parameter.default, "help": parameter.help}
    if values.number is None:
        return {"choices": values.options, "help": parameter.help}
    return {"type": _parser(values), "metavar": parameter.metavar, "help": parameter.help}


def _parser(values: Values) -> Callable[[str], object]:
    """An option's value from its text; argparse reports the ArgumentTypeError as a usage error
    (one line, exit status 2)."""

    def parse(text: str) -> object:
        try:
            return values.parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(f"{error}: {text!r}") from None

    return parse

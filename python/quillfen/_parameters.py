"""The estimator's parameters, each declared once: its default, the values it takes, its
documentation and its command-line option.

The estimator's validation, the Parameters section of its docstring and the options of
``quillfen fit`` are all read from `HUBER_PARAMETERS`. Nothing here imports scikit-learn or NumPy,
so that the command line builds its options without loading them.
"""

from __future__ import annotations

import math
import numbers
import sys
import textwrap
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal


@dataclass(frozen=True)
class Values:
    """The values a parameter takes: numbers of one kind from a bound on, named strings, None or
    booleans. Booleans are never numbers here, nor are NaN and infinity."""

    number: Literal["real", "integer"] | None = None
    minimum: float = 0.0
    minimum_included: bool = False
    options: tuple[str, ...] = ()
    none: bool = False
    boolean: bool = False

    def admits(self, value: object) -> bool:
        """Whether `value` is one of these values."""
        kind = type(value)
        if kind is float or kind is int:  # the common case, without abstract-class checks
            return self._admits_number(value, kind is int)  # type: ignore[arg-type]
        if value is None:
            return self.none
        if _is_bool(value):
            return self.boolean
        if isinstance(value, str):
            return value in self.options
        if isinstance(value, numbers.Integral):
            return self._admits_number(int(value), True)
        if isinstance(value, numbers.Real):
            return self._admits_number(float(value), False)
        return False

    def _admits_number(self, number: float, integral: bool) -> bool:
        if self.number is None or not (integral or self.number == "real"):
            return False
        if not integral and not math.isfinite(number):
            return False
        return number >= self.minimum if self.minimum_included else number > self.minimum

    def describe(self) -> str:
        """The values in words, as an error message names them: "None or a positive integer"."""
        parts = ["None"] if self.none else []
        parts += [f'"{option}"' for option in self.options]
        if self.number is not None:
            noun = "integer" if self.number == "integer" else "number"
            if (self.minimum, self.minimum_included) in ((0, False), (1, True)):
                parts.append(f"a positive {noun}")
            elif (self.minimum, self.minimum_included) == (0, True):
                parts.append(f"a non-negative {noun}")
            else:
                relation = "of at least" if self.minimum_included else "above"
                article = "an" if noun == "integer" else "a"
                parts.append(f"{article} {noun} {relation} {self.minimum:g}")
        if self.boolean:
            parts.append("a bool")
        return " or ".join(parts)

    def parse(self, text: str) -> object:
        """The value a command-line argument gives; ValueError with the reason when it is none of
        these values."""
        if text in self.options:
            return text
        value: object
        try:
            value = int(text) if self.number == "integer" else float(text)
        except ValueError:
            raise ValueError(
                f"not {'an integer' if self.number == 'integer' else 'a number'}"
            ) from None
        if not self.admits(value):
            raise ValueError(f"must be {self.describe()}")
        return value


def _is_bool(value: object) -> bool:
    # Without importing NumPy (the command line builds its options before loading it): a NumPy
    # bool exists only once NumPy is imported.
    numpy = sys.modules.get("numpy")
    return isinstance(value, bool) or (numpy is not None and isinstance(value, numpy.bool_))


@dataclass(frozen=True)
class Parameter:
    """One constructor parameter of an estimator.

    `doc` is its description in the docstring and `type_doc` its type there. `flag` is its
    command-line option (None: not on the command line) and `help` says what `doc` says in one
    line for it; the flag of a bool parameter takes no value and sets the opposite of the default.
    `stream_setting` marks the parameters a fitted summary depends on: a stream's first batch
    fixes them.
    """

    name: str
    default: Any
    values: Values
    type_doc: str
    doc: str
    flag: str | None = None
    help: str | None = None
    metavar: str | None = None
    stream_setting: bool = False


POSITIVE = Values("real")
NON_NEGATIVE = Values("real", minimum_included=True)
POSITIVE_INTEGER = Values("integer", minimum=1, minimum_included=True)
BOOLEAN = Values(boolean=True)

HUBER_PARAMETERS = (
    Parameter(
        "tau",
        1.345,
        POSITIVE,
        "float",
        "Huber threshold in units of `scale_`: residuals within ``tau * scale_`` of zero count"
        " quadratically, larger ones linearly. 1.345 keeps 95 % efficiency under normal noise.",
        help="Huber threshold, in units of --scale",
        flag="--tau",
        stream_setting=True,
    ),
    Parameter(
        "scale",
        "auto",
        Values("real", options=("auto",)),
        '"auto" or float',
        'Units of `tau`. "auto" estimates the scale once, from the first batch, as 1.4826 times the'
        " median absolute deviation of the residuals of a robust pilot fit (least squares"
        " reweighted with Huber weights until the scale settles), and keeps it for the rest of the"
        " stream. A first batch whose y does not vary is refused then: it leaves nothing to"
        " measure the scale by. A positive number fixes the scale; ``scale=1.0`` makes `tau` a"
        " threshold in the raw units of ``y``.",
        help="residual scale: 'auto' (robust scale of the first batch) or a number (1 = raw units)",
        flag="--scale",
        metavar="auto|NUMBER",
        stream_setting=True,
    ),
    Parameter(
        "penalty",
        "none",
        Values(options=("none", "l1")),
        '{"none", "l1"}',
        '"l1" adds an l1 penalty on every coefficient but the intercept, solved by proximal'
        " gradient; the penalty level shrinks as the stream grows. Standard errors, `summary` and"
        ' `merge` need "none".',
        help="l1: penalise every coefficient but the intercept",
        flag="--penalty",
        stream_setting=True,
    ),
    Parameter(
        "lambda_scale",
        1.0,
        NON_NEGATIVE,
        "float",
        "Multiplier of the l1 penalty level ``lambda_scale * tau * scale_ * sqrt(log(p) / W)``,"
        ' p the number of features and W the weight seen. Ignored with ``penalty="none"``.',
        help="multiplier of the l1 penalty level (0: no penalty)",
        flag="--lambda-scale",
    ),
    Parameter(
        "bandwidth_scale",
        1.0,
        POSITIVE,
        "float",
        "Multiplier of the half-width by which the Newton solver smooths the Huber curvature"
        " around ``+-tau * scale_``, in units of `scale_`.",
        help=(
            "multiplier of the half-width over which the Newton solver smooths the Huber curvature"
            " at the threshold"
        ),
        flag="--bandwidth-scale",
    ),
    Parameter(
        "max_iter",
        50,
        POSITIVE_INTEGER,
        "int",
        "Most solver iterations per batch.",
        help="most solver iterations per batch",
        flag="--max-iter",
    ),
    Parameter(
        "tol",
        None,
        Values("real", none=True),
        "float or None",
        "Convergence tolerance on the relative coefficient step per iteration. None picks 1e-8 for"
        ' ``penalty="none"`` and 1e-6 for "l1" (whose solver cannot resolve finer steps); 1e-5 for'
        " float32 data.",
        help="tolerance on the relative coefficient step",
        flag="--tol",
    ),
    Parameter(
        "ridge",
        1e-8,
        NON_NEGATIVE,
        "float",
        "Steadies the Newton solve of a singular or nearly singular system: ``ridge`` times the"
        " system's smallest positive diagonal entry is added to its diagonal (at least 1e-6 times"
        " it in float32, where a smaller term is lost in rounding). Being relative, it stays far"
        " below the curvature of every column, whatever the columns' scales, so a well-posed fit"
        " does not depend on it.",
        help="ridge of the Newton solve, relative to its smallest diagonal entry",
        flag="--ridge",
    ),
    Parameter(
        "fit_intercept",
        True,
        BOOLEAN,
        "bool",
        "Whether to fit an intercept.",
        help="fit no intercept",
        flag="--no-intercept",
        stream_setting=True,
    ),
    Parameter(
        "n_threads",
        None,
        Values("integer", minimum=1, minimum_included=True, none=True),
        "int or None",
        "Worker threads of a pool private to this estimator; None shares the process-wide pool.",
        help="worker threads of a private pool (default: the shared pool)",
        flag="--threads",
    ),
    Parameter(
        "compute_covariance",
        True,
        BOOLEAN,
        "bool",
        "Whether to gather what standard errors need (one more weighted Gram product per batch)."
        " Without it `cov_`, `bse_`, `conf_int` and `summary` are unavailable.",
        help="skip standard errors (faster)",
        flag="--no-covariance",
        stream_setting=True,
    ),
    Parameter(
        "batch_size",
        None,
        Values("integer", minimum=1, minimum_included=True, none=True),
        "int or None",
        "Rows per batch when `fit` streams its input through `partial_fit`; None: one batch.",
    ),
)


def defaults(parameters: Sequence[Parameter]) -> dict[str, Any]:
    """Every parameter's default, by name."""
    return {parameter.name: parameter.default for parameter in parameters}


def stream_settings(parameters: Sequence[Parameter]) -> tuple[str, ...]:
    """The names of the parameters a stream's first batch fixes."""
    return tuple(parameter.name for parameter in parameters if parameter.stream_setting)


def first_refusal(
    parameters: Sequence[Parameter], values: Mapping[str, Any], owner: str
) -> str | None:
    """The message that refuses the first unusable value in `values`, naming the parameter and
    its `owner` (a class name), or None when every value is usable."""
    for parameter in parameters:
        value = values[parameter.name]
        if not parameter.values.admits(value):
            return (
                f"The '{parameter.name}' parameter of {owner} must be"
                f" {parameter.values.describe()}. Got {value!r} instead."
            )
    return None


def parameters_section(parameters: Sequence[Parameter], indent: str = "    ") -> str:
    """The numpydoc Parameters section that documents `parameters`, indented by `indent`."""
    lines = [f"{indent}Parameters", f"{indent}----------"]
    for parameter in parameters:
        default = parameter.default
        shown = f'"{default}"' if isinstance(default, str) else repr(default)
        lines.append(f"{indent}{parameter.name} : {parameter.type_doc}, default={shown}")
        lines += textwrap.wrap(
            parameter.doc,
            width=100,
            initial_indent=indent * 2,
            subsequent_indent=indent * 2,
            break_on_hyphens=False,
        )
    return "\n".join(lines)

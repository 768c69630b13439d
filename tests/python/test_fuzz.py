"""Hostile-caller fuzzing: random mixes of good and bad arguments to every method.

Whatever is passed, only the documented exception classes come out, a failed call leaves the
summary exactly as it was, and the caller's arrays are never written. The short profile runs in
`make test`; QUILLFEN_FUZZ_CALLS sets the number of calls (`make fuzz` makes 100000).
"""

import functools
import math
import os
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from _quillfen_native_cpu import NativeCpuEngine
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

CALLS_PER_EXAMPLE = 8
TOTAL_CALLS = int(os.environ.get("QUILLFEN_FUZZ_CALLS", "2400"))
P = 3  # parameters of the fuzzed engines: two features and the intercept


@functools.cache
def integers(low: int, high: int) -> st.SearchStrategy[int]:
    """Strategies are costly to build and validate: each is made once."""
    return st.integers(low, high)


def pick(draw: st.DrawFn, options: list[Any]) -> Any:
    return options[draw(integers(0, len(options) - 1))]


class CallbackError(Exception):
    """Raised by the conversion callbacks below; the converter must let it through."""


# The documented outcomes of a bad argument (conversion callbacks may raise their own).
DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError, CallbackError)


class Converts:
    """A scalar whose conversion protocol runs caller code: returns a value, raises, or re-enters
    the engine while the call that converts it holds the engine."""

    def __init__(self, value: float, action: str, engine: NativeCpuEngine) -> None:
        self.value, self.action, self.engine = value, action, engine

    def _convert(self) -> Any:
        if self.action == "raise":
            raise CallbackError("conversion refused")
        if self.action == "reenter":
            self.engine.state()  # refused while the outer call holds the engine exclusively
        return self.value

    def __float__(self) -> float:
        return float(self._convert())

    def __index__(self) -> int:
        return int(self._convert())


ARRAY_KINDS = ["good"] * 6 + [
    "other_width", "int", "swapped", "ndim", "transposed", "strided", "list", "scalar", "none",
    "nan", "inf", "huge", "empty", "short", "readonly",
]  # fmt: skip
BAD_SCALARS = [
    None, "1.0", b"1", [1.0], math.nan, math.inf, -math.inf, -1, 0, 0.0, -0.0, True, 10**400,
    2**63, 2**64, -(2**63) - 1, 1e308, 5e-324, np.float32(2.0), np.int64(3), np.bool_(True), 1.5,
]  # fmt: skip


def arrays(draw: st.DrawFn, dtype: str, shape: tuple[int, ...]) -> Any:
    """A good array of `shape`, or one that breaks a rule of kind, layout, size or value."""
    rng = np.random.default_rng(draw(integers(0, 2**32 - 1)))
    good = rng.standard_normal(shape).astype(dtype)
    kind = pick(draw, ARRAY_KINDS)
    if kind == "other_width":
        return good.astype("float32" if dtype == "float64" else "float64")
    if kind == "int":
        return good.astype(np.int64)
    if kind == "swapped":
        return good.astype(np.dtype(dtype).newbyteorder())
    if kind == "ndim":
        return good.reshape(-1) if good.ndim == 2 else good.reshape(-1, 1)
    if kind == "transposed":
        return np.ascontiguousarray(good.reshape(shape[::-1]) if good.ndim == 2 else good).T
    if kind == "strided":
        return np.repeat(good, 2, axis=0)[::2]
    if kind == "list":
        return good.tolist()
    if kind == "scalar":
        return good.dtype.type(1.0)
    if kind == "none":
        return None
    if kind in ("nan", "inf", "huge") and good.size > 0:
        good.flat[draw(integers(0, good.size - 1))] = {
            "nan": np.nan,
            "inf": -np.inf,
            "huge": np.finfo(dtype).max,
        }[kind]
    if kind == "empty":
        return np.empty((0,) + shape[1:], dtype)
    if kind == "short":
        return good[: max(shape[0] - 1, 0)]
    if kind == "readonly":
        good.flags.writeable = False
    return good


def scalars(draw: st.DrawFn, good: Any, engine: NativeCpuEngine) -> Any:
    """The good value, or a wrong type, an extreme value, or a conversion callback."""
    choice = draw(integers(0, len(BAD_SCALARS) + 4))
    if choice < 2:
        return good
    if choice < 5:
        return Converts(good, ["value", "raise", "reenter"][choice - 2], engine)
    return BAD_SCALARS[choice - 5]


def update_call(draw: st.DrawFn, engine: NativeCpuEngine, dtype: str) -> Callable[[], Any]:
    rows = draw(integers(1, 40))
    values = [
        arrays(draw, dtype, (rows, P)),
        arrays(draw, dtype, (rows,)),
        None if draw(integers(0, 1)) else arrays(draw, dtype, (rows,)),
        scalars(draw, float(rows), engine),
        scalars(draw, P - 1, engine),
        scalars(draw, True, engine),
        scalars(draw, 1.345, engine),
        pick(draw, ["none", "l1", "L1", "none ", "", None, 1]),
        scalars(draw, 0.5, engine),
        scalars(draw, 1.0, engine),
        scalars(draw, draw(integers(1, 30)), engine),
        scalars(draw, 1e-6, engine),
        scalars(draw, 1e-8, engine),
    ]
    return bound_call(draw, engine.update, values, UPDATE_NAMES)


UPDATE_NAMES = [
    "x_design", "y", "sample_weight", "batch_weight", "n_features_in", "fit_intercept", "tau",
    "penalty", "lambda_scale", "bandwidth_scale", "max_iter", "tol", "ridge",
]  # fmt: skip
RESTORE_NAMES = [
    "coefficients", "information", "n_samples_seen", "batch_count", "previous_lambda",
    "weight_sum",
]  # fmt: skip


def bound_call(
    draw: st.DrawFn, method: Callable[..., Any], values: list[Any], names: list[str]
) -> Callable[[], Any]:
    """Positional, keyword, or broken binding (an argument missing, doubled or unknown)."""
    style = pick(draw, ["positional", "keyword", "keyword", "missing", "extra"])
    if style == "positional":
        return lambda: method(*values)
    keywords = dict(zip(names, values, strict=True))
    if style == "missing":
        del keywords[pick(draw, names)]
    elif style == "extra":
        if draw(integers(0, 1)):
            return lambda: method(values[0], **keywords)  # the first argument given twice
        keywords["unknown"] = values[0]
    return lambda: method(**keywords)


def restore_call(draw: st.DrawFn, engine: NativeCpuEngine, dtype: str) -> Callable[[], Any]:
    weight = pick(draw, [10.0, 0.0, -0.0, -1.0, math.nan])
    values = [
        arrays(draw, dtype, (pick(draw, [P, P, P, P - 1, P + 1]),)),
        arrays(draw, dtype, (P, pick(draw, [P, P, P, P + 1]))),
        scalars(draw, pick(draw, [10, 0]), engine),
        scalars(draw, 1, engine),
        scalars(draw, 0.1, engine),
        scalars(draw, weight, engine),
    ]
    return bound_call(draw, engine.restore, values, RESTORE_NAMES)


def any_call(draw: st.DrawFn, engine: NativeCpuEngine, dtype: str) -> Callable[[], Any]:
    method = pick(draw, ["update"] * 4 + ["restore"] * 2 + ["predict"] * 2 + ["other"])
    if method == "update":
        return update_call(draw, engine, dtype)
    if method == "restore":
        return restore_call(draw, engine, dtype)
    if method == "predict":
        design = arrays(draw, dtype, (draw(integers(0, 30)), pick(draw, [P, P, 2])))
        return pick(
            draw,
            [
                lambda: engine.predict(design),
                lambda: engine.predict(x_design=design),
                lambda: engine.predict(),
                lambda: engine.predict(design, design),
            ],
        )
    return pick(
        draw,
        [
            engine.state,
            lambda: engine.state(1),
            lambda: (engine.dtype, engine.n_parameters, engine.n_threads),
            lambda: engine.has_dedicated_thread_pool,
            lambda: setattr(engine, "n_parameters", 4),
        ],
    )


def snapshot(engine: NativeCpuEngine) -> list[bytes | int | float]:
    state = engine.state()
    return [value.tobytes() if isinstance(value, np.ndarray) else value for value in state.values()]


def arrays_in(call: Callable[[], Any]) -> list[np.ndarray]:
    """The NumPy arrays a call closes over, directly or through its bound arguments."""
    found: list[np.ndarray] = []
    for cell in getattr(call, "__closure__", None) or ():
        content = cell.cell_contents
        items = content.values() if isinstance(content, dict) else content
        if isinstance(content, np.ndarray):
            items = [content]
        elif not isinstance(content, (dict, list, tuple)):
            continue
        found.extend(item for item in items if isinstance(item, np.ndarray))
    return found


@settings(
    max_examples=max(1, TOTAL_CALLS // CALLS_PER_EXAMPLE),
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(data=st.data(), dtype=st.sampled_from(["float64", "float32"]), private=st.booleans())
def test_hostile_calls_raise_only_documented_errors_and_change_nothing(data, dtype, private):
    engine = NativeCpuEngine(dtype, P, n_threads=2 if private else None)
    for _ in range(CALLS_PER_EXAMPLE):
        call = any_call(data.draw, engine, dtype)
        inputs = arrays_in(call)
        before_inputs = [(array.tobytes(), array.flags.writeable) for array in inputs]
        before = snapshot(engine)
        try:
            call()
        except AttributeError:
            pass  # assigning a read-only property: the interpreter's own refusal
        except DOCUMENTED:
            assert snapshot(engine) == before
        after_inputs = [(array.tobytes(), array.flags.writeable) for array in inputs]
        assert after_inputs == before_inputs


@pytest.mark.parametrize(
    "arguments",
    [
        ("float16", 3, None),
        ("float64", 0, None),
        ("float64", -1, None),
        ("float64", 2**32, None),
        ("float64", 3.0, None),
        ("float64", 3, 0),
        ("float64", 3, -3),
        ("float64", 3, 2**63),
        ("float64", 3, 1.5),
        (np.dtype("float64"), 3, None),
        (b"float64", 3, None),
    ],
)
def test_constructor_rejects_bad_arguments_with_documented_errors(arguments):
    with pytest.raises((TypeError, ValueError, OverflowError)):
        NativeCpuEngine(*arguments)

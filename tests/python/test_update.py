import numpy as np
import pytest
from _quillfen_native_cpu import NativeCpuEngine
from batches import (
    DIAGNOSTIC_KEYS,
    STATE_KEYS,
    assert_same_state,
    make_batch,
    restore_arguments,
    update_arguments,
)


@pytest.fixture
def engine():
    return NativeCpuEngine("float64", 4)


@pytest.fixture
def batch():
    return make_batch()


def test_all_thirteen_arguments_are_required(engine, batch):
    arguments = update_arguments(*batch)
    engine.update(*arguments.values())  # all by position
    del arguments["sample_weight"]
    with pytest.raises(TypeError, match="sample_weight"):
        engine.update(**arguments)
    with pytest.raises(TypeError, match="multiple values"):
        engine.update(batch[0], **update_arguments(*batch))
    with pytest.raises(TypeError, match="unexpected keyword"):
        engine.update(**update_arguments(*batch), weights=None)
    assert engine.state()["batch_count"] == 1


@pytest.mark.parametrize(
    "order", [list, lambda names: names[::-1], lambda names: names[5:] + names[:5]]
)
def test_keywords_bind_in_any_order(batch, order):
    arguments = update_arguments(*batch)
    by_position = NativeCpuEngine("float64", 4).update(*arguments.values())
    names = order(list(arguments))
    by_keyword = NativeCpuEngine("float64", 4).update(**{name: arguments[name] for name in names})
    np.testing.assert_array_equal(by_keyword["coefficients"], by_position["coefficients"])


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("batch_weight", "300", TypeError),
        ("n_features_in", 3.0, TypeError),
        ("n_features_in", 2**63, OverflowError),
        ("fit_intercept", 1, TypeError),
        ("tau", "1.0", TypeError),
        ("tau", 10**400, OverflowError),
        ("penalty", b"none", TypeError),
        ("max_iter", -(2**63) - 1, OverflowError),
        ("ridge", None, TypeError),
    ],
)
def test_conversion_failures_carry_a_note_naming_the_parameter(engine, batch, name, value, error):
    # Every later scalar is also invalid as a value: conversion comes before any value test.
    arguments = update_arguments(*batch, max_iter=0, penalty="L1", tol=-1.0)
    arguments[name] = value
    with pytest.raises(error) as raised:
        engine.update(**arguments)
    assert raised.value.__notes__ == [f"while processing '{name}'"]


def test_a_numpy_boolean_is_a_bool(engine, batch):
    result = engine.update(**update_arguments(*batch, fit_intercept=np.True_))
    assert result["converged"] is True


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"n_features_in": 0, "max_iter": 0}, "n_features_in must be positive"),
        ({"max_iter": 0, "penalty": "l2", "x_design": [[1.0]]}, "max_iter must be positive"),
        ({"penalty": "L1"}, "unsupported native penalty"),
        ({"penalty": "l1 "}, "unsupported native penalty"),
        ({"penalty": "None", "y": "not an array"}, "unsupported native penalty"),
    ],
)
def test_surface_checks_come_in_order_before_the_arrays(engine, batch, overrides, message):
    arguments = update_arguments(*batch)
    arguments.update(overrides)
    with pytest.raises(ValueError) as raised:
        engine.update(**arguments)
    assert str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")


KIND = " must be a C-contiguous NumPy array with the engine dtype"
LAYOUT = " must be C-contiguous; copy explicitly before native CPU use"


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        # A wrong target kind is reported before a wrong design layout.
        ({"x_design": "transposed", "y": "float32"}, TypeError, "y" + KIND),
        ({"x_design": "transposed", "y": "strided"}, ValueError, "x_design" + LAYOUT),
        ({"y": "strided", "sample_weight": "float32"}, ValueError, "y" + LAYOUT),
        ({"sample_weight": "float32"}, TypeError, "sample_weight" + KIND),
        ({"sample_weight": "strided"}, ValueError, "sample_weight" + LAYOUT),
    ],
)
def test_array_checks_come_in_order(engine, batch, overrides, error, message):
    x, y = batch
    variants = {
        "x_design": {"transposed": np.asfortranarray(x)},
        "y": {"float32": y.astype(np.float32), "strided": np.repeat(y, 2)[::2]},
        "sample_weight": {
            "float32": np.ones(len(y), np.float32),
            "strided": np.ones(2 * len(y))[::2],
        },
    }
    arguments = update_arguments(x, y)
    for name, variant in overrides.items():
        arguments[name] = variants[name][variant]
    with pytest.raises(error) as raised:
        engine.update(**arguments)
    assert str(raised.value) == message


def test_arrays_pass_the_surface_as_they_are(engine, batch):
    x, y = batch

    class Subclass(np.ndarray):
        pass

    result = engine.update(**update_arguments(x.view(Subclass), y, np.ones_like(y)))
    assert result["batch_count"] == 1
    # An empty design reaches the engine, which refuses it.
    empty = np.empty((4, 0)).T
    with pytest.raises(ValueError) as raised:
        engine.update(**update_arguments(empty, y[:0]))
    assert str(raised.value) == "invalid native batch: batch must contain at least one row"


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        ({"tau": 0.0}, ValueError, "invalid native configuration: tau must be finite and positive"),
        (
            {"ridge": float("nan")},
            ValueError,
            "invalid native configuration: ridge must be finite and non-negative",
        ),
        (
            {"n_features_in": 2},
            ValueError,
            "invalid native state: coefficient shape does not match feature metadata",
        ),
        (
            {"y": "short"},
            ValueError,
            "invalid native batch: target length does not match design rows",
        ),
        (
            {"sample_weight": "negative"},
            ValueError,
            "invalid native batch: sample_weight must be finite and non-negative",
        ),
        (
            {"batch_weight": float("inf")},
            ValueError,
            "invalid native batch: batch_weight must be finite and positive",
        ),
        (
            {"x_design": "huge", "y": "huge"},
            RuntimeError,
            "native calculation produced a non-finite value",
        ),
    ],
)
def test_driver_errors_leave_the_summary_untouched(engine, batch, overrides, error, message):
    x, y = batch
    engine.update(**update_arguments(x, y, penalty="l1"))
    before = engine.state()
    variants = {
        "short": y[:-1],
        "negative": -np.ones_like(y),
        # Rows the current fit explains exactly keep their curvature weight; their squares overflow.
        "huge": {"x_design": x * 1e200, "y": (x * 1e200) @ before["coefficients"]},
    }
    arguments = update_arguments(x, y)
    for name, value in overrides.items():
        variant = variants.get(value, value) if isinstance(value, str) else value
        arguments[name] = variant[name] if isinstance(variant, dict) else variant
    with pytest.raises(error) as raised:
        engine.update(**arguments)
    assert str(raised.value) == message
    assert raised.value.__cause__ is None and not hasattr(raised.value, "__notes__")
    assert_same_state(engine.state(), before)
    # The engine stays usable and continues from the kept summary.
    assert engine.update(**update_arguments(x, y))["batch_count"] == 2


def test_counter_overflow_is_refused_and_leaves_the_summary(engine, batch):
    engine.update(**update_arguments(*batch))
    saved = engine.state()
    engine.restore(**restore_arguments(saved, batch_count=2**64 - 1))
    before = engine.state()
    assert before["batch_count"] == 2**64 - 1
    with pytest.raises(ValueError) as raised:
        engine.update(**update_arguments(*batch))
    assert str(raised.value) == "native buffer size overflow"
    assert_same_state(engine.state(), before)


def test_result_holds_the_new_summary_then_the_diagnostics(engine, batch):
    result = engine.update(**update_arguments(*batch))
    assert list(result) == STATE_KEYS + DIAGNOSTIC_KEYS
    expected_types = [
        np.ndarray,
        np.ndarray,
        bool,
        int,
        int,
        float,
        float,
        int,
        bool,
        float,
        float,
        float,
        bool,
    ]
    assert [type(value) for value in result.values()] == expected_types
    assert result["state_is_detached"] is True
    assert (result["n_samples_seen"], result["batch_count"]) == (300, 1)
    assert result["weight_sum"] == 300.0 and result["lambda_value"] == 0.0
    assert 1 <= result["iterations"] <= 50 and result["bandwidth"] > 0
    assert_same_state(engine.state(), {key: result[key] for key in STATE_KEYS})

    result["coefficients"][:] = 99.0
    result["information"][0, 0] = -1.0
    assert not np.any(engine.state()["coefficients"] == 99.0)
    assert engine.state()["information"][0, 0] > 0


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_streamed_fit_recovers_the_coefficients(dtype):
    engine = NativeCpuEngine(np.dtype(dtype).name, 4)
    for seed in range(5):
        x, y = make_batch(rows=400, dtype=dtype, seed=seed)
        result = engine.update(**update_arguments(x, y, tol=1e-6))  # within float32 precision
        assert result["converged"]
    assert result["coefficients"].dtype == dtype and result["information"].dtype == dtype
    assert result["n_samples_seen"] == 2000 and result["batch_count"] == 5
    # The outliers of ±40 barely move the robust fit.
    np.testing.assert_allclose(result["coefficients"], [1.5, -2.0, 0.0, 0.75], atol=0.1)
    x, _ = make_batch(rows=7, dtype=dtype, seed=99)
    prediction = engine.predict(x)
    assert prediction.dtype == dtype
    np.testing.assert_allclose(prediction, x @ result["coefficients"], rtol=1e-5, atol=1e-5)


def test_l1_penalty_reports_its_level_and_shrinks():
    plain, penalised = NativeCpuEngine("float64", 4), NativeCpuEngine("float64", 4)
    x, y = make_batch(rows=500)
    free = plain.update(**update_arguments(x, y))
    shrunk = penalised.update(**update_arguments(x, y, penalty="l1", lambda_scale=2.0))
    assert shrunk["lambda_value"] > 0 and shrunk["previous_lambda"] == shrunk["lambda_value"]
    slopes = slice(0, 3)
    assert np.abs(shrunk["coefficients"][slopes]).sum() < np.abs(free["coefficients"][slopes]).sum()

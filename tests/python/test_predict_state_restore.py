import numpy as np
import pytest
from _quillfen_native_cpu import NativeCpuEngine
from batches import (
    RESTORE_KEYS,
    STATE_KEYS,
    assert_same_state,
    make_batch,
    restore_arguments,
    update_arguments,
)
from hypothesis import given, settings
from hypothesis import strategies as st

KIND = " must be a C-contiguous NumPy array with the engine dtype"
LAYOUT = " must be C-contiguous; copy explicitly before native CPU use"


def fitted_engine(dtype="float64", n_threads=None, rows=300):
    engine = NativeCpuEngine(dtype, 4, n_threads)
    engine.update(**update_arguments(*make_batch(rows=rows, dtype=np.dtype(dtype))))
    return engine


def call_with(engine, name, value):
    """Calls the method that takes array argument `name`, with `value` in its place."""
    x, y = make_batch(rows=6)
    if name == "predict":
        return engine.predict(value)
    if name in RESTORE_KEYS:
        return engine.restore(**restore_arguments(engine.state(), **{name: value}))
    arguments = update_arguments(x, y, np.ones(6))
    arguments[name] = value
    return engine.update(**arguments)


VALID = {  # a valid value of each array argument, shaped for call_with
    "x_design": make_batch(rows=6)[0],
    "y": make_batch(rows=6)[1],
    "sample_weight": np.ones(6),
    "predict": make_batch(rows=6)[0],
    "coefficients": np.zeros(4),
    "information": np.eye(4),
}
WRONG_KIND = {
    "float32": lambda a: a.astype(np.float32),
    "byte-swapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "integer": lambda a: a.astype(np.int64),
    "one more dimension": lambda a: a[np.newaxis],
    "one less dimension": lambda a: a[0] if a.ndim == 2 else np.float64(a[0]),
    "list": lambda a: a.tolist(),
}
WRONG_LAYOUT = {
    "step of two": lambda a: np.repeat(a, 2, axis=0)[::2],
    "column-major": lambda a: np.asfortranarray(a) if a.ndim == 2 else np.repeat(a, 2)[1::2],
    "unaligned": lambda a: (
        np.frombuffer(b"\0" + a.tobytes(), np.uint8)[1:].view(a.dtype).reshape(a.shape)
    ),
}


@pytest.mark.parametrize("name", list(VALID))
@pytest.mark.parametrize("defect", list(WRONG_KIND) + list(WRONG_LAYOUT))
def test_every_array_argument_is_checked_for_kind_then_layout(name, defect):
    engine = fitted_engine()
    before = engine.state()
    if defect in WRONG_KIND:
        error, message = TypeError, KIND
        value = WRONG_KIND[defect](VALID[name])
    else:
        error, message = ValueError, LAYOUT
        value = WRONG_LAYOUT[defect](VALID[name])
        np.testing.assert_array_equal(value, VALID[name])  # the same data, only laid out anew
    shown = "x_design" if name == "predict" else name
    with pytest.raises(error) as raised:
        call_with(engine, name, value)
    assert str(raised.value) == shown + message
    assert_same_state(engine.state(), before)
    if defect in WRONG_LAYOUT:
        call_with(engine, name, np.array(value, order="C"))  # a fresh copy passes


def test_predict_evaluates_the_coefficients_on_each_row():
    engine = fitted_engine()
    x, _ = make_batch(rows=50, seed=3)
    prediction = engine.predict(x_design=x)
    np.testing.assert_allclose(prediction, x @ engine.state()["coefficients"], rtol=1e-12)
    assert (
        prediction.shape == (50,) and prediction.flags.writeable and prediction.flags.c_contiguous
    )
    assert isinstance(prediction.base, type(engine.state()["coefficients"].base))
    assert engine.predict(np.empty((0, 4))).shape == (0,)
    np.testing.assert_array_equal(NativeCpuEngine("float32", 4).predict(x.astype(np.float32)), 0)


@pytest.mark.parametrize(
    "design, message",
    [
        (np.full((3, 3), np.nan), "invalid native batch: invalid prediction shape"),
        (np.ones((3, 5)), "invalid native batch: invalid prediction shape"),
        (
            np.array([[1.0, 2.0, np.inf, 1.0]]),
            "invalid native batch: prediction input must contain only finite values",
        ),
    ],
)
def test_predict_errors(design, message):
    engine = fitted_engine()
    with pytest.raises(ValueError) as raised:
        engine.predict(design)
    assert str(raised.value) == message


def test_private_pool_predicts_the_same_bits():
    shared, private = fitted_engine(), fitted_engine(n_threads=2)
    # 250,000 rows × 4 columns: past the threshold where rows are split over the workers.
    x = np.random.default_rng(5).standard_normal((250_000, 4))
    assert shared.predict(x).tobytes() == private.predict(x).tobytes()
    assert shared.predict(x[:1000]).tobytes() == private.predict(x[:1000]).tobytes()


def test_fresh_state_and_fresh_copies():
    engine = NativeCpuEngine("float64", 2)
    state = engine.state()
    assert list(state) == STATE_KEYS
    np.testing.assert_array_equal(state["coefficients"], [0.0, 0.0])
    np.testing.assert_array_equal(state["information"], np.zeros((2, 2)))
    assert state["information"].strides == (16, 8)
    assert [state[k] for k in STATE_KEYS[2:]] == [True, 0, 0, 0.0, 0.0]
    again = engine.state()
    for key in ("coefficients", "information"):
        assert again[key] is not state[key]
        assert not np.shares_memory(again[key], state[key])
        assert again[key].base is not state[key].base


@pytest.mark.parametrize(
    "overrides, message",
    [
        # The counters are tested first, whatever else is wrong.
        (
            {"batch_count": -1, "coefficients": np.zeros(3), "previous_lambda": -1.0},
            "state counters must be non-negative",
        ),
        (
            {"coefficients": np.zeros(3), "information": np.zeros((3, 3))},
            "coefficients has the wrong length",
        ),
        ({"information": np.zeros((4, 3))}, "information has the wrong square shape"),
        (
            {"previous_lambda": float("nan"), "weight_sum": -1.0},
            "previous_lambda must be finite and non-negative",
        ),
        (
            {"previous_lambda": -0.0, "n_samples_seen": 10, "weight_sum": 0.0},
            "weight_sum is inconsistent with the state counters",
        ),
        (
            {"weight_sum": float("inf"), "coefficients": np.zeros(8)[::2]},
            "weight_sum is inconsistent with the state counters",
        ),
        (
            {"coefficients": np.zeros(8)[::2], "information": np.full((4, 4), np.nan)},
            "coefficients" + LAYOUT,
        ),
        (
            {"information": np.diag([1.0, 1.0, np.inf, 1.0])},
            "state arrays must contain only finite values",
        ),
    ],
)
def test_restore_checks_everything_before_writing(overrides, message):
    engine = fitted_engine()
    before = engine.state()
    with pytest.raises(ValueError) as raised:
        engine.restore(**restore_arguments(before, **overrides))
    assert str(raised.value) == message
    assert_same_state(engine.state(), before)


def test_restore_accepts_an_empty_summary_with_negative_zero_weight():
    engine = fitted_engine()
    engine.restore(np.zeros(4), np.zeros((4, 4)), 0, 0, 0.0, -0.0)
    assert engine.state()["n_samples_seen"] == 0


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("n_samples_seen", 2**64, OverflowError),
        ("batch_count", -(2**63) - 1, OverflowError),
        ("batch_count", 1.0, TypeError),
        ("previous_lambda", "0", TypeError),
        ("weight_sum", 10**400, OverflowError),
    ],
)
def test_restore_conversion_failures_name_the_parameter(name, value, error):
    engine = fitted_engine()
    # Converting every scalar comes before the counter test.
    arguments = restore_arguments(engine.state(), n_samples_seen=-5)
    arguments[name] = value
    with pytest.raises(error) as raised:
        engine.restore(**arguments)
    assert raised.value.__notes__ == [f"while processing '{name}'"]


finite = st.floats(allow_nan=False, allow_infinity=False, width=32)


@settings(max_examples=40, deadline=None)
@given(
    dtype=st.sampled_from(["float32", "float64"]),
    seed=st.integers(0, 2**32 - 1),
    counters=st.tuples(st.integers(1, 2**64 - 1), st.integers(0, 2**64 - 1)),
    previous_lambda=st.floats(0.0, 1e300),
    weight_sum=st.floats(1e-300, 1e300),
)
def test_any_saved_summary_round_trips_exactly(dtype, seed, counters, previous_lambda, weight_sum):
    rng = np.random.default_rng(seed)
    coefficients = rng.standard_normal(3).astype(dtype)
    information = (rng.standard_normal((3, 3)) * 1e3).astype(dtype)
    source = NativeCpuEngine(dtype, 3)
    source.restore(coefficients, information, *counters, previous_lambda, weight_sum)
    saved = source.state()
    copy = NativeCpuEngine(dtype, 3, n_threads=1)
    copy.restore(**restore_arguments(saved))
    assert_same_state(copy.state(), saved)
    assert saved["n_samples_seen"] == counters[0] and saved["information"].dtype == dtype


def test_restored_engine_continues_like_the_original():
    original = fitted_engine()
    copy = NativeCpuEngine("float64", 4)
    copy.restore(**restore_arguments(original.state()))
    batch = make_batch(seed=8)
    result = original.update(**update_arguments(*batch))
    again = copy.update(**update_arguments(*batch))
    assert again["batch_count"] == 2
    assert_same_state(again, result)

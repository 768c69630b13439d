"""Synthetic batches and call helpers shared by the engine-method tests."""

import numpy as np

STATE_KEYS = [
    "coefficients",
    "information",
    "state_is_detached",
    "n_samples_seen",
    "batch_count",
    "previous_lambda",
    "weight_sum",
]
DIAGNOSTIC_KEYS = [
    "iterations",
    "converged",
    "objective",
    "lambda_value",
    "bandwidth",
    "used_regularized_fallback",
]
RESTORE_KEYS = [key for key in STATE_KEYS if key != "state_is_detached"]
TRUE_COEFFICIENTS = np.array([1.5, -2.0, 0.0, 0.75])  # the last one is the intercept


def make_batch(rows=300, dtype=np.float64, seed=0, outliers=0.05):
    """A design with the intercept column last and a heavy-tailed target with gross outliers."""
    rng = np.random.default_rng(seed)
    features = rng.standard_normal((rows, TRUE_COEFFICIENTS.size - 1))
    x = np.column_stack([features, np.ones(rows)])
    y = x @ TRUE_COEFFICIENTS + 0.5 * rng.standard_t(3, rows)
    hit = rng.random(rows) < outliers
    y[hit] += rng.choice([-40.0, 40.0], hit.sum())
    return np.ascontiguousarray(x, dtype=dtype), np.ascontiguousarray(y, dtype=dtype)


def update_arguments(x, y, sample_weight=None, **overrides):
    """Keyword arguments of a valid update of `x`, `y`; `overrides` replaces any of them."""
    arguments = dict(
        x_design=x,
        y=y,
        sample_weight=sample_weight,
        batch_weight=float(len(y)),
        n_features_in=x.shape[1] - 1,
        fit_intercept=True,
        tau=1.345,
        penalty="none",
        lambda_scale=0.5,
        bandwidth_scale=1.0,
        max_iter=50,
        tol=1e-8,
        ridge=1e-8,
    )
    arguments.update(overrides)
    return arguments


def restore_arguments(state, **overrides):
    arguments = {key: state[key] for key in RESTORE_KEYS}
    arguments.update(overrides)
    return arguments


def assert_same_state(actual, expected):
    """Equal keys in the same order, arrays equal bit for bit, scalars equal with their types."""
    assert list(actual) == list(expected)
    for key, value in expected.items():
        if isinstance(value, np.ndarray):
            assert actual[key].dtype == value.dtype and actual[key].shape == value.shape
            assert actual[key].tobytes() == value.tobytes(), key
        else:
            assert type(actual[key]) is type(value) and actual[key] == value, key

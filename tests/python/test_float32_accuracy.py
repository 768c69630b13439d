"""float32 streams keep float64's accuracy at scale: a large batch sums many Huber losses, and the
objective's value must stay precise enough for the Newton step test near the minimiser."""

import numpy as np
import pytest
from batches import update_arguments

from quillfen import NativeCpuEngine

COLUMNS, TAU = 20, 1.345


def heavy_tailed_batch(rng, truth, rows):
    """t(2.5) noise plus 3% gross errors of size 20; the intercept column last."""
    x = rng.standard_normal((rows, COLUMNS))
    x[:, -1] = 1.0
    y = x @ truth + rng.standard_t(2.5, rows)
    bad = rng.random(rows) < 0.03
    y[bad] += rng.choice([-20.0, 20.0], bad.sum())
    return x, y


def update(engine, x, y, dtype):
    return engine.update(**update_arguments(x.astype(dtype), y.astype(dtype), tau=TAU))


def streamed_error(dtype, truth, seed, batches, rows):
    rng = np.random.default_rng(seed)
    engine = NativeCpuEngine(dtype, COLUMNS)
    for _ in range(batches):
        update(engine, *heavy_tailed_batch(rng, truth, rows), dtype)
    return np.linalg.norm(engine.state()["coefficients"].astype(np.float64) - truth)


def test_float32_stream_is_as_accurate_as_float64():
    truth = np.random.default_rng(7).uniform(-2.0, 2.0, COLUMNS)
    double_error = streamed_error("float64", truth, 8, batches=20, rows=50_000)
    single_error = streamed_error("float32", truth, 8, batches=20, rows=50_000)
    assert single_error <= 1.02 * double_error, (single_error, double_error)


@pytest.mark.parametrize("rows", [100_000, 300_000])
def test_float32_objective_of_a_large_batch_is_the_double_precision_loss(rows):
    # A float32 running sum of this many losses drifts by some 1e-5 of its value.
    rng = np.random.default_rng(rows)
    x, y = heavy_tailed_batch(rng, rng.uniform(-2.0, 2.0, COLUMNS), rows)
    x, y = x.astype(np.float32), y.astype(np.float32)
    result = update(NativeCpuEngine("float32", COLUMNS), x, y, "float32")
    residuals = y.astype(np.float64) - x.astype(np.float64) @ result["coefficients"].astype(float)
    size = np.abs(residuals)
    loss = np.where(size <= TAU, 0.5 * residuals**2, TAU * size - 0.5 * TAU**2).sum() / rows
    assert result["objective"] == pytest.approx(loss, rel=1e-6)

"""The native batch sums: pinned to the engine's own update and to the Huber formulas."""

import math

import numpy as np
import pytest

from quillfen import NativeCpuEngine
from quillfen._design import DesignBuffer
from quillfen._huber import bandwidth, batch_sums
from quillfen._native_terms import WorkerPool, batch_terms, fill_design


def huber_batch(rows, features, dtype, seed=0, weighted=False):
    rng = np.random.default_rng(seed)
    design = np.hstack([rng.standard_normal((rows, features)), np.ones((rows, 1))]).astype(dtype)
    beta = rng.standard_normal(features + 1).astype(dtype)
    y = (design @ beta + rng.standard_t(2, rows)).astype(dtype)
    weights = rng.uniform(0.0, 3.0, rows).astype(dtype) if weighted else None
    return design, y, weights, beta


def reference_sums(design, y, weights, beta, threshold, half_width):
    """The Huber sums written out in float64, from their textbook formulas."""
    z = design.astype(np.float64)
    s = np.ones(len(y)) if weights is None else weights.astype(np.float64)
    r = y.astype(np.float64) - z @ beta.astype(np.float64)
    psi = np.clip(r, -threshold, threshold)
    rho = np.where(np.abs(r) <= threshold, 0.5 * r * r, threshold * np.abs(r) - 0.5 * threshold**2)
    ramp = np.clip((threshold + half_width - np.abs(r)) / (2.0 * half_width), 0.0, 1.0)
    return {
        "loss": s @ rho,
        "gradient": z.T @ (s * psi),
        "absolute_gradient": np.abs(z).T @ np.abs(s * psi),
        "curvature": (z * (s * ramp)[:, None]).T @ z,
        "score": (z * (s * psi * psi)[:, None]).T @ z,
        "weight": s.sum(),
    }


@pytest.mark.parametrize("dtype, rtol", [("float64", 1e-12), ("float32", 2e-4)])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("rows", [1000, 60_000], ids=["one-block", "split-over-workers"])
def test_sums_match_the_huber_formulas(dtype, rtol, weighted, rows):
    design, y, weights, beta = huber_batch(rows, 7, dtype, weighted=weighted)
    sums = batch_sums(
        design,
        y,
        weights,
        beta,
        1.5,
        0.4,
        loss=True,
        gradient=True,
        absolute_gradient=True,
        curvature=True,
        score=True,
    )
    assert np.array_equal(sums.score, sums.score.T)
    assert np.array_equal(sums.curvature, sums.curvature.T)
    for name, expected in reference_sums(design, y, weights, beta, 1.5, 0.4).items():
        scale = np.max(np.abs(expected))
        np.testing.assert_allclose(
            getattr(sums, name), expected, rtol=0, atol=rtol * scale, err_msg=name
        )


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_curvature_and_bandwidth_are_those_of_the_engine_update(weighted):
    # From an empty summary, the information after one update is exactly the batch's curvature
    # Gram at the fitted coefficients, with the bandwidth the update reports.
    design, y, weights, _ = huber_batch(5000, 6, "float64", seed=3, weighted=weighted)
    weight = float(len(y) if weights is None else weights.sum())
    tau, scale, bandwidth_scale = 1.345, 2.5, 1.7
    engine = NativeCpuEngine("float64", 7)
    result = engine.update(
        design,
        y,
        weights,
        weight,
        6,
        True,
        tau * scale,
        "none",
        1.0,
        bandwidth_scale * scale,
        50,
        1e-10,
        0.0,
    )
    expected_bandwidth = bandwidth(tau, scale, bandwidth_scale, 6, weight)
    assert math.isclose(result["bandwidth"], expected_bandwidth, rel_tol=1e-14)
    sums = batch_sums(
        design, y, weights, result["coefficients"], tau * scale, result["bandwidth"], curvature=True
    )
    information = result["information"]
    np.testing.assert_allclose(
        sums.curvature, information, rtol=0, atol=1e-12 * np.max(np.abs(information))
    )


def test_results_repeat_for_a_pool_and_agree_across_pool_sizes():
    design, y, weights, beta = huber_batch(200_000, 9, "float64", seed=5, weighted=True)
    one, two = WorkerPool(1), WorkerPool(2)
    first = batch_terms(design, y, weights, beta, 1.2, 0.3, score=True, gradient=True, pool=two)
    again = batch_terms(design, y, weights, beta, 1.2, 0.3, score=True, gradient=True, pool=two)
    alone = batch_terms(design, y, weights, beta, 1.2, 0.3, score=True, gradient=True, pool=one)
    for name in ("score", "gradient"):
        assert np.array_equal(first[name], again[name])
        np.testing.assert_allclose(first[name], alone[name], rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"coefficients": np.zeros(3)}, "one entry per design column"),
        ({"y": np.zeros(10)}, "agree in rows"),
        ({"threshold": 0.0}, "finite and positive"),
        ({"design": np.zeros((20, 8), np.float32)}, "dtype"),
    ],
)
def test_inconsistent_arguments_are_refused(arguments, error):
    design, y, _, beta = huber_batch(20, 7, "float64")
    call = {
        "design": design,
        "y": y,
        "sample_weight": None,
        "coefficients": beta,
        "threshold": 1.0,
        "bandwidth": 0.5,
    } | arguments
    with pytest.raises((ValueError, TypeError), match=error):
        batch_terms(**call, score=True)


def test_a_non_finite_sum_is_an_error_not_a_result():
    design, y, _, beta = huber_batch(20, 3, "float64")
    design[4, 1] = np.inf
    with pytest.raises(RuntimeError, match="non-finite"):
        batch_terms(design, y, None, beta, 1.0, 0.5, score=True)


@pytest.mark.parametrize("source_type", ["float64", "float32", "int32"])
@pytest.mark.parametrize("target_type", ["float64", "float32"])
@pytest.mark.parametrize("layout", ["C", "F", "strided"])
@pytest.mark.parametrize("rows", [7, 300_000])
def test_design_fill_copies_any_layout_and_measures_the_largest_value(
    source_type, target_type, layout, rows
):
    rng = np.random.default_rng(1)
    values = (rng.standard_normal((2 * rows, 4)) * 100).astype(source_type)
    source = {"C": values[:rows], "F": np.asfortranarray(values[:rows]), "strided": values[::2]}
    X = source[layout]
    buffer = DesignBuffer(target_type, fit_intercept=True)
    design = buffer.fill(X)
    expected = np.hstack([X.astype(target_type), np.ones((rows, 1), target_type)])
    assert design.flags.c_contiguous and np.array_equal(design, expected)
    if source_type != "int32":
        assert buffer.largest_magnitude == np.max(np.abs(expected))


def test_design_fill_refuses_a_mismatched_output():
    with pytest.raises(ValueError, match="one column per feature"):
        fill_design(np.zeros((3, 2)), np.empty((3, 2)), True)

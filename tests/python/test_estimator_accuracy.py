"""StreamingHuberRegressor's fits against independent references: a full-data Huber minimiser,
the raw engine, duplicated rows, and the truth of simulated streams."""

import numpy as np
import pytest
from scipy.optimize import minimize
from statsmodels.datasets import stackloss

from quillfen import NativeCpuEngine, StreamingHuberRegressor, merge
from quillfen._blas_threads import one_blas_thread
from quillfen._pilot import robust_pilot
from quillfen._stall import newton_step_is_negligible


def stackloss_data():
    data = stackloss.load()
    return np.asarray(data.exog, dtype=np.float64), np.asarray(data.endog, dtype=np.float64)


def huber_minimiser(X, y, threshold):
    """Full-data Huber fit at a fixed threshold, intercept last, by L-BFGS from least squares."""
    design = np.hstack([X, np.ones((X.shape[0], 1))])

    def loss_and_gradient(beta):
        r = y - design @ beta
        quadratic = np.abs(r) <= threshold
        loss = np.where(quadratic, 0.5 * r * r, threshold * np.abs(r) - 0.5 * threshold**2)
        return loss.sum(), -design.T @ np.clip(r, -threshold, threshold)

    start = np.linalg.lstsq(design, y, rcond=None)[0]
    options = {"ftol": 1e-15, "gtol": 1e-12, "maxiter": 10_000, "maxcor": 20}
    return minimize(loss_and_gradient, start, jac=True, method="L-BFGS-B", options=options).x


def params(model):
    return np.append(model.coef_, model.intercept_)


def scaled_stream(rng, n_batches=5, rows=1000):
    """Features x 10 and an intercept of 20: a fresh engine started at zero stalls on these."""
    for _ in range(n_batches):
        X = rng.standard_normal((rows, 3)) * 10.0
        yield X, X @ [0.2, 0.0, -0.1] + 20.0 + rng.standard_t(3, rows)


@pytest.mark.parametrize("scale", ["auto", 1.0])
def test_one_batch_of_raw_stackloss_is_the_full_data_huber_fit(scale):
    X, y = stackloss_data()
    model = StreamingHuberRegressor(scale=scale).fit(X, y)
    assert model.converged_
    reference = huber_minimiser(X, y, 1.345 * model.scale_)
    np.testing.assert_allclose(params(model), reference, rtol=0, atol=1e-6)
    if scale == "auto":
        # A fixed point: 1.4826 x the median absolute deviation of the residuals of the Huber fit
        # at its own threshold (21 rows: a middle value exists).
        residuals = y - np.c_[X, np.ones(21)] @ reference
        deviation = np.median(np.abs(residuals - np.median(residuals)))
        assert model.scale_ == pytest.approx(1.4826022185056 * deviation, rel=1e-3)
    else:
        assert model.scale_ == 1.0


@pytest.mark.parametrize("scale", ["auto", 1.0])
def test_stackloss_in_several_batches_converges_every_batch(scale):
    X, y = stackloss_data()
    model = StreamingHuberRegressor(scale=scale)
    for rows in np.array_split(np.arange(21), 3):
        model.partial_fit(X[rows], y[rows])
    assert all(record["converged"] for record in model.history_)
    # Seven rows per batch carry little curvature into later batches; the streamed fit still
    # lands near the full-data one, far from the all-zero model.
    reference = huber_minimiser(X, y, 1.345 * model.scale_)
    assert np.abs(params(model) - reference).max() < 0.3 * np.abs(reference).max()


@pytest.mark.parametrize("scale", ["auto", 1.0])
def test_scaled_features_and_large_intercept_converge_to_the_truth(scale):
    model = StreamingHuberRegressor(scale=scale)
    for X, y in scaled_stream(np.random.default_rng(3)):
        model.partial_fit(X, y)
    assert [record["converged"] for record in model.history_] == [True] * 5
    np.testing.assert_allclose(params(model), [0.2, 0.0, -0.1, 20.0], atol=0.05)


def test_partial_fit_equals_the_raw_engine_fed_the_same_batches_from_the_same_start():
    rng = np.random.default_rng(4)
    batches = list(scaled_stream(rng, n_batches=4, rows=300))
    weights = [rng.uniform(0.5, 2.0, 300) for _ in batches]
    model = StreamingHuberRegressor(tau=1.2, bandwidth_scale=0.7, ridge=0.0)
    for (X, y), w in zip(batches, weights, strict=False):
        model.partial_fit(X, y, sample_weight=w)

    first = np.c_[batches[0][0], np.ones(300)]
    with one_blas_thread():  # as the estimator runs its pilot fit
        pilot, scale = robust_pilot(first, batches[0][1], weights[0])
    engine = NativeCpuEngine("float64", 4)
    engine.restore(pilot, np.zeros((4, 4)), 0, 0, 0.0, 0.0)
    for (X, y), w in zip(batches, weights, strict=False):
        result = engine.update(
            np.c_[X, np.ones(300)],
            y,
            w,
            float(w.sum()),
            3,
            True,
            1.2 * scale,
            "none",
            1.0,
            0.7 * scale,
            50,
            1e-8,
            0.0,
        )
    assert model.scale_ == scale
    np.testing.assert_array_equal(params(model), result["coefficients"])
    assert model.n_samples_seen_ == 1200 and model.n_batches_ == 4


def test_a_first_batch_with_fewer_rows_than_parameters_still_streams_to_the_full_fit():
    rng = np.random.default_rng(9)
    X = rng.standard_normal((400, 10))
    y = X @ np.linspace(-1, 1, 10) + 0.5 * rng.standard_normal(400)
    full = StreamingHuberRegressor().fit(X, y)
    streamed = StreamingHuberRegressor(batch_size=7).fit(X, y)
    assert streamed.scale_ > 0.1
    assert streamed.score(X, y) > full.score(X, y) - 0.02


def test_float32_data_is_fitted_and_predicted_in_float32():
    X, y = next(scaled_stream(np.random.default_rng(5)))
    model = StreamingHuberRegressor().fit(X.astype(np.float32), y)
    assert model.coef_.dtype == np.float32
    assert model.predict(X.astype(np.float32)).dtype == np.float32
    assert model.predict(X).dtype == np.float32
    wide = StreamingHuberRegressor().fit(X.astype(np.float32).astype(np.float64), y)
    np.testing.assert_allclose(params(model), params(wide), rtol=1e-4, atol=1e-4)


def test_a_weight_of_two_is_the_row_given_twice():
    rng = np.random.default_rng(6)
    X, y = next(scaled_stream(rng, rows=200))
    counts = rng.integers(0, 3, 200)
    weighted = StreamingHuberRegressor().fit(X, y, sample_weight=counts)
    repeated = StreamingHuberRegressor().fit(np.repeat(X, counts, axis=0), np.repeat(y, counts))
    assert weighted.scale_ == pytest.approx(repeated.scale_, rel=1e-12)
    np.testing.assert_allclose(params(weighted), params(repeated), rtol=1e-6)
    np.testing.assert_allclose(weighted.bse_, repeated.bse_, rtol=1e-6)


def test_a_fit_does_not_depend_on_the_blas_thread_count():
    # Large enough that a threaded BLAS splits the pilot fit and the score Gram by thread count;
    # Dask's workers run one BLAS thread, this process usually more.
    threadpoolctl = pytest.importorskip("threadpoolctl")
    rng = np.random.default_rng(12)
    X = rng.standard_normal((100_000, 20))
    y = X @ rng.standard_normal(20) + rng.standard_t(3, 100_000)
    fits = []
    for threads in (1, 2):
        with threadpoolctl.threadpool_limits(threads, user_api="blas"):
            fits.append(StreamingHuberRegressor(batch_size=40_000).fit(X, y))
            blas = [i for i in threadpoolctl.threadpool_info() if i["user_api"] == "blas"]
            assert all(info["num_threads"] == threads for info in blas)  # given back
    one, two = fits
    assert one.scale_ == two.scale_
    assert params(one).tobytes() == params(two).tobytes()
    assert one.cov_.tobytes() == two.cov_.tobytes()


def heavy_tailed_stream(rng, truth, n_batches, rows):
    """t(3) noise with 5 % of rows replaced by symmetric gross errors."""
    for _ in range(n_batches):
        X = rng.standard_normal((rows, truth.size - 1))
        noise = rng.standard_t(3, rows)
        gross = rng.random(rows) < 0.05
        noise[gross] = rng.choice([-1.0, 1.0], gross.sum()) * rng.uniform(10, 30, gross.sum())
        yield X, X @ truth[:-1] + truth[-1] + noise


def test_95_percent_intervals_cover_the_truth_in_93_to_97_percent_of_streams():
    rng = np.random.default_rng(7)
    truth = np.array([1.0, -0.5, 2.0])
    covered = []
    for _ in range(300):
        model = StreamingHuberRegressor()
        for X, y in heavy_tailed_stream(rng, truth, n_batches=4, rows=100):
            model.partial_fit(X, y)
        low, high = model.conf_int(0.05).T
        covered.append((low <= truth) & (truth <= high))
    coverage = np.mean(covered)
    assert 0.93 <= coverage <= 0.97, coverage


def test_merging_four_disjoint_streams_is_as_accurate_as_one_full_data_fit():
    rng = np.random.default_rng(8)
    truth = np.array([1.5, 0.0, -2.0, 0.8, 3.0])
    batches = list(heavy_tailed_stream(rng, truth, n_batches=40, rows=500))
    scale = StreamingHuberRegressor().partial_fit(*batches[0]).scale_  # one threshold for all
    parts = [StreamingHuberRegressor(scale=scale) for _ in range(4)]
    for index, (X, y) in enumerate(batches):
        parts[index % 4].partial_fit(X, y)
    merged = merge(parts)
    full = StreamingHuberRegressor(scale=scale).fit(
        np.vstack([b[0] for b in batches]), np.concatenate([b[1] for b in batches])
    )
    merged_error = np.linalg.norm(params(merged) - truth)
    assert merged_error <= 1.05 * np.linalg.norm(params(full) - truth)
    assert merged.n_samples_seen_ == 20_000 and merged.n_batches_ == 40
    np.testing.assert_allclose(merged.bse_, full.bse_, rtol=0.05)


def test_a_stalled_solve_counts_as_converged_only_at_the_minimum():
    X, y = stackloss_data()
    design = np.c_[X, np.ones(21)]
    threshold = 1.345 * 2.0
    at_minimum = huber_minimiser(X, y, threshold)
    least_squares = np.linalg.lstsq(design, y, rcond=None)[0]
    curvature = design.T @ (design * (np.abs(y - design @ at_minimum) <= threshold)[:, None])
    for beta, expected in [(at_minimum, True), (least_squares, False)]:
        verdict = newton_step_is_negligible(
            design, y, None, beta, None, None, curvature, threshold, 1e-8
        )
        assert verdict is expected

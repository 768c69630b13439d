"""Degenerate and hostile data: refused with a clear error, or fitted with honest uncertainty."""

import threading
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import HuberRegressor
from test_estimator_api import learned_state, make_data

import quillfen
from quillfen import RankDeficiencyWarning, StreamingHuberRegressor, merge


@pytest.mark.parametrize("y_value", [0.0, 5.0, 1e9])
def test_a_first_batch_with_constant_y_is_refused_unless_the_scale_is_given(y_value):
    X, _ = make_data()
    y = np.full(len(X), y_value)
    model = StreamingHuberRegressor()
    with pytest.raises(ValueError, match="does not vary"):
        model.partial_fit(X, y)
    assert not hasattr(model, "scale_")
    assert StreamingHuberRegressor(scale=2.0).partial_fit(X, y).scale_ == 2.0


def with_levels(X, rng):
    levels = np.eye(3)[rng.integers(0, 3, len(X))]  # one indicator per level, as get_dummies
    return pd.DataFrame(np.c_[X, levels], columns=["a", "b", "c", "red", "green", "blue"])


@pytest.mark.parametrize(
    "design, unidentified",
    [
        (
            lambda X, rng: pd.DataFrame(np.c_[X, np.full(len(X), 3.0)], columns=[*"abc", "k"]),
            ["k", "intercept"],
        ),
        (with_levels, ["red", "green", "blue", "intercept"]),
    ],
    ids=["constant-column", "every-level-indicator"],
)
def test_unidentified_coefficients_get_nan_errors_and_a_warning_naming_them(design, unidentified):
    rng = np.random.default_rng(1)
    model = StreamingHuberRegressor()
    for _ in range(5):
        X, y = make_data(seed=int(rng.integers(1000)))
        model.partial_fit(design(X, rng), y)
    names = [*model.feature_names_in_, "intercept"]
    with pytest.warns(RankDeficiencyWarning) as caught:
        bse = model.bse_
    message = str(caught[0].message)
    assert all(name in message for name in unidentified)
    nan = [name for name, error in zip(names, bse, strict=True) if np.isnan(error)]
    assert nan == unidentified
    identified = bse[~np.isnan(bse)]
    assert np.all(identified > 0.01) and np.all(identified < 0.2)
    with pytest.warns(RankDeficiencyWarning):
        table = model.summary().as_text()
    assert " inf " not in table and "nan" in table


def test_fewer_rows_than_coefficients_leave_every_coefficient_unidentified():
    X, y = make_data(rows=3, n_features=5)
    model = StreamingHuberRegressor(scale=1.0).partial_fit(X, y)
    with pytest.warns(RankDeficiencyWarning):
        assert np.isnan(model.bse_).all()


def test_a_batch_that_overflows_the_standard_errors_is_refused_and_changes_nothing():
    X, y = make_data()
    model = StreamingHuberRegressor().partial_fit(X, y)
    before = learned_state(model)
    with pytest.raises(ValueError, match="too large"):
        model.partial_fit(X * 1e154, y * 1e154)
    assert learned_state(model) == before
    assert np.isfinite(model.bse_).all()


def test_ridge_decides_nothing_on_a_column_of_tiny_scale_or_a_near_collinear_pair():
    rng = np.random.default_rng(2)
    truth = np.array([-5e7, 1.0, 2.0, -1.0])
    default, unridged = StreamingHuberRegressor(), StreamingHuberRegressor(ridge=0.0)
    for _ in range(20):
        X = rng.standard_normal((500, 4))
        X[:, 0] *= 1e-8
        X[:, 3] = X[:, 2] + 1e-3 * rng.standard_normal(500)
        y = X @ truth + rng.standard_t(3, 500)
        default.partial_fit(X, y)
        unridged.partial_fit(X, y)
    np.testing.assert_allclose(default.coef_, unridged.coef_, rtol=1e-6)
    low, high = default.conf_int(0.001)[:4].T
    assert np.all((low <= truth) & (truth <= high))


def scale_shift(fit, X, y, outliers):
    """How far 10 % one-sided outliers move a fit's scale, relative to the clean data's."""
    shifted = y.copy()
    shifted[outliers] += 20.0
    return fit(X, shifted) / fit(X, y) - 1.0


def test_one_sided_outliers_move_the_scale_no_more_than_they_move_scikit_learns():
    rng = np.random.default_rng(3)
    ours, theirs = [], []
    for _ in range(5):
        X = rng.standard_normal((2000, 5))
        y = X @ np.linspace(-1, 1, 5) + 3.0 + 1.2 * rng.standard_normal(2000)
        outliers = rng.choice(2000, 200, replace=False)
        ours.append(
            scale_shift(lambda a, b: StreamingHuberRegressor().fit(a, b).scale_, X, y, outliers)
        )
        theirs.append(
            scale_shift(lambda a, b: HuberRegressor(max_iter=1000).fit(a, b).scale_, X, y, outliers)
        )
    assert np.mean(ours) <= np.mean(theirs)


@pytest.mark.parametrize(
    "params, name",
    [
        ({"n_threads": 0}, "n_threads"),
        ({"batch_size": 0}, "batch_size"),
        ({"scale": -2.0}, "scale"),
        ({"penalty": "l2"}, "penalty"),
        ({"tau": 2.0}, "tau"),
        ({"scale": 3.0}, "scale"),
        ({"fit_intercept": False}, "fit_intercept"),
    ],
)
def test_settings_changed_mid_stream_are_refused_until_fit_starts_again(params, name, tmp_path):
    X, y = make_data()
    model = StreamingHuberRegressor().partial_fit(X, y)
    before = learned_state(model)
    model.set_params(**params)
    for call in (lambda: model.partial_fit(X, y), lambda: model.save(tmp_path / "m.npz")):
        with pytest.raises(ValueError, match=name):
            call()
    assert learned_state(model) == before and not (tmp_path / "m.npz").exists()
    if name in ("tau", "fit_intercept"):
        assert model.fit(X, y).n_batches_ == 1


def test_merge_refuses_fits_at_different_scales():
    parts = [StreamingHuberRegressor().fit(*make_data(seed=seed)) for seed in (1, 2)]
    with pytest.raises(ValueError, match="scale_"):
        merge(parts)


def test_calls_from_two_threads_run_one_after_another(tmp_path):
    X, y = make_data(rows=2000)
    model = StreamingHuberRegressor().partial_fit(X, y)
    failures = []

    def feed(seed):
        for i in range(30):
            try:
                Xb, yb = make_data(seed=seed * 100 + i, rows=2000)
                model.partial_fit(Xb, yb)
                model.predict(Xb)
                model.save(tmp_path / f"{seed}.npz")
                quillfen.load(tmp_path / f"{seed}.npz")
            except Exception as error:  # noqa: BLE001 - every failure is one to report
                failures.append(error)

    threads = [threading.Thread(target=feed, args=(seed,)) for seed in (1, 2)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert failures == []
    assert model.n_batches_ == len(model.history_) == 61
    assert model.n_samples_seen_ == 61 * 2000

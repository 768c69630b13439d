"""StreamingHuberRegressor as scikit-learn, pandas, pickle and type-checker users meet it."""

import copy
import io
import json
import os
import pickle
import subprocess
import sys
import warnings
from pathlib import Path

import joblib
import numpy as np
import pandas as pd
import polars as pl
import pytest
import scipy.sparse
from sklearn.base import clone
from sklearn.exceptions import ConvergenceWarning, NotFittedError
from sklearn.model_selection import cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import quillfen
from quillfen import StreamingHuberRegressor, merge
from quillfen._persistence import state_arrays


def small_batch_failures(estimator):
    """Two checks fit iris, which is sorted by class: in batches of 7 rows the first batch has one
    y, and scale="auto" refuses to take a scale from a batch whose y does not vary. The weights
    check fits 31 coefficients to batches of 7 rows: every solve is underdetermined, and the
    weighted and the repeated stream (batched differently) meet only to about 5e-7, not 1e-7."""
    if estimator.batch_size is None:
        return {}
    reason = "the first 7 rows of iris have one class: no scale can be estimated from them"
    return {
        "check_positive_only_tag_during_fit": reason,
        "check_non_transformer_estimators_n_iter": reason,
        "check_sample_weight_equivalence_on_dense_data": "underdetermined 7-row batches",
    }


# Every other check runs and passes. (scikit-learn itself skips its array-API check unless
# SCIPY_ARRAY_API is set: the estimator takes NumPy-compatible input only.)
@parametrize_with_checks(
    [StreamingHuberRegressor(), StreamingHuberRegressor(batch_size=7)],
    expected_failed_checks=small_batch_failures,
)
def test_scikit_learn_conventions(estimator, check):
    check(estimator)


def make_data(seed=0, rows=300, n_features=3):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((rows, n_features))
    return X, X @ np.arange(1.0, n_features + 1) + 2.0 + rng.standard_t(3, rows)


@pytest.fixture(scope="module")
def fitted():
    X, y = make_data()
    model = StreamingHuberRegressor()
    for rows in np.array_split(np.arange(300), 3):
        model.partial_fit(X[rows], y[rows])
    return model, X


def learned_state(model):
    """Everything the model learned, the engine's summary included, as comparable bytes, one
    entry per part (None before the first batch)."""
    stream = vars(model).get("_stream")
    if stream is None:
        return None
    engine = {f"engine {name}": value for name, value in stream.engine.state().items()}
    parts = {**state_arrays(stream.state, stream.state.settings), **engine}
    # The lock and the record of parameters already checked are not learned.
    parts["attributes"] = sorted(vars(model).keys() - {"_call_lock", "_checked_values"})
    return {name: pickle.dumps(value) for name, value in parts.items()}


def named(X, names="abc"):
    return pd.DataFrame(X, columns=list(names))


@pytest.mark.parametrize(
    "convert",
    [
        lambda X: X.tolist(),
        np.asfortranarray,
        lambda X: np.round(X * 100).astype(np.int32),
        lambda X: pd.DataFrame(X, columns=["a", "b", "c"]),
        lambda X: pl.DataFrame(X, schema=["a", "b", "c"]),
    ],
    ids=["list", "fortran", "int32", "pandas", "polars"],
)
def test_any_array_like_fits_like_the_float64_array(convert):
    X, y = make_data()
    converted = convert(X)
    as_array = np.asarray(converted, dtype=np.float64)
    expected = StreamingHuberRegressor().fit(as_array, y)
    model = StreamingHuberRegressor().fit(converted, y)
    # The same values reach the engine's design buffer, so the fit is the same computation; the
    # prediction is NumPy's product, whose sums BLAS orders by the input's memory layout.
    assert model.coef_.tobytes() == expected.coef_.tobytes()
    np.testing.assert_allclose(model.predict(converted), expected.predict(as_array), rtol=1e-13)


def test_sparse_input_is_a_type_error():
    X, y = make_data()
    with pytest.raises(TypeError, match="Sparse"):
        StreamingHuberRegressor().fit(scipy.sparse.csr_matrix(X), y)


def test_pipelines_cross_validation_and_clone_work():
    X, y = make_data(rows=400)
    pipeline = make_pipeline(StandardScaler(), StreamingHuberRegressor(batch_size=50))
    scores = cross_val_score(pipeline, X, y, cv=3)
    assert np.all(scores > 0.5)
    assert clone(StreamingHuberRegressor(tau=2.0)).get_params()["tau"] == 2.0


@pytest.mark.parametrize(
    "through",
    [
        lambda m: pickle.loads(pickle.dumps(m)),
        copy.deepcopy,
        lambda m: joblib.load(_written(lambda f: joblib.dump(m, f))),
        lambda m: quillfen.load(_written(m.save)),
        lambda m: _unpickled_from_misaligned_buffers(m),
    ],
    ids=["pickle", "deepcopy", "joblib", "save-load", "misaligned-out-of-band"],
)
def test_copies_predict_exactly_and_keep_streaming(fitted, through):
    model, X = fitted
    copied = through(model)
    np.testing.assert_array_equal(copied.predict(X), model.predict(X))
    np.testing.assert_array_equal(copied.cov_, model.cov_)
    assert copied.history_ == model.history_
    both = [copy.deepcopy(model), copied]
    for m in both:
        m.partial_fit(X[:50], X[:50, 0])
    np.testing.assert_array_equal(both[0].coef_, both[1].coef_)


def _unpickled_from_misaligned_buffers(model):
    # Out-of-band buffers arrive wherever the transport put them (Dask does this): one byte off.
    buffers = []
    data = pickle.dumps(model, protocol=5, buffer_callback=buffers.append)
    assert buffers
    shifted = []
    for buffer in buffers:
        raw = buffer.raw()
        block = bytearray(len(raw) + 1)
        block[1:] = raw
        shifted.append(memoryview(block)[1:])
    return pickle.loads(data, buffers=shifted)


def _written(write):
    buffer = io.BytesIO()
    write(buffer)
    buffer.seek(0)
    return buffer


def test_saved_files_hold_no_pickles_and_bad_files_are_rejected(fitted, tmp_path):
    model, _ = fitted
    model.save(tmp_path / "model.npz")
    with np.load(tmp_path / "model.npz", allow_pickle=False) as saved:
        contents = dict(saved)
    for key, value, message in [
        ("format_version", np.int64(99), "format version 99"),
        ("information", np.zeros((3, 3)), "information has shape"),
        ("history_rows", np.zeros(5, np.int64), "inconsistent shapes"),
    ]:
        np.savez(tmp_path / "bad.npz", **{**contents, key: value})
        with pytest.raises(ValueError, match=message):
            quillfen.load(tmp_path / "bad.npz")
    # Damaged archives: cut short, a byte flipped inside a member's data, a lone .npy array.
    data = (tmp_path / "model.npz").read_bytes()
    flipped = bytearray(data)
    flipped[len(data) // 2] ^= 0xFF
    np.save(tmp_path / "lone.npy", np.zeros(3))
    for damaged in (data[: len(data) // 3], bytes(flipped), (tmp_path / "lone.npy").read_bytes()):
        with pytest.raises(ValueError, match="not a saved StreamingHuberRegressor"):
            quillfen.load(io.BytesIO(damaged))


def test_a_files_thread_count_is_held_to_the_processors_available(fitted, tmp_path):
    model, X = fitted
    model.save(tmp_path / "model.npz")
    with np.load(tmp_path / "model.npz", allow_pickle=False) as saved:
        contents = dict(saved)
    params = json.loads(str(contents["params"]))
    np.savez(
        tmp_path / "greedy.npz", **{**contents, "params": json.dumps({**params, "n_threads": 2000})}
    )
    loaded = quillfen.load(tmp_path / "greedy.npz")
    assert loaded.n_threads <= (os.cpu_count() or 1)
    np.testing.assert_array_equal(loaded.predict(X), model.predict(X))


REJECTED_CALLS = {
    "nan": lambda m, X, y: m.partial_fit(np.where(X > 1.5, np.nan, X), y),
    "n_features": lambda m, X, y: m.partial_fit(X[:, :2], y),
    "n_rows": lambda m, X, y: m.partial_fit(X, y[:-1]),
    "negative-weight": lambda m, X, y: m.partial_fit(X, y, sample_weight=-np.ones(len(y))),
    "bad-parameter": lambda m, X, y: m.set_params(tau=-1.0).fit(X, y),
    "inf-in-frame": lambda m, X, y: m.partial_fit(named(np.where(X > 1.5, np.inf, X)), y),
    "other-names": lambda m, X, y: m.partial_fit(named(X, "abz"), y),
}


@pytest.mark.parametrize(
    "fitted_on, call",
    [(np.asarray, name) for name in list(REJECTED_CALLS)[:5]]
    + [(named, name) for name in REJECTED_CALLS],
)
def test_a_rejected_call_changes_nothing(fitted_on, call):
    X, y = make_data()
    model = StreamingHuberRegressor().fit(fitted_on(X), y)
    before = learned_state(model)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # an unnamed batch for a named fit
        with pytest.raises(ValueError):
            REJECTED_CALLS[call](model, X, y)
    assert learned_state(model) == before


@pytest.mark.parametrize(
    "batch, message",
    [
        (lambda X, y: (np.full_like(X, np.nan), y, None), "NaN"),
        # Its least-squares pilot fit overflowed, and LAPACK never returned.
        (lambda X, y: (X * 1e155, y * 1e155, np.full(len(y), 1.7e308)), "too large"),
    ],
    ids=["nan", "overflowing"],
)
def test_a_rejected_first_batch_leaves_the_estimator_unfitted(batch, message):
    X, y = make_data()
    model = StreamingHuberRegressor()
    bad_x, bad_y, weights = batch(X, y)
    with pytest.raises(ValueError, match=message):
        model.partial_fit(bad_x, bad_y, sample_weight=weights)
    assert not hasattr(model, "n_features_in_")
    with pytest.raises(NotFittedError):
        model.predict(X)


@pytest.mark.parametrize(
    "params, name",
    [
        ({"tau": 0.0}, "tau"),
        ({"scale": "mad"}, "scale"),
        ({"scale": -1.0}, "scale"),
        ({"penalty": "l2"}, "penalty"),
        ({"max_iter": 0}, "max_iter"),
        ({"tol": 0.0}, "tol"),
        ({"ridge": -1.0}, "ridge"),
        ({"n_threads": 0}, "n_threads"),
        ({"batch_size": 0}, "batch_size"),
        ({"fit_intercept": 1}, "fit_intercept"),
    ],
)
def test_bad_parameters_are_named(params, name):
    X, y = make_data()
    with pytest.raises(ValueError, match=f"'{name}' parameter"):
        StreamingHuberRegressor(**params).fit(X, y)


def test_an_unconverged_batch_warns_with_its_diagnostics():
    X, y = make_data()
    with pytest.warns(ConvergenceWarning, match=r"batch 1 \(300 rows\).*1 iterations"):
        model = StreamingHuberRegressor(max_iter=1, tol=1e-14).fit(X, y)
    assert model.converged_ is False and model.history_[0]["converged"] is False


def test_summary_and_intervals(fitted):
    model, _ = fitted
    intervals = model.conf_int(0.05)
    assert intervals.shape == (4, 2)
    params = np.append(model.coef_, model.intercept_)
    np.testing.assert_allclose(intervals.mean(axis=1), params)
    np.testing.assert_allclose(intervals[:, 1] - params, 1.959963984540054 * model.bse_)
    text = str(model.summary())
    assert all(name in text for name in ["x0", "x2", "intercept", "std err", "P>|z|", "300"])


def test_l1_fits_have_no_inference_and_do_not_merge():
    X, y = make_data()
    model = StreamingHuberRegressor(penalty="l1").fit(X, y)
    for get in [lambda: model.cov_, model.summary, model.conf_int, lambda: merge([model])]:
        with pytest.raises(ValueError, match="penalty"):
            get()


def test_standard_errors_need_every_batch_and_settings_changes_are_caught():
    X, y = make_data()
    model = StreamingHuberRegressor(compute_covariance=False).partial_fit(X, y)
    with pytest.raises(ValueError, match="compute_covariance"):
        model.set_params(compute_covariance=True).partial_fit(X, y)
    with pytest.raises(ValueError, match="compute_covariance"):
        _ = model.bse_
    model.set_params(compute_covariance=False)
    with pytest.raises(ValueError, match="fit_intercept"):
        model.set_params(fit_intercept=False).partial_fit(X, y)
    with pytest.raises(ValueError, match="tau"):
        model.set_params(fit_intercept=True, tau=0.0).partial_fit(X, y)


def test_merge_rejects_different_settings_names_or_types():
    X, y = make_data()
    base = StreamingHuberRegressor().fit(X, y)
    others = [
        StreamingHuberRegressor(tau=2.0).fit(X, y),
        StreamingHuberRegressor().fit(pd.DataFrame(X, columns=["a", "b", "c"]), y),
        StreamingHuberRegressor().fit(X.astype(np.float32), y),
    ]
    for other, message in zip(others, ["tau=2.0", "feature names", "float32"], strict=False):
        with pytest.raises(ValueError, match=message):
            merge([base, other])


def test_import_is_cheap_and_the_package_is_typed(tmp_path):
    code = "import sys, quillfen; assert 'sklearn' not in sys.modules"
    subprocess.run([sys.executable, "-c", code], check=True)

    script = tmp_path / "user.py"
    script.write_text(
        "from quillfen import NativeCpuEngine, StreamingHuberRegressor\n"
        "engine = NativeCpuEngine('float16', 3)\n"
        "model: StreamingHuberRegressor = StreamingHuberRegressor(penalty='l2')\n"
    )
    # An installed package is found by mypy itself; a source tree is pointed to.
    env = {"PATH": "/usr/bin:/bin"}
    package_root = Path(quillfen.__file__).parent.parent
    if package_root.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(package_root)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script)],
        check=False,
        capture_output=True,
        text=True,
        env=env,
        cwd=tmp_path,
    )
    assert result.returncode == 1, result.stdout
    assert (
        'user.py:2: error: Argument 1 to "NativeCpuEngine" has incompatible type' in result.stdout
    )
    assert 'user.py:3: error: Argument "penalty"' in result.stdout
    assert result.stdout.count("error:") == 2, result.stdout

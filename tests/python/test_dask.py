"""quillfen.dask on a two-process local cluster: exact and parallel modes, bad input, lost workers."""

import os
import re
import signal

import numpy as np
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

from sklearn.exceptions import ConvergenceWarning  # noqa: E402

import quillfen.dask as qdask  # noqa: E402
from quillfen import StreamingHuberRegressor  # noqa: E402

TRUE_COEF = np.array([1.5, -2.0, 0.0, 0.75])
TRUE_INTERCEPT = 3.0
FEATURES = [f"x{j}" for j in range(TRUE_COEF.size)]
# Row counts of the partitions; one is empty, and the empty one is not the first.
PARTITION_ROWS = [700, 500, 0, 900, 600]


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with cluster, distributed.Client(cluster) as connected:
        yield connected


def make_frame(rows, seed, dtype=np.float64):
    """Features, a heavy-tailed target with gross outliers, and integer frequency weights."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, TRUE_COEF.size))
    y = x @ TRUE_COEF + TRUE_INTERCEPT + rng.standard_t(2, rows)
    hit = rng.random(rows) < 0.05
    y[hit] += rng.choice([-30.0, 30.0], hit.sum())
    frame = pd.DataFrame(x.astype(dtype), columns=FEATURES)
    frame["y"] = y.astype(dtype)
    frame["w"] = rng.integers(1, 4, rows).astype(dtype)
    return frame


def make_partitions(dtype=np.float64, rows=PARTITION_ROWS):
    return [make_frame(n, seed, dtype) for seed, n in enumerate(rows)]


def frame_collection(partitions):
    """A Dask DataFrame with exactly these pandas partitions."""
    return dd.from_delayed([dask.delayed(p) for p in partitions], meta=partitions[0].iloc[:0])


def one_machine_fit(partitions, estimator, weighted=True):
    for part in partitions:
        if len(part):
            weights = part["w"].to_numpy() if weighted else None
            estimator.partial_fit(part[FEATURES], part["y"].to_numpy(), sample_weight=weights)
    return estimator


def assert_bitwise_equal(fitted, expected):
    assert fitted.n_samples_seen_ == expected.n_samples_seen_
    assert fitted.n_batches_ == expected.n_batches_
    assert fitted.coef_.dtype == expected.coef_.dtype
    assert fitted.coef_.tobytes() == expected.coef_.tobytes()
    assert fitted.intercept_ == expected.intercept_
    assert fitted.scale_ == expected.scale_
    assert fitted.history_ == expected.history_
    if fitted.penalty == "none":  # the information and score Gram, through the sandwich
        assert fitted.bse_.tobytes() == expected.bse_.tobytes()


@pytest.mark.parametrize(
    ("dtype", "params"),
    [(np.float64, {}), (np.float32, {}), (np.float64, {"penalty": "l1", "lambda_scale": 0.5})],
    ids=["float64", "float32", "l1"],
)
def test_exact_mode_equals_partial_fit_on_one_machine(client, dtype, params):
    partitions = make_partitions(dtype)
    estimator = StreamingHuberRegressor(n_threads=1, **params)
    fitted = qdask.fit(
        frame_collection(partitions), target="y", sample_weight="w", estimator=estimator
    )
    assert not hasattr(estimator, "coef_")  # only its parameters are used
    assert list(fitted.feature_names_in_) == FEATURES
    assert_bitwise_equal(fitted, one_machine_fit(partitions, StreamingHuberRegressor(**params)))


def test_exact_mode_on_a_dask_array_split_by_columns(client):
    partitions = make_partitions()
    frame = pd.concat(partitions)
    row_chunks = tuple(len(p) for p in partitions)
    x = da.from_array(frame[FEATURES].to_numpy(), chunks=(row_chunks, 2))
    y = da.from_array(frame["y"].to_numpy(), chunks=600)  # both re-chunked like x
    weights = da.from_array(frame["w"].to_numpy(), chunks=1000)
    estimator = StreamingHuberRegressor(n_threads=1)
    fitted = qdask.fit(x, y, sample_weight=weights, estimator=estimator)
    expected = StreamingHuberRegressor()
    for part in partitions:
        if len(part):
            expected.partial_fit(
                part[FEATURES].to_numpy(), part["y"].to_numpy(), part["w"].to_numpy()
            )
    assert_bitwise_equal(fitted, expected)


def test_a_target_series_partitioned_like_the_frame(client):
    collection = frame_collection(make_partitions())
    fitted = qdask.fit(collection[FEATURES], collection["y"], sample_weight=collection["w"])
    assert_bitwise_equal(fitted, qdask.fit(collection, target="y", sample_weight="w"))


def full_data_fit(partitions, scale):
    frame = pd.concat(partitions)
    estimator = StreamingHuberRegressor(scale=scale)
    return estimator.fit(
        frame[FEATURES], frame["y"].to_numpy(), sample_weight=frame["w"].to_numpy()
    )


def relative_distance(estimator, reference):
    ours = np.append(estimator.coef_, estimator.intercept_)
    theirs = np.append(reference.coef_, reference.intercept_)
    return np.linalg.norm(ours - theirs) / np.linalg.norm(theirs)


@pytest.mark.parametrize(("dtype", "bse_rtol"), [(np.float64, 1e-6), (np.float32, 1e-5)])
def test_parallel_mode_with_refinement_reaches_the_full_data_fit(client, dtype, bse_rtol):
    partitions = make_partitions(dtype)
    fitted = qdask.fit(frame_collection(partitions), target="y", sample_weight="w", mode="parallel")
    assert fitted.scale == "auto"
    assert fitted.coef_.dtype == dtype
    first = partitions[0]
    # The scale comes from the first partition, as partial_fit takes it from the first batch.
    assert (
        fitted.scale_
        == StreamingHuberRegressor()
        .partial_fit(first[FEATURES], first["y"], sample_weight=first["w"])
        .scale_
    )
    # The refinement runs in float64, so float32 partitions reach the float64 minimiser.
    full = full_data_fit([part.astype(np.float64) for part in partitions], fitted.scale_)
    assert relative_distance(fitted, full) <= 1e-6
    # The information and score Gram are recomputed at the refined coefficients.
    np.testing.assert_allclose(fitted.bse_, full.bse_, rtol=bse_rtol)
    assert fitted.n_samples_seen_ == full.n_samples_seen_
    assert fitted.predict(first[FEATURES]).dtype == dtype


def test_parallel_mode_without_refinement_is_as_accurate_as_the_full_data_fit(client):
    partitions = make_partitions(rows=[3000, 3000, 0, 3000, 3000])
    fitted = qdask.fit(
        frame_collection(partitions), target="y", sample_weight="w", mode="parallel", refine=0
    )
    full = full_data_fit(partitions, fitted.scale_)
    truth = np.append(TRUE_COEF, TRUE_INTERCEPT)

    def error(estimator):
        return np.linalg.norm(np.append(estimator.coef_, estimator.intercept_) - truth)

    assert error(fitted) != error(full)  # zero rounds: the merge alone, not the minimiser
    assert error(fitted) <= 1.05 * error(full)
    # Every partition's fit kept its score Gram, so the merge has standard errors.
    np.testing.assert_allclose(fitted.bse_, full.bse_, rtol=0.05)


def test_the_client_gathers_only_summaries(client, monkeypatch):
    gathered = []
    gather = distributed.Client.gather

    def recording_gather(self, futures, *args, **kwargs):
        result = gather(self, futures, *args, **kwargs)
        gathered.extend(result if isinstance(result, (list, tuple)) else [result])
        return result

    monkeypatch.setattr(distributed.Client, "gather", recording_gather)
    partitions = make_partitions()
    for mode in ("exact", "parallel"):
        qdask.fit(frame_collection(partitions), target="y", sample_weight="w", mode=mode)
    assert gathered
    n_parameters = TRUE_COEF.size + 1
    for value in gathered:
        assert not isinstance(value, (pd.DataFrame, pd.Series))
        assert np.size(getattr(value, "curvature_gram", value)) <= n_parameters**2


def test_partitions_never_leave_their_workers(client):
    collection = client.persist(frame_collection(make_partitions()))
    distributed.wait(collection)
    partition_keys = {future.key for future in distributed.futures_of(collection)}
    for mode in ("exact", "parallel"):
        qdask.fit(collection, target="y", sample_weight="w", mode=mode)

    def keys_sent(dask_worker):
        return [key for transfer in dask_worker.transfer_outgoing_log for key in transfer["keys"]]

    sent = [key for keys in client.run(keys_sent).values() for key in keys]
    assert any(str(key).startswith("quillfen-exact-") for key in sent)  # summaries did move
    assert not partition_keys & set(sent)
    assert not [key for key in sent if str(key).startswith("split_partition")]


def with_nan(partitions, index):
    partitions[index].loc[5, "x1"] = np.nan
    return frame_collection(partitions)


def with_other_columns(partitions, index):
    partitions[index] = partitions[index].rename(columns={"x2": "z"})
    return dd.from_delayed(
        [dask.delayed(p) for p in partitions], meta=partitions[0].iloc[:0], verify_meta=False
    )


def without_target(partitions, index):
    partitions[index] = partitions[index].drop(columns="y")
    return dd.from_delayed(
        [dask.delayed(p) for p in partitions], meta=partitions[0].iloc[:0], verify_meta=False
    )


@pytest.mark.parametrize("mode", ["exact", "parallel"])
@pytest.mark.parametrize(
    ("corrupt", "message"),
    [
        (with_nan, "partition 3: Input X contains NaN"),
        (with_other_columns, r"partition 3 has the columns \[.*'z'"),
        (without_target, "partition 3 has no target column 'y'"),
    ],
    ids=["nan", "other-columns", "no-target"],
)
def test_a_bad_partition_is_named(client, mode, corrupt, message):
    collection = corrupt(make_partitions(), 3)
    with pytest.raises(ValueError, match=message):
        qdask.fit(collection, target="y", sample_weight="w", mode=mode)


@pytest.mark.parametrize(
    ("make_call", "error", "message"),
    [
        (lambda c: qdask.fit(c, target="missing"), ValueError, "'missing' is not a column of X"),
        (lambda c: qdask.fit(c.assign(s="a"), target="y"), ValueError, "'s' has the non-numeric"),
        (
            lambda c: qdask.fit(
                c, target="y", mode="parallel", estimator=StreamingHuberRegressor(penalty="l1")
            ),
            ValueError,
            "does not support penalty='l1'",
        ),
        (
            lambda c: qdask.fit(c.to_dask_array(lengths=True), np.zeros(2700)),
            TypeError,
            "y must be a Dask Array or Dask Series",
        ),
        (lambda c: qdask.fit(c.compute(), target="y"), TypeError, "X must be a Dask DataFrame"),
        (lambda c: qdask.fit(c, target="y", mode="fast"), ValueError, "mode must be"),
        (lambda c: qdask.fit(c, target="y", mode="parallel", refine=-1), ValueError, "refine"),
        (lambda c: qdask.fit(c[c.y > 1e9], target="y"), ValueError, "every partition is empty"),
    ],
    ids=["no-target", "text", "l1-parallel", "local-y", "local-X", "mode", "refine", "empty"],
)
def test_bad_input_gets_a_clear_error(client, make_call, error, message):
    with pytest.raises(error, match=message):
        make_call(frame_collection(make_partitions()))


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"estimator": StreamingHuberRegressor(max_iter=1)}, r"batch \d+ \(\d+ rows\) did not"),
        ({"mode": "parallel", "refine": 1}, "refinement stopped after 1 rounds"),
    ],
    ids=["exact", "parallel"],
)
def test_unconverged_fits_warn_on_the_client(client, options, message):
    collection = frame_collection(make_partitions())
    with pytest.warns(ConvergenceWarning) as caught:
        qdask.fit(collection, target="y", sample_weight="w", **options)
    assert any(re.search(message, str(warning.message)) for warning in caught)


def test_import_names_the_extra_when_dask_is_missing(python_subprocess):
    done = python_subprocess(
        """
        import sys
        sys.modules["dask"] = None
        import quillfen.dask
        """
    )
    assert done.returncode != 0
    assert "pip install 'quillfen[dask]'" in done.stderr


def partition_killing_its_worker(frame, marker):
    """Returns `frame`, but the first time it runs it kills the worker process it runs in."""
    if not os.path.exists(marker):
        with open(marker, "w"):
            pass
        os.kill(os.getpid(), signal.SIGKILL)
    return frame


@pytest.mark.parametrize("mode", ["exact", "parallel"])
def test_a_lost_worker_is_retried_without_counting_a_partition_twice(client, tmp_path, mode):
    partitions = make_partitions()
    expected = qdask.fit(frame_collection(partitions), target="y", sample_weight="w", mode=mode)
    marker = str(tmp_path / "killed")
    lazy = [dask.delayed(p) for p in partitions]
    lazy[3] = dask.delayed(partition_killing_its_worker, pure=False)(partitions[3], marker)
    collection = dd.from_delayed(lazy, meta=partitions[0].iloc[:0])
    fitted = qdask.fit(collection, target="y", sample_weight="w", mode=mode)
    assert os.path.exists(marker)  # a worker did die
    assert_bitwise_equal(fitted, expected)
    client.wait_for_workers(2, timeout=60)

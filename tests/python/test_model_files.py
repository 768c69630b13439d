"""Model files from untrusted hands: what `quillfen.load` refuses before reading, what it never
reads, and histories of many batches kept as columns."""

import io
import os
import pickle
import threading
import tracemalloc
import zipfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quillfen
import quillfen._history
from quillfen import StreamingHuberRegressor
from quillfen._base import fitted_state
from quillfen._history import HISTORY_FIELDS, BatchHistory, history_column
from quillfen._persistence import save_state, state_arrays


@pytest.fixture(scope="module")
def model():
    rng = np.random.default_rng(0)
    X = pd.DataFrame(rng.standard_normal((300, 3)), columns=list("abc"))
    y = X.to_numpy() @ [1.0, 2.0, 3.0] + rng.standard_t(3, 300)
    fitted = StreamingHuberRegressor()
    for rows in np.array_split(np.arange(300), 3):
        fitted.partial_fit(X.iloc[rows], y[rows])
    return fitted


def write_archive(path, members, raw=()):
    """An .npz of `members` (arrays, pickled if of object dtype) and `raw` (name, bytes) pairs."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, value in members.items():
            with archive.open(f"{name}.npy", "w") as member:
                np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=True)
        for name, data in raw:
            archive.writestr(name, data)
    return path


def forged_header(shape):
    buffer = io.BytesIO()
    header = {"descr": "<i8", "fortran_order": False, "shape": shape}
    np.lib.format.write_array_header_1_0(buffer, header)
    return buffer.getvalue() + bytes(8)


def asymmetric(matrix):
    return matrix + np.triu(np.ones_like(matrix), 1) * 0.01 * np.abs(matrix).max()


def replaced(**changes):
    """A file of the model's members with some replaced: each change a function of the members."""
    return lambda folder, saved: write_archive(
        folder / "m.npz", {**saved, **{name: change(saved) for name, change in changes.items()}}
    )


HOSTILE = {
    "fifo": (
        lambda folder, saved: os.mkfifo(folder / "m.npz") or folder / "m.npz",
        "not a regular",
    ),
    "forged-shape": (
        lambda folder, saved: write_archive(
            folder / "m.npz",
            {k: v for k, v in saved.items() if k != "history_rows"},
            [("history_rows.npy", forged_header((10**12,)))],
        ),
        r"history_rows is 136 bytes long, its header says 8000000000128",
    ),
    "object-array": (
        replaced(feature_names=lambda s: np.array(["a", 1, None], dtype=object)),
        "feature_names holds object, expected text",
    ),
    "array-for-scale": (replaced(scale=lambda s: np.ones(3)), r"scale has shape \(3,\), expected"),
    "nan-score-gram": (
        replaced(score_gram=lambda s: np.where(np.eye(4) > 0, np.nan, s["score_gram"])),
        "score_gram has non-finite values",
    ),
    "asymmetric-information": (
        replaced(information=lambda s: asymmetric(s["information"])),
        "information is not symmetric",
    ),
    "nested-params": (
        replaced(params=lambda s: "[" * 100_000 + "]" * 100_000),
        "parameters are not valid JSON",
    ),
    "negative-count": (
        replaced(n_samples_seen=lambda s: np.int64(-5)),
        "n_samples_seen is -5, expected a count >= 0",
    ),
}


def loaded_in_time(path, seconds=20.0):
    """`quillfen.load(path)`, failed when it takes longer than `seconds` (a FIFO blocks)."""
    outcome = []

    def load():
        try:
            outcome.append(quillfen.load(path))
        except Exception as error:
            outcome.append(error)

    thread = threading.Thread(target=load, daemon=True)
    thread.start()
    thread.join(seconds)
    assert outcome, f"load({path}) still runs after {seconds} s"
    if isinstance(outcome[0], Exception):
        raise outcome[0]
    return outcome[0]


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_files_are_refused_with_a_value_error(case, model, tmp_path):
    buffer = io.BytesIO()
    model.save(buffer)
    buffer.seek(0)
    with np.load(buffer, allow_pickle=False) as saved:
        members = dict(saved)
    build, message = HOSTILE[case]
    path = build(tmp_path, members)
    with pytest.raises(ValueError, match=message):
        loaded_in_time(path)


def test_a_good_file_round_trips_and_unknown_members_stay_unread(model, tmp_path):
    path = tmp_path / "model"  # written as named, without an added .npz
    model.save(path)
    with zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED) as archive:
        with archive.open("notes.npy", "w") as member:
            for _ in range(256):  # 256 MiB unpacked, a few hundred KiB packed
                member.write(bytes(2**20))
        archive.writestr("damaged.npy", b"not an array")
    tracemalloc.start()
    try:
        loaded = quillfen.load(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2**23
    assert loaded.history_ == model.history_ and loaded.n_batches_ == 3
    np.testing.assert_array_equal(loaded.coef_, model.coef_)
    np.testing.assert_array_equal(loaded.cov_, model.cov_)
    assert list(loaded.feature_names_in_) == list("abc")


def test_a_file_written_by_an_earlier_quillfen_loads_as_the_same_fit():
    # model_format_1.npz: written by the estimator as it was before its learned state became
    # one object, from this data and these parameters.
    rng = np.random.default_rng(7)
    X = pd.DataFrame(rng.standard_normal((300, 3)), columns=list("abc"))
    y = X.to_numpy() @ [1.0, -2.0, 0.5] + 3.0 + rng.standard_t(3, 300)
    loaded = quillfen.load(Path(__file__).parent / "data" / "model_format_1.npz")
    refitted = StreamingHuberRegressor(batch_size=100).fit(X, y)
    assert loaded.get_params() == refitted.get_params()
    assert list(loaded.feature_names_in_) == list("abc")
    for field in ("rows", "iterations", "converged"):
        assert loaded.history_.column(field).tolist() == refitted.history_.column(field).tolist()
    objectives = [history.column("objective") for history in (loaded.history_, refitted.history_)]
    np.testing.assert_allclose(*objectives, rtol=1e-10)
    np.testing.assert_allclose(loaded.coef_, refitted.coef_, rtol=1e-10)
    np.testing.assert_allclose(loaded.cov_, refitted.cov_, rtol=1e-8)
    loaded.partial_fit(X, y)
    assert loaded.n_batches_ == 4


def test_a_long_history_loads_as_columns_and_keeps_growing(model, tmp_path):
    batches = 200_000
    state = state_arrays(fitted_state(model), model.get_params())
    last = state["history"][-1]
    state["history"] = BatchHistory.from_columns(
        {field: np.full(batches, last[field]) for field in HISTORY_FIELDS}
    )
    state.update(batch_count=batches, n_samples_seen=batches * last["rows"])
    save_state(state, tmp_path / "long.npz")
    column_bytes = sum(column.nbytes for column in state["history"].columns().values())
    tracemalloc.start()
    try:
        loaded = quillfen.load(tmp_path / "long.npz")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 4 * column_bytes  # a dict per batch takes over ten times the columns
    assert loaded.history_ == state["history"]
    X = pd.DataFrame(np.random.default_rng(1).standard_normal((50, 3)), columns=list("abc"))
    loaded.partial_fit(X, X.to_numpy() @ [1.0, 2.0, 3.0])
    assert len(loaded.history_) == batches + 1 == loaded.n_batches_
    assert loaded.history_[-1]["rows"] == 50


def test_a_batch_history_is_the_list_of_records_it_holds(monkeypatch):
    monkeypatch.setattr(quillfen._history, "ITERATION_BLOCK", 8)  # iteration crosses blocks
    rng = np.random.default_rng(2)
    records = [
        {"rows": int(rng.integers(1, 500)), "iterations": int(rng.integers(0, 50)),
         "converged": bool(converged), "objective": float(rng.random()), "lambda_value": 0.0,
         "bandwidth": float(rng.random()), "used_regularized_fallback": not converged}
        for converged in rng.random(37) < 0.8
    ]  # fmt: skip
    history = BatchHistory.from_records(records)  # past the first two growths of the columns
    assert history == records and list(history) == records and history[5:30:3] == records[5:30:3]
    assert type(history[0]["converged"]) is bool
    assert pickle.loads(pickle.dumps(history)) == records
    rows = history.column("rows")
    history.append(records[0])
    del history[30:]  # as an interrupted call undoes its appends
    assert history == records[:30] and rows.tolist() == [r["rows"] for r in records]
    with pytest.raises(ValueError, match="read-only"):
        rows[0] = 0
    assert history_column(records, "rows").tolist() == rows.tolist()
    # `appended` leaves its history as it was, and two histories appended to the same one do not
    # write over each other's record (the second copies the shared columns).
    base = BatchHistory.from_records(records[:20])
    first, second = base.appended(records[20]), base.appended(records[21])
    assert base == records[:20] and first == records[:21] and second == [*records[:20], records[21]]

"""The quillfen command line on small generated CSV and Parquet files."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import matplotlib.figure
import numpy as np
import pyarrow as pa
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq
import pytest

import quillfen
from quillfen import StreamingHuberRegressor
from quillfen._stream import HuberStream
from quillfen.cli import _csv_reader, main
from quillfen.cli._batch_loss import batch_mean_losses
from quillfen.cli._coefficient_trace import CoefficientTrace

FEATURES = ["a", "b", "c"]
TRUE_COEF = np.array([1.5, -2.0, 0.5])
BATCH_ROWS = 700
PART_ROWS = (1000, 450, 1550)  # parts that batches straddle


def make_table(rng: np.random.Generator, rows: int, start_id: int = 0) -> pa.Table:
    x = rng.standard_normal((rows, len(FEATURES)))
    y = x @ TRUE_COEF + 4.0 + rng.standard_t(3, rows)
    y[rng.random(rows) < 0.05] += 40.0
    columns = {name: x[:, j] for j, name in enumerate(FEATURES)}
    return pa.table({"id": np.arange(start_id, start_id + rows), **columns, "y": y})


def write(table: pa.Table, path: Path) -> Path:
    if path.suffix == ".csv":
        pa_csv.write_csv(table, path)
    else:
        pq.write_table(table, path)
    return path


@pytest.fixture(params=["parquet file", "csv file", "parquet directory", "csv directory"])
def dataset(request: pytest.FixtureRequest, tmp_path: Path) -> tuple[str, pa.Table]:
    """Data in one file or split over a directory, and the whole table it holds."""
    rng = np.random.default_rng(5)
    kind, layout = request.param.split()
    suffix = ".csv" if kind == "csv" else ".parquet"
    parts = []
    start = 0
    for rows in PART_ROWS:
        parts.append(make_table(rng, rows, start))
        start += rows
    whole = pa.concat_tables(parts)
    if layout == "file":
        return str(write(whole, tmp_path / f"data{suffix}")), whole
    directory = tmp_path / "parts"
    directory.mkdir()
    for index, part in enumerate(parts):
        write(part, directory / f"part-{index}{suffix}")
    # Not data: a partial output and a marker file, as writers leave them.
    (directory / f".part-3.partial-1{suffix}").write_text("half written")
    (directory / f"_SUCCESS{suffix}").write_text("")
    return str(directory), whole


def columns_of(table: pa.Table, names: list[str]) -> np.ndarray:
    return np.column_stack([table[name].to_numpy() for name in names])


def reference_fit(table: pa.Table, batch_rows: int, **params: object) -> StreamingHuberRegressor:
    x, y = columns_of(table, FEATURES), table["y"].to_numpy()
    estimator = StreamingHuberRegressor(**params)
    for start in range(0, len(y), batch_rows):
        estimator.partial_fit(x[start : start + batch_rows], y[start : start + batch_rows])
    return estimator


def run(argv: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    status = main(argv)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_fit_predict_summary_plot(dataset, tmp_path, capsys):
    data, table = dataset
    model_path = tmp_path / "model.npz"
    status, _, _ = run(
        [
            "fit",
            data,
            "--target",
            "y",
            "--features",
            *FEATURES,
            "--batch-rows",
            str(BATCH_ROWS),
            "--out",
            str(model_path),
            "--quiet",
        ],
        capsys,
    )
    assert status == 0
    model = quillfen.load(model_path)
    expected = reference_fit(table, BATCH_ROWS)
    np.testing.assert_array_equal(model.coef_, expected.coef_)
    assert model.intercept_ == expected.intercept_
    assert model.n_batches_ == -(-table.num_rows // BATCH_ROWS)
    assert list(model.feature_names_in_) == FEATURES
    # The command line folds batches without the estimator; its file is the estimator's.
    np.testing.assert_array_equal(model.cov_, expected.cov_)
    assert list(model.history_) == list(expected.history_)
    assert model.get_params() == expected.get_params()

    for suffix in (".parquet", ".csv"):
        out = tmp_path / f"pred{suffix}"
        status, _, _ = run(
            ["predict", str(model_path), data, "--keep", "id", "--out", str(out), "--quiet"], capsys
        )
        assert status == 0
        written = pq.read_table(out) if suffix == ".parquet" else pa_csv.read_csv(out)
        # Ids from CSV stay text, as written; from Parquet they keep their type.
        assert written["id"].cast(pa.string()).equals(table["id"].cast(pa.string()))
        np.testing.assert_allclose(
            written["prediction"].to_numpy(),
            expected.predict(columns_of(table, FEATURES)),
            atol=1e-12,
        )

    status, out, _ = run(["summary", str(model_path), "--alpha", "0.1"], capsys)
    assert status == 0 and "std err" in out and all(name in out for name in FEATURES)
    assert out.strip() == str(model.summary(alpha=0.1)).strip()

    figure = tmp_path / "fit.png"
    status, out, err = run(["plot", str(model_path), "--out", str(figure)], capsys)
    assert status == 0 and out.strip() == str(figure) and err == ""
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_float32_parquet_stays_float32_and_features_default_to_other_columns(tmp_path, capsys):
    table = make_table(np.random.default_rng(1), 900).drop_columns(["id"])
    narrow = table.cast(pa.schema([(name, pa.float32()) for name in table.column_names]))
    data = write(narrow, tmp_path / "narrow.parquet")
    status, _, _ = run(
        ["fit", str(data), "--target", "y", "--out", str(tmp_path / "m.npz")], capsys
    )
    assert status == 0
    model = quillfen.load(tmp_path / "m.npz")
    assert model.coef_.dtype == np.float32 and list(model.feature_names_in_) == FEATURES


def test_skip_bad_rows_drops_them_from_their_batch(tmp_path, capsys):
    table = make_table(np.random.default_rng(2), 2000)
    y = table["y"].to_numpy().copy()
    bad = [3, 701, 702, 1999]
    y[bad[:2]] = np.nan
    y[bad[2:]] = np.inf
    table = table.set_column(table.column_names.index("y"), "y", pa.array(y))
    data = write(table, tmp_path / "bad.csv")
    model_path = tmp_path / "m.npz"
    argv = ["fit", str(data), "--target", "y", "--features", *FEATURES, "--batch-rows", "700"]

    status, _, err = run([*argv, "--out", str(model_path)], capsys)
    assert status == 2 and not model_path.exists()
    assert err.strip() == (
        f"quillfen fit: error: {data}: row 4: column 'y' is missing or not finite (nan) "
        "(--skip-bad-rows drops such rows)"
    )

    status, _, err = run([*argv, "--skip-bad-rows", "--out", str(model_path)], capsys)
    assert status == 0 and "4 bad rows skipped" in err
    x = columns_of(table, FEATURES)
    expected = StreamingHuberRegressor()
    for start in range(0, 2000, 700):
        rows = [r for r in range(start, min(start + 700, 2000)) if r not in bad]
        expected.partial_fit(x[rows], y[rows])
    np.testing.assert_array_equal(quillfen.load(model_path).coef_, expected.coef_)


def test_predict_skips_bad_rows_with_their_kept_values(tmp_path, capsys):
    table = make_table(np.random.default_rng(12), 500)
    model_path = tmp_path / "m.npz"
    data = write(table, tmp_path / "d.parquet")
    fit = ["fit", str(data), "--target", "y", "--features", *FEATURES, "--out", str(model_path)]
    assert run(fit, capsys)[0] == 0
    b = table["b"].to_numpy().copy()
    b[[0, 250, 499]] = [np.nan, np.inf, np.nan]
    write(table.set_column(2, "b", pa.array(b)), data)
    out = tmp_path / "p.parquet"
    argv = ["predict", str(model_path), str(data), "--keep", "id", "--batch-rows", "100"]
    status, _, err = run([*argv, "--out", str(out)], capsys)
    assert status == 2 and "d.parquet: row 1: column 'b' is missing or not finite (nan)" in err
    assert not out.exists()
    status, _, err = run([*argv, "--skip-bad-rows", "--out", str(out)], capsys)
    assert status == 0 and "3 bad rows skipped" in err
    written = pq.read_table(out)
    good = np.isfinite(b)
    np.testing.assert_array_equal(written["id"].to_numpy(), table["id"].to_numpy()[good])
    model = quillfen.load(model_path)
    expected = model.predict(table.select(FEATURES).to_pandas()[good])
    np.testing.assert_allclose(written["prediction"].to_numpy(), expected, atol=1e-12)


def test_a_csv_with_a_byte_order_mark_reads_like_one_without(tmp_path, capsys):
    # Spreadsheet programs write UTF-8 CSV with a byte-order mark before the header.
    table = make_table(np.random.default_rng(14), 600).drop_columns(["id"])  # a feature first
    plain = write(table, tmp_path / "plain.csv")
    marked = tmp_path / "marked.csv"
    marked.write_bytes(b"\xef\xbb\xbf" + plain.read_bytes())
    models = []
    for data in (plain, marked):
        out = tmp_path / f"{data.stem}.npz"
        argv = ["fit", str(data), "--target", "y", "--features", *FEATURES, "--out", str(out)]
        assert run([*argv, "--quiet"], capsys)[0] == 0
        models.append(quillfen.load(out))
    assert models[0].coef_.tobytes() == models[1].coef_.tobytes()


def test_convergence_warnings_one_line_each_then_a_count(tmp_path, capsys, monkeypatch):
    fold = HuberStream.fold

    def warns_every_batch(stream, *args, **kwargs):
        state, _ = fold(stream, *args, **kwargs)
        return state, f"batch {state.batch_count} did not converge"

    monkeypatch.setattr(HuberStream, "fold", warns_every_batch)
    data = write(make_table(np.random.default_rng(13), 800), tmp_path / "d.csv")
    argv = ["fit", str(data), "--target", "y", "--batch-rows", "100"]
    status, _, err = run([*argv, "--out", str(tmp_path / "m.npz")], capsys)
    lines = err.splitlines()
    assert status == 0 and len(lines) == 7  # five warnings, the count, the closing report
    assert lines[0] == "quillfen: warning: batch 1 did not converge"
    assert "8 warnings in all, 3 not shown" in lines[5]


def test_sample_weight_column_and_negative_weights(tmp_path, capsys):
    rng = np.random.default_rng(11)
    table = make_table(rng, 900)
    weight = rng.integers(0, 4, 900).astype(np.float64)
    data = write(table.append_column("w", pa.array(weight)), tmp_path / "w.parquet")
    model_path = tmp_path / "m.npz"
    argv = ["fit", str(data), "--target", "y", "--sample-weight", "w", "--batch-rows", "300"]
    assert run([*argv, "--features", *FEATURES, "--out", str(model_path)], capsys)[0] == 0
    x, y = columns_of(table, FEATURES), table["y"].to_numpy()
    expected = StreamingHuberRegressor()
    for start in range(0, 900, 300):
        rows = slice(start, start + 300)
        expected.partial_fit(x[rows], y[rows], sample_weight=weight[rows])
    np.testing.assert_array_equal(quillfen.load(model_path).coef_, expected.coef_)

    weight[500] = -1.0
    data = write(table.append_column("w", pa.array(weight)), tmp_path / "w.parquet")
    status, _, err = run([*argv, "--out", str(model_path)], capsys)
    assert status == 2 and "w.parquet: row 501: column 'w' is a negative weight" in err


def _bad_input(tmp_path: Path, case: str) -> tuple[list[str], str]:
    """Files for one bad-input case, the command's arguments and the expected message."""
    rng = np.random.default_rng(3)
    good = write(make_table(rng, 50), tmp_path / "good.parquet")
    fit = ["fit", "--target", "y", "--out", str(tmp_path / "m.npz")]
    if case == "missing file":
        return [*fit, str(tmp_path / "absent.csv")], "absent.csv: no such file or directory"
    if case == "glob without match":
        return [*fit, str(tmp_path / "*.csv")], "*.csv: no files match"
    if case == "missing column":
        return [*fit, str(good), "--features", "a", "zz"], "column 'zz' not found"
    if case == "non-numeric parquet column":
        text = make_table(rng, 50).append_column("city", pa.array(["x"] * 50))
        return [*fit, str(write(text, tmp_path / "t.parquet"))], "column 'city' is not numeric"
    if case == "non-numeric csv value":
        path = tmp_path / "t.csv"
        path.write_text("a,b,c,y\n1,2,3,4\n1,two,3,4\n")
        return [*fit, str(path)], "column 'b' is not numeric: invalid value 'two'"
    if case == "schema differs":
        other = make_table(rng, 50).drop_columns(["c"])
        write(other, tmp_path / "other.parquet")
        return [*fit, str(tmp_path)], "other.parquet: schema differs from"
    if case == "empty csv":
        (tmp_path / "e.csv").write_text("")
        return [*fit, str(tmp_path / "e.csv")], "e.csv: empty file"
    if case == "header-only csv":
        (tmp_path / "h.csv").write_text("a,b,c,y\n")
        return [*fit, str(tmp_path / "h.csv")], "h.csv: the file has no rows"
    if case == "empty parquet":
        return [
            *fit,
            str(write(make_table(rng, 0), tmp_path / "z.parquet")),
        ], "z.parquet: the file has no rows"
    if case == "target among the features":
        return [*fit, str(good), "--features", "a", "y"], "column 'y' cannot be a feature"
    if case == "model name without .npz":
        return ["fit", str(good), "--target", "y", "--out", str(tmp_path / "m")], "must end in .npz"
    if case == "values too large":
        path = tmp_path / "big.csv"
        path.write_text("a,b,c,y\n" + "".join(f"{i},1e160,{-i},{i}\n" for i in range(20)))
        return [*fit, str(path)], "big.csv: rows 1-20: Input X or y holds values too large"
    if case == "model not ours":
        np.savez(tmp_path / "other.npz", values=np.arange(3))
        return ["summary", str(tmp_path / "other.npz")], "other.npz: not a quillfen model file"
    if case == "model not npz":
        (tmp_path / "text.npz").write_text("hello")
        return [
            "plot",
            str(tmp_path / "text.npz"),
            "--out",
            str(tmp_path / "f.png"),
        ], "not a quillfen model file"
    raise AssertionError(case)


@pytest.mark.parametrize(
    "case",
    [
        "missing file",
        "glob without match",
        "missing column",
        "non-numeric parquet column",
        "non-numeric csv value",
        "schema differs",
        "empty csv",
        "header-only csv",
        "empty parquet",
        "target among the features",
        "model name without .npz",
        "values too large",
        "model not ours",
        "model not npz",
    ],
)
def test_bad_input_gets_one_line_and_status_2(case, tmp_path, capsys):
    argv, message = _bad_input(tmp_path, case)
    status, _, err = run(argv, capsys)
    assert status == 2
    assert len(err.strip().splitlines()) == 1 and message in err
    assert not (tmp_path / "m.npz").exists() and not list(tmp_path.glob(".*partial*"))


@pytest.mark.parametrize(
    "bad_line, problem",
    [
        ("1,two,3,4", "column 'b' is not numeric: invalid value 'two'"),
        ("1,2,3", "CSV parse error: Expected 4 columns, got 3: 1,2,3"),
    ],
)
def test_a_bad_csv_line_far_into_the_file_is_named_by_its_row(
    bad_line, problem, tmp_path, capsys, monkeypatch
):
    # Small blocks, parsed on several threads: the row is counted across the blocks before it,
    # without the header and the empty line.
    monkeypatch.setattr(_csv_reader, "BLOCK_BYTES", 64)
    rows = [f"{i},1,2,{i}" for i in range(300)]
    path = tmp_path / "d.csv"
    path.write_text("\n".join(["a,b,c,y", *rows[:100], "", *rows[100:], bad_line, *rows]) + "\n")
    argv = ["fit", str(path), "--target", "y", "--out", str(tmp_path / "m.npz")]
    status, _, err = run(argv, capsys)
    assert status == 2
    assert err.strip() == f"quillfen fit: error: {path}: row 301: {problem}"


def test_l1_model_summary_lists_estimates_and_plot_has_no_bands(tmp_path, capsys):
    data = write(make_table(np.random.default_rng(9), 600), tmp_path / "d.parquet")
    model_path = tmp_path / "m.npz"
    argv = ["fit", str(data), "--target", "y", "--features", *FEATURES, "--penalty", "l1"]
    assert run([*argv, "--batch-rows", "200", "--out", str(model_path)], capsys)[0] == 0
    status, out, _ = run(["summary", str(model_path)], capsys)
    model = quillfen.load(model_path)
    assert status == 0 and "No standard errors" in out
    assert f"{model.coef_[1]:.6g}" in out.splitlines()[3]
    status, _, _ = run(["plot", str(model_path), "--out", str(tmp_path / "f.png")], capsys)
    assert status == 0
    status, _, err = run(["predict", str(model_path), str(data), "--out", "p.txt"], capsys)
    assert status == 2 and "p.txt: the output must end in .parquet, .pq or .csv" in err


@pytest.mark.parametrize("damage", ["model saved over", "trace cut short", "standard errors cut"])
def test_plot_without_a_matching_trace_draws_the_history_only(damage, tmp_path, capsys):
    table = make_table(np.random.default_rng(14), 600)
    data = write(table, tmp_path / "d.parquet")
    model_path = tmp_path / "m.npz"
    assert run(["fit", str(data), "--target", "y", "--out", str(model_path)], capsys)[0] == 0
    trace_path = tmp_path / "m.trace.npz"
    if damage == "model saved over":  # from Python: the trace beside it is not its own
        reference_fit(table, 200).save(model_path)
    elif damage == "trace cut short":
        trace_path.write_bytes(trace_path.read_bytes()[:300])
    else:
        with np.load(trace_path) as saved:
            members = dict(saved)
        np.savez(trace_path, **{**members, "standard_errors": members["standard_errors"][:, :2]})
    figure = tmp_path / "f.png"
    status, _, err = run(["plot", str(model_path), "--out", str(figure)], capsys)
    assert status == 0 and "no per-batch coefficients" in err
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def fit_three_batches(tmp_path: Path, capsys: pytest.CaptureFixture[str], weighted: bool) -> Path:
    """'quillfen fit' over d.parquet, weighted by its column w or not: the model's path."""
    rng = np.random.default_rng(15)
    table = make_table(rng, 1500).append_column("w", pa.array(rng.uniform(0.5, 2.0, 1500)))
    data = write(table, tmp_path / "d.parquet")
    argv = ["fit", str(data), "--target", "y", "--features", *FEATURES, "--batch-rows", "500"]
    weights = ["--sample-weight", "w"] if weighted else []
    assert run([*argv, *weights, "--out", str(tmp_path / "m.npz")], capsys)[0] == 0
    return tmp_path / "m.npz"


def test_plot_draws_a_dashed_line_at_each_reference_value(tmp_path, capsys, monkeypatch):
    values = {"b": -2, "intercept": 4.0, "zz": 1}
    drawn = []
    savefig = matplotlib.figure.Figure.savefig

    def recording_savefig(figure, *args, **kwargs):
        drawn.append(figure)
        return savefig(figure, *args, **kwargs)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", recording_savefig)
    reference = tmp_path / "truth.json"
    reference.write_text(json.dumps(values))
    image = tmp_path / "f.png"
    model = fit_three_batches(tmp_path, capsys, weighted=True)
    status, out, err = run(
        ["plot", str(model), "--out", str(image), "--reference", str(reference)], capsys
    )
    assert status == 0 and out.strip() == str(image) and image.read_bytes()[:4] == b"\x89PNG"
    assert "names no coefficient of this model: zz" in err
    for axes in drawn[0].axes[: len(FEATURES) + 1]:
        name = axes.get_title()
        dashed = [line.get_ydata()[0] for line in axes.get_lines() if line.get_linestyle() == "--"]
        assert dashed == ([values[name]] if name in values else [])


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (None, "truth.json: no such file"),
        ("{'a': 1}", "truth.json: not JSON"),
        ('{"a": NaN}', "the value of 'a' is not a finite number"),
        ("[" * 100_000, "truth.json: not a readable JSON file (maximum recursion depth"),
    ],
)
def test_bad_reference_file_gets_one_line_and_status_2(content, message, tmp_path, capsys):
    reference = tmp_path / "truth.json"
    if content is not None:
        reference.write_text(content)
    image = tmp_path / "f.png"
    model = fit_three_batches(tmp_path, capsys, weighted=False)
    status, _, err = run(
        ["plot", str(model), "--out", str(image), "--reference", str(reference)], capsys
    )
    assert status == 2 and len(err.strip().splitlines()) == 1 and message in err
    assert not image.exists()


def test_batch_losses_are_each_batch_mean_huber_loss(tmp_path, capsys):
    model_path = fit_three_batches(tmp_path, capsys, weighted=True)
    model = quillfen.load(model_path)
    trace = CoefficientTrace.load_matching(model_path.with_name("m.trace.npz"), model)
    table = pq.read_table(tmp_path / "d.parquet")
    x, y, w = columns_of(table, FEATURES), table["y"].to_numpy(), table["w"].to_numpy()
    threshold = model.tau * model.scale_
    expected = []
    for start, parameters in zip(range(0, len(y), 500), trace.coefficients, strict=True):
        rows = slice(start, start + 500)
        residuals = y[rows] - x[rows] @ parameters[:-1] - parameters[-1]
        size = np.abs(residuals)
        loss = np.where(size <= threshold, residuals**2 / 2, threshold * (size - threshold / 2))
        expected.append(np.average(loss, weights=w[rows]))
    # The solver's objective also holds the pull toward the earlier batches' fit, a small term.
    np.testing.assert_allclose(batch_mean_losses(model.history_, trace, model), expected, rtol=1e-2)
    status, _, err = run(["plot", str(model_path), "--out", str(tmp_path / "f.png")], capsys)
    assert status == 0 and err == ""


def test_failed_fit_leaves_the_previous_model_untouched(tmp_path, capsys):
    rng = np.random.default_rng(4)
    write(make_table(rng, 300), tmp_path / "a.csv")
    model_path = tmp_path / "m.npz"
    assert run(["fit", str(tmp_path), "--target", "y", "--out", str(model_path)], capsys)[0] == 0
    before = model_path.read_bytes()
    (tmp_path / "b.csv").write_text("id,a,b,c,y\n1,1,2,3,4\n2,1,2,3,nan\n")
    status, _, err = run(["fit", str(tmp_path), "--target", "y", "--out", str(model_path)], capsys)
    assert status == 2 and "b.csv: row 2" in err
    assert model_path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.csv", "b.csv", "m.npz", "m.trace.npz"]


def test_ctrl_c_stops_between_batches_without_a_model(tmp_path, capsys, monkeypatch):
    data = write(make_table(np.random.default_rng(6), 1000), tmp_path / "d.parquet")
    fitted = []
    fold = HuberStream.fold

    def interrupted_after_two_batches(stream, X, *args, **kwargs):
        folded = fold(stream, X, *args, **kwargs)
        fitted.append(len(X))
        if len(fitted) == 2:
            os.kill(os.getpid(), signal.SIGINT)
        return folded

    monkeypatch.setattr(HuberStream, "fold", interrupted_after_two_batches)
    model_path = tmp_path / "m.npz"
    status, _, err = run(
        ["fit", str(data), "--target", "y", "--batch-rows", "100", "--out", str(model_path)], capsys
    )
    assert status == 130 and "interrupted after 2 batches" in err
    assert len(fitted) == 2 and not model_path.exists()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize(
    ("command", "module", "extra"),
    [("fit", "pyarrow", "io"), ("predict", "pyarrow", "io"), ("plot", "matplotlib", "plot")],
)
def test_missing_extra_names_it(command, module, extra, tmp_path, capsys, monkeypatch):
    data = write(make_table(np.random.default_rng(7), 100), tmp_path / "d.parquet")
    model_path = tmp_path / "m.npz"
    assert run(["fit", str(data), "--target", "y", "--out", str(model_path)], capsys)[0] == 0
    argv = {
        "fit": ["fit", str(data), "--target", "y", "--out", str(tmp_path / "n.npz")],
        "predict": ["predict", str(model_path), str(data), "--out", str(tmp_path / "p.csv")],
        "plot": ["plot", str(model_path), "--out", str(tmp_path / "f.png")],
    }[command]
    monkeypatch.setitem(sys.modules, module, None)
    status, _, err = run(argv, capsys)
    assert status == 2 and f"pip install 'quillfen[{extra}]'" in err


def test_python_dash_m_runs_the_command_line(tmp_path):
    data = write(make_table(np.random.default_rng(8), 200), tmp_path / "d.csv")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    ok = subprocess.run(
        [
            sys.executable,
            "-m",
            "quillfen",
            "fit",
            str(data),
            "--target",
            "y",
            "--out",
            str(tmp_path / "m.npz"),
        ],
        check=False,
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert ok.returncode == 0, ok.stderr
    bad = subprocess.run(
        [sys.executable, "-m", "quillfen", "summary", str(data)],
        check=False,
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert (
        bad.returncode == 2
        and "Traceback" not in bad.stderr
        and "not a quillfen model" in bad.stderr
    )


def _damage_model(path: Path, damage: str) -> None:
    """Rewrite the model file at `path` with the damage named, from its own members."""
    data = path.read_bytes()
    with np.load(path) as saved:
        members = dict(saved)
    if damage == "cut short":
        path.write_bytes(data[: len(data) // 2])
    elif damage == "bit flipped":  # inside a member's data, which the archive's checksum covers
        flipped = bytearray(data)
        flipped[data.find(members["information"].tobytes()) + 3] ^= 0x10
        path.write_bytes(bytes(flipped))
    elif damage == "a .npy array":
        with path.open("wb") as file:
            np.save(file, members["coefficients"])
    elif damage == "array for a number":
        np.savez(path, **{**members, "scale": np.ones(3)})


@pytest.mark.parametrize(
    "damage",
    [
        "cut short",
        "bit flipped",
        "a .npy array",
        "array for a number",
    ],
)
def test_damaged_model_file_gets_one_line_and_status_2(damage, tmp_path, capsys):
    model_path = fit_three_batches(tmp_path, capsys, weighted=False)
    _damage_model(model_path, damage)
    status, _, err = run(["summary", str(model_path)], capsys)
    assert status == 2 and len(err.strip().splitlines()) == 1
    assert err.startswith(f"quillfen summary: error: {model_path}: not a quillfen model file (")


def test_a_kill_between_the_renames_leaves_a_model_and_a_trace_seen_as_foreign(
    tmp_path, capsys, python_subprocess
):
    model_path = fit_three_batches(tmp_path, capsys, weighted=False)
    data = tmp_path / "d.parquet"
    # Killed right after the first of the two renames, where no clean-up code runs.
    result = python_subprocess(
        f"""
        import os
        from quillfen.cli import _csv_reader, main

        rename = os.replace
        def rename_then_die(source, target):
            rename(source, target)
            os._exit(9)
        os.replace = rename_then_die
        main(["fit", {str(data)!r}, "--target", "y", "--batch-rows", "400",
              "--out", {str(model_path)!r}, "--quiet"])
        """
    )
    assert result.returncode == 9, result.stderr
    assert quillfen.load(model_path).n_batches_ == 4  # the new model: 1500 rows in 400s
    stale = list(tmp_path.glob(".m.trace.partial-*.npz"))
    assert len(stale) == 1
    figure = str(tmp_path / "f.png")
    assert "no per-batch coefficients" in run(["plot", str(model_path), "--out", figure], capsys)[2]

    # The next fit removes what the dead process left, not the file of a running one.
    running = tmp_path / f".m.partial-{os.getppid()}.npz"
    running.write_bytes(b"")
    argv = ["fit", str(data), "--target", "y", "--out", str(model_path), "--quiet"]
    assert run(argv, capsys)[0] == 0
    assert not stale[0].exists() and running.exists()
    assert run(["plot", str(model_path), "--out", figure], capsys)[2] == ""


@pytest.mark.skipif(not Path("/proc/self/fd").is_dir(), reason="names open files through /proc")
def test_outputs_reach_the_disk_before_and_after_their_renames(tmp_path, capsys, monkeypatch):
    data = write(make_table(np.random.default_rng(17), 300), tmp_path / "d.parquet")
    model_path = tmp_path / "m.npz"
    flushed = []
    fsync = os.fsync

    def recording_fsync(descriptor):
        flushed.append((Path(os.readlink(f"/proc/self/fd/{descriptor}")), model_path.exists()))
        fsync(descriptor)

    monkeypatch.setattr(os, "fsync", recording_fsync)
    assert run(["fit", str(data), "--target", "y", "--out", str(model_path)], capsys)[0] == 0
    pid = os.getpid()
    assert flushed == [
        (tmp_path / f".m.partial-{pid}.npz", False),
        (tmp_path / f".m.trace.partial-{pid}.npz", False),
        (tmp_path, True),
    ]


@pytest.mark.parametrize(
    "command, unneeded",
    [
        # Parsing (and --help, and a usage error) needs none of the libraries.
        ("parse", ["numpy", "pyarrow", "sklearn", "pandas", "matplotlib", "tqdm", "dask"]),
        # A quiet fit draws nothing, shows no bar and folds its batches without the estimator.
        ("fit", ["matplotlib", "tqdm", "dask", "sklearn", "scipy", "pandas"]),
    ],
)
def test_a_command_imports_only_what_it_uses(command, unneeded, tmp_path, python_subprocess):
    data = write(make_table(np.random.default_rng(18), 300), tmp_path / "d.parquet")
    argv = ["fit", str(data), "--target", "y", "--out", str(tmp_path / "m.npz"), "--quiet"]
    run_it = "build_parser().parse_args(argv)" if command == "parse" else "assert main(argv) == 0"
    result = python_subprocess(
        f"""
        import sys
        from quillfen.cli import build_parser, main

        argv = {argv!r}
        {run_it}
        print(" ".join(sorted(name for name in {unneeded!r} if name in sys.modules)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == []


@pytest.mark.parametrize("delay", [0.0, 0.3])
def test_ctrl_c_while_the_command_starts_is_one_line_and_status_130(delay, tmp_path):
    rng = np.random.default_rng(16)
    x = rng.standard_normal((20_000, 2))
    data = tmp_path / "d.csv"
    rows = np.column_stack([x, x @ [1.0, -1.0] + rng.standard_normal(20_000)])
    np.savetxt(data, rows, fmt="%.4f", delimiter=",", header="a,b,y", comments="")
    # -X importtime reports each import as it ends: the signal is sent a delay after the command
    # line's own module, while NumPy, Arrow and scikit-learn load or the batches begin.
    process = subprocess.Popen(
        [sys.executable, "-X", "importtime", "-m", "quillfen", "fit", str(data), "--target", "y"]
        + ["--batch-rows", "4", "--out", str(tmp_path / "m.npz"), "--quiet"],
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    lines: list[str] = []
    started = threading.Event()

    def read_stderr() -> None:
        for line in process.stderr:
            lines.append(line)
            if line.rstrip().endswith(" quillfen.cli"):
                started.set()
        started.set()

    reader = threading.Thread(target=read_stderr, daemon=True)
    reader.start()
    assert started.wait(60)
    time.sleep(delay)
    process.send_signal(signal.SIGINT)
    status = process.wait(60)
    reader.join(10)
    messages = [line for line in lines if not line.startswith("import time:")]
    assert status == 130 and len(messages) == 1, (status, messages)
    assert messages[0].startswith("quillfen fit: interrupted")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.csv"]

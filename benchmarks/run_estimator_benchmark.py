"""Times StreamingHuberRegressor.partial_fit against the bare engine update in the same run.

Both sides fold the same batches, in the same order, into the same state: the bare engine is
restored from the estimator's summary after its first batch and given the estimator's threshold and
settings, so both solvers take the same iterations. The bare side gets its design matrix (intercept
column included) ready-made, as a caller of the engine builds it once; the estimator's own copy into
its design buffer, its checks, its records and (with covariance) its score Gram count as its
overhead. Each batch goes to both sides back to back, in alternating order, and the medians of the
per-call times are compared, because the shared host's speed drifts and bursts. The default
estimator is also set against scikit-learn's averaged Huber SGD on the same batches.

With ``--busy`` every case runs twice: alone, then with one CPU-bound process spinning beside it,
and the slow-down of the default estimator is set against the bare engine's. Targets are printed
next to the results; nothing fails on a missed target.

Usage: run_estimator_benchmark.py [--busy]   (QUILLFEN_BENCH_ROUNDS: rounds, default 3)
"""

import multiprocessing
import os
import platform
import sys
import time
import warnings

import numpy as np
from sklearn.linear_model import SGDRegressor
from timing import cpu_name, report_target

from quillfen import NativeCpuEngine, StreamingHuberRegressor
from quillfen._ridge import ridge_term

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "3"))
# (rows, features, batches per round, dtype, compute_covariance, largest ratio, or microseconds
# added when the ratio is missed)
CASES = [
    (100_000, 20, 6, "float64", False, 1.10, None),
    (100_000, 20, 6, "float64", True, 1.35, None),
    (100_000, 20, 6, "float32", True, 1.35, None),
    (20_000, 200, 4, "float64", True, 1.35, None),
    (20_000, 200, 4, "float32", True, 1.35, None),
    (1_000, 10, 300, "float64", False, 1.35, 15.0),
    (1_000, 10, 300, "float64", True, 1.60, None),
]


def make_batches(rows, n_features, count, dtype, seed):
    rng = np.random.default_rng(seed)
    coef = rng.standard_normal(n_features)
    batches = []
    for _ in range(count):
        X = rng.standard_normal((rows, n_features)).astype(dtype)
        y = (X @ coef + 1.0 + rng.standard_t(3.0, rows)).astype(dtype)
        design = np.ascontiguousarray(np.c_[X, np.ones(rows, dtype)])
        batches.append((X, y, design))
    return batches


def paired_setup(rows, n_features, dtype, compute_covariance):
    """An estimator after its first batch and a bare engine holding the same summary."""
    ((X, y, _),) = make_batches(rows, n_features, 1, dtype, seed=1)
    estimator = StreamingHuberRegressor(compute_covariance=compute_covariance).partial_fit(X, y)
    state = estimator._stream.engine.state()
    del state["state_is_detached"]
    engine = NativeCpuEngine(dtype, n_features + 1)
    engine.restore(**state)
    # The settings of the estimator's next update, from its public parameters and scale.
    scale = estimator.scale_
    tol = {"float32": 1e-5, "float64": 1e-8}[dtype] if estimator.tol is None else estimator.tol
    settings = (n_features, True, estimator.tau * scale, "none", 1.0, scale, 50, tol)
    return estimator, engine, settings


def run_case(rows, n_features, count, dtype, compute_covariance):
    """Median seconds per call of partial_fit, of the bare update and of SGD's partial_fit."""
    estimator, engine, settings = paired_setup(rows, n_features, dtype, compute_covariance)
    batches = make_batches(rows, n_features, count, dtype, seed=2)
    sgd = SGDRegressor(loss="huber", average=True)
    times = {"layer": [], "bare": [], "sgd": []}
    ridge = [0.0]  # the bare side's absolute ridge term, set before each of its calls

    def layer(X, y, _):
        estimator.partial_fit(X, y)

    def bare(_, y, design):
        # The estimator's ridge is relative to the system's diagonal; the absolute term it passed
        # is not public, so the bare side takes the one that reproduces the estimator's bits.
        return engine.update(design, y, None, float(rows), *settings, ridge[0])

    def sgd_side(X, y, _):
        sgd.partial_fit(X, y)

    sides = [layer, bare] + ([sgd_side] if compute_covariance else [])
    for _ in range(ROUNDS):
        for index, batch in enumerate(batches):
            # Each batch goes to every side back to back, the order turning, so that all see the
            # same drift of the shared host; medians shrug off the bursts.
            shift = index % len(sides)
            for side in sides[shift:] + sides[:shift]:
                if side is bare:
                    ridge[0] = _matching_ridge(estimator, engine)
                start = time.perf_counter()
                side(*batch)
                elapsed = time.perf_counter() - start
                times[side.__name__ if side is not sgd_side else "sgd"].append(elapsed)
    # Same batches, same start, same settings: the two must agree to the bit.
    fitted = np.append(estimator.coef_, estimator.intercept_).astype(dtype)
    assert np.array_equal(engine.state()["coefficients"], fitted)
    medians = {name: float(np.median(values)) if values else None for name, values in times.items()}
    return medians["layer"], medians["bare"], medians["sgd"]


def _matching_ridge(estimator, engine):
    """The absolute ridge term the estimator passes for its next batch: `ridge` relative to the
    diagonal of the information so far over its weight."""
    state = engine.state()
    diagonal = np.diagonal(state["information"]) / state["weight_sum"]
    return ridge_term(float(estimator.ridge), diagonal, state["information"].dtype)


def spin():
    while True:
        pass


def run_all(label):
    print(f"\n{label}")
    header = (
        f"{'rows x features':>16} {'dtype':>8} {'cov':>5} {'update ms':>10} {'partial_fit ms':>15}"
        f" {'ratio':>7} {'SGD ms':>8}"
    )
    print(header)
    print("-" * len(header))
    results = []
    for rows, n_features, count, dtype, covariance, limit, added_us in CASES:
        layer, bare, sgd = run_case(rows, n_features, count, dtype, covariance)
        results.append((rows, n_features, dtype, covariance, limit, added_us, layer, bare, sgd))
        sgd_text = f"{1e3 * sgd:>8.3f}" if sgd is not None else f"{'':>8}"
        print(
            f"{rows:>8} x {n_features:<5} {dtype:>8} {covariance!s:>5} {1e3 * bare:>10.3f}"
            f" {1e3 * layer:>15.3f} {layer / bare:>7.2f} {sgd_text}"
        )
    return results


def report(results, label):
    for rows, n_features, dtype, covariance, limit, added_us, layer, bare, sgd in results:
        name = (
            f"{label}partial_fit {rows}x{n_features} {dtype}{' covariance' if covariance else ''}"
        )
        measured = f"{layer * 1e3:.3f} ms / update {bare * 1e3:.3f} ms"
        if added_us is not None and layer / bare > limit:
            measured = f"{layer * 1e6:.1f} us - update {bare * 1e6:.1f} us"
            report_target(f"{name}, us added", measured, (layer - bare) * 1e6, added_us)
        else:
            report_target(f"{name} / update", measured, layer / bare, limit)
        if covariance and rows == 100_000 and n_features == 20 and dtype == "float64":
            measured = f"{layer * 1e3:.3f} ms / SGD {sgd * 1e3:.3f} ms"
            report_target(
                f"{label}default estimator per batch / averaged SGD", measured, layer / sgd, 1.0
            )


def main():
    warnings.simplefilter("ignore")
    print("StreamingHuberRegressor.partial_fit against NativeCpuEngine.update")
    print(f"CPU: {cpu_name()}")
    print(
        f"({platform.python_implementation()} {platform.python_version()}, numpy {np.__version__},"
        f" medians over {ROUNDS} passes, calls paired)"
    )
    quiet = run_all("alone")
    report(quiet, "")
    if "--busy" in sys.argv[1:]:
        spinner = multiprocessing.get_context("spawn").Process(target=spin, daemon=True)
        spinner.start()
        try:
            busy = run_all("with one CPU-bound process beside it")
        finally:
            spinner.terminate()
        report(busy, "busy: ")
        for alone, loaded in zip(quiet, busy, strict=True):
            rows, n_features, dtype, covariance = alone[:4]
            layer_slowdown = loaded[6] / alone[6]
            bare_slowdown = loaded[7] / alone[7]
            name = f"busy: {rows}x{n_features} {dtype}{' covariance' if covariance else ''}"
            measured = f"partial_fit x{layer_slowdown:.2f}, update x{bare_slowdown:.2f}"
            # The layer may degrade no worse than the engine beneath it (with 10 % for noise).
            report_target(
                f"{name}, slow-down / engine's", measured, layer_slowdown / bare_slowdown, 1.10
            )
    print()


if __name__ == "__main__":
    main()

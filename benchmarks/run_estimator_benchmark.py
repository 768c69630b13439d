"""Times StreamingHuberRegressor.partial_fit against the bare engine update in the same run.

Both sides fold the same batches, in the same order, into the same state: the bare engine is
restored from the estimator's summary after its first batch and given the estimator's threshold and
settings, so both solvers take the same iterations. The bare side gets its design matrix (intercept
column included) ready-made, as a caller of the engine builds it once; the estimator's own copy into
its design buffer, its checks, its records and (with covariance) its extra Gram product count as its
overhead. Each batch goes to both sides back to back, in alternating order, and the medians of the
per-call times are compared, because the shared host's speed drifts and bursts. Targets are
printed next to the results; nothing fails on a missed target.

Usage: run_estimator_benchmark.py   (QUILLFEN_BENCH_ROUNDS sets the number of rounds, default 5)
"""

import os
import platform
import time
import warnings

import numpy as np
from timing import cpu_name, report_target

from quillfen import NativeCpuEngine, StreamingHuberRegressor

ROUNDS = int(os.environ.get("QUILLFEN_BENCH_ROUNDS", "5"))
# (rows, features, batches per round, compute_covariance, target, target unit)
CASES = [
    (100_000, 20, 8, False, 0.10, "ratio"),
    (100_000, 20, 8, True, 0.40, "ratio"),
    (1_000, 10, 400, False, 15.0, "us"),
    (1_000, 10, 400, True, None, "us"),
]


def make_batches(rows, n_features, count, seed):
    rng = np.random.default_rng(seed)
    coef = rng.standard_normal(n_features)
    batches = []
    for _ in range(count):
        X = rng.standard_normal((rows, n_features))
        y = X @ coef + 1.0 + rng.standard_t(3.0, rows)
        design = np.ascontiguousarray(np.c_[X, np.ones(rows)])
        batches.append((X, y, design))
    return batches


def paired_setup(rows, n_features, compute_covariance):
    """An estimator after its first batch and a bare engine holding the same summary."""
    ((X, y, _),) = make_batches(rows, n_features, 1, seed=1)
    estimator = StreamingHuberRegressor(compute_covariance=compute_covariance).partial_fit(X, y)
    state = estimator._engine.state()
    del state["state_is_detached"]
    engine = NativeCpuEngine("float64", n_features + 1)
    engine.restore(**state)
    settings = (
        n_features,
        True,
        estimator._threshold,
        "none",
        1.0,
        estimator.scale_,
        50,
        estimator._tolerance("float64"),
        estimator.ridge,
    )
    return estimator, engine, settings


def run_case(rows, n_features, count, compute_covariance):
    """Median seconds per call of partial_fit and of the bare update, over ROUNDS passes."""
    estimator, engine, settings = paired_setup(rows, n_features, compute_covariance)
    batches = make_batches(rows, n_features, count, seed=2)
    layer_times, bare_times = [], []

    def layer(X, y, _):
        estimator.partial_fit(X, y)

    def bare(_, y, design):
        return engine.update(design, y, None, float(rows), *settings)

    for _ in range(ROUNDS):
        for index, batch in enumerate(batches):
            # Each batch goes to both sides back to back, the order alternating, so that both
            # see the same drift of the shared host; medians shrug off the bursts.
            pair = (layer, bare) if index % 2 == 0 else (bare, layer)
            for side in pair:
                start = time.perf_counter()
                result = side(*batch)
                elapsed = time.perf_counter() - start
                (layer_times if side is layer else bare_times).append(elapsed)
                if result is not None:
                    last = result
    # Same batches, same start, same settings: the two must agree to the bit.
    assert np.array_equal(last["coefficients"], estimator._coefficients)
    return float(np.median(layer_times)), float(np.median(bare_times))


def main():
    warnings.simplefilter("ignore")
    print("StreamingHuberRegressor.partial_fit against NativeCpuEngine.update, float64")
    print(f"CPU: {cpu_name()}")
    print(
        f"({platform.python_implementation()} {platform.python_version()}, numpy {np.__version__},"
        f" medians over {ROUNDS} passes, calls paired)\n"
    )
    header = (
        f"{'rows x features':>16} {'covariance':>10} {'update ms':>10} {'partial_fit ms':>15}"
        f" {'added':>10}"
    )
    print(header)
    print("-" * len(header))
    results = []
    for rows, n_features, count, covariance, target, unit in CASES:
        layer, bare = run_case(rows, n_features, count, covariance)
        results.append((rows, n_features, covariance, target, unit, layer, bare))
        shown = (
            f"{100 * (layer / bare - 1.0):>9.1f}%"
            if unit == "ratio"
            else f"{(layer - bare) * 1e6:>8.1f}us"
        )
        print(
            f"{rows:>8} x {n_features:<5} {covariance!s:>10} {1e3 * bare:>10.3f}"
            f" {1e3 * layer:>15.3f} {shown:>10}"
        )
    for rows, n_features, covariance, target, unit, layer, bare in results:
        if target is None:
            continue
        name = f"partial_fit {rows}x{n_features}{' covariance' if covariance else ''}"
        if unit == "ratio":
            measured = f"{layer * 1e3:.3f} ms / update {bare * 1e3:.3f} ms - 1"
            report_target(f"{name}, time added", measured, layer / bare - 1.0, target)
        else:
            measured = f"{layer * 1e6:.1f} us - update {bare * 1e6:.1f} us"
            report_target(f"{name}, us added", measured, (layer - bare) * 1e6, target)
    print()


if __name__ == "__main__":
    main()

"""Fits StreamingHuberRegressor on a Dask DataFrame whose partitions never leave the workers.

A local cluster of two worker processes stands in for a real one. Each partition is generated on
the worker that holds it (as it would be read there from Parquet): a heavy-tailed regression with
gross errors, a target column "y" and a frequency-weight column "w". The model then goes to the
data twice:
- mode="exact": one summary visits the partitions in order; the result equals partial_fit over
  the same partitions on one machine, bit for bit;
- mode="parallel": every partition is fitted at once, the fits are merged, and distributed Newton
  rounds move the merged coefficients to the full-data Huber minimiser.
Only summaries of the size of the information matrix ever travel.

Run from the repository root: .venv/bin/python examples/dask_fit.py
"""

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import quillfen.dask
from quillfen import StreamingHuberRegressor

N_PARTITIONS = 8
PARTITION_ROWS = 5000
FEATURES = ["price", "distance", "age", "rooms"]
TRUE_COEF = np.array([0.15, -0.2, 0.0, 0.08])
TRUE_INTERCEPT = 20.0


def make_partition(seed):
    """One partition, generated where it will live."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        rng.standard_normal((PARTITION_ROWS, len(FEATURES))) * 10, columns=FEATURES
    )
    y = frame.to_numpy() @ TRUE_COEF + TRUE_INTERCEPT + rng.standard_t(2.5, PARTITION_ROWS)
    bad = rng.random(PARTITION_ROWS) < 0.03
    y[bad] = 60.0 + 2.0 * frame["price"].to_numpy()[bad]
    frame["y"] = y
    frame["w"] = rng.integers(1, 3, PARTITION_ROWS).astype(float)
    return frame


def error(model):
    return np.linalg.norm(np.append(model.coef_ - TRUE_COEF, model.intercept_ - TRUE_INTERCEPT))


def main():
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        meta = make_partition(0).iloc[:0]
        frame = dd.from_delayed(
            [dask.delayed(make_partition)(s) for s in range(N_PARTITIONS)], meta
        )
        frame = client.persist(frame)  # partitions made and kept on the workers

        settings = StreamingHuberRegressor(tau=1.345)  # only its parameters are used
        exact = quillfen.dask.fit(frame, target="y", sample_weight="w", estimator=settings)
        print("exact mode:", exact.n_samples_seen_, "rows in", exact.n_batches_, "partitions")
        print(exact.summary())

        parallel = quillfen.dask.fit(
            frame, target="y", sample_weight="w", estimator=settings, mode="parallel"
        )
        merged_only = quillfen.dask.fit(
            frame, target="y", sample_weight="w", estimator=settings, mode="parallel", refine=0
        )

    print("distance to the true coefficients (coefficients and intercept, Euclidean):")
    for name, model in [("exact", exact), ("parallel", parallel), ("merge only", merged_only)]:
        print(f"  {name:<11} {error(model):.5f}")
    step = np.abs(np.append(parallel.coef_ - exact.coef_, parallel.intercept_ - exact.intercept_))
    print(f"largest difference between the parallel and exact coefficients: {step.max():.2e}")


if __name__ == "__main__":
    main()

"""Accuracy of streamed fits against the full-data Huber fit, on simulated streams.

Each stream: 50 batches of 400 rows, 5 standard normal features with random coefficients, an
intercept of 1, t(2.5) noise and 3% symmetric gross errors of size 20. For each stream the error
(Euclidean distance of coefficients and intercept from the truth) of StreamingHuberRegressor fed
batch by batch, and of scikit-learn's SGDRegressor (Huber loss at the same threshold, averaged, fed
by partial_fit), is divided by the error of one Huber fit on all the data at once.

Usage: compare_accuracy.py [n_streams]   (default 10)
"""

import sys
import warnings

import numpy as np
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import SGDRegressor

from quillfen import StreamingHuberRegressor

N_BATCHES, ROWS, N_FEATURES = 50, 400, 5


def stream(rng, truth, intercept):
    for _ in range(N_BATCHES):
        X = rng.standard_normal((ROWS, N_FEATURES))
        y = X @ truth + intercept + rng.standard_t(2.5, ROWS)
        bad = rng.random(ROWS) < 0.03
        y[bad] += rng.choice([-1.0, 1.0], bad.sum()) * 20.0
        yield X, y


def error_ratios(seed):
    rng = np.random.default_rng(seed)
    truth, intercept = rng.standard_normal(N_FEATURES), 1.0
    batches = list(stream(rng, truth, intercept))
    full = StreamingHuberRegressor().fit(
        np.vstack([X for X, _ in batches]), np.concatenate([y for _, y in batches])
    )
    streamed = StreamingHuberRegressor()
    sgd = SGDRegressor(
        loss="huber", epsilon=full.tau * full.scale_, average=True, random_state=seed
    )
    for X, y in batches:
        streamed.partial_fit(X, y)
        sgd.partial_fit(X, y)

    def error(coef, b):
        return np.linalg.norm(np.append(coef, b) - np.append(truth, intercept))

    reference = error(full.coef_, full.intercept_)
    return (
        error(streamed.coef_, streamed.intercept_) / reference,
        error(sgd.coef_, sgd.intercept_[0]) / reference,
    )


def main():
    warnings.simplefilter("ignore", ConvergenceWarning)
    n_streams = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    ratios = np.array([error_ratios(seed) for seed in range(n_streams)])
    print(
        f"error / full-data Huber fit's error over {n_streams} streams of {N_BATCHES} batches"
        f" x {ROWS} rows"
    )
    for name, column in zip(
        ["StreamingHuberRegressor", "SGDRegressor(huber, averaged)"], ratios.T, strict=False
    ):
        print(
            f"{name:>30}: median {np.median(column):.3f}, range {column.min():.3f}"
            f" to {column.max():.3f}"
        )


if __name__ == "__main__":
    main()

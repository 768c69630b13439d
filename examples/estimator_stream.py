"""Streams a heavy-tailed regression problem through StreamingHuberRegressor, batch by batch.

The data: five features on a scale of tens, an intercept of 20, Student-t noise with 2.5 degrees of
freedom, and 3% of the targets replaced by gross errors. Each batch arrives as a pandas DataFrame,
is folded in with partial_fit and then forgotten. At the end the estimator prints its summary table
(sandwich standard errors); then the estimates stand beside the true values and least squares on
all the data at once, with whether each 95 % interval covers the truth and why the intercept's
does not; last the model is saved to an .npz file, loaded back and shown to predict exactly as
before.

Run from the repository root: .venv/bin/python examples/estimator_stream.py
"""

import tempfile
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd

import quillfen
from quillfen import StreamingHuberRegressor

SEED = 11
N_BATCHES = 20
BATCH_ROWS = 2000
FEATURES = ["price", "distance", "age", "rooms", "noise_level"]
TRUE_COEF = np.array([0.15, -0.2, 0.0, 0.08, 0.0])
TRUE_INTERCEPT = 20.0
WIDTH = 100  # of the printed explanation


def make_batch(rng):
    X = pd.DataFrame(rng.standard_normal((BATCH_ROWS, len(FEATURES))) * 10.0, columns=FEATURES)
    y = X.to_numpy() @ TRUE_COEF + TRUE_INTERCEPT + rng.standard_t(2.5, BATCH_ROWS)
    bad = rng.random(BATCH_ROWS) < 0.03
    y[bad] = 60.0 + 2.0 * X["price"].to_numpy()[bad]  # gross errors that also pull the slope
    return X, y


def print_against_truth(model, least_squares):
    """The estimates beside the true values, and whether the 95 % intervals cover them."""
    truth = np.append(TRUE_COEF, TRUE_INTERCEPT)
    estimates = np.append(model.coef_, model.intercept_)
    intervals = model.conf_int(alpha=0.05)
    covered = (intervals[:, 0] <= truth) & (truth <= intervals[:, 1])
    print(
        f"\n{'':<12}{'true':>7}{'Huber':>10}{'std err':>10}{'95 % interval':>22}{'covers':>8}"
        f"{'least sq':>10}"
    )
    for row, name in enumerate([*FEATURES, "intercept"]):
        low, high = intervals[row]
        print(
            f"{name:<12}{truth[row]:>7g}{estimates[row]:>10.4f}{model.bse_[row]:>10.2g}"
            f"{f'[{low:.4f}, {high:.4f}]':>22}{'yes' if covered[row] else 'NO':>8}"
            f"{least_squares[row]:>10.4f}"
        )
    print(
        textwrap.fill(
            "Intercept biased up: the gross errors (y = 60 + 2 x price) all lie above the line,"
            " and the Huber loss bounds their pull but cannot cancel it when they all pull one"
            " way (the price slope leans up too).",
            width=WIDTH,
        )
    )


def main():
    rng = np.random.default_rng(SEED)
    model = StreamingHuberRegressor()
    frames, targets = [], []
    print(
        f"{N_BATCHES} batches of {BATCH_ROWS} rows; features on a scale of 10, intercept 20,"
        " t(2.5) noise, 3% gross errors\n"
    )
    print(f"{'batch':>5} {'rows seen':>9} {'iterations':>10} {'converged':>9} {'intercept':>10}")
    for _ in range(N_BATCHES):
        X, y = make_batch(rng)
        frames.append(X)
        targets.append(y)
        model.partial_fit(X, y)
        last = model.history_[-1]
        if model.n_batches_ in (1, 2, 5, 10, 20):
            print(
                f"{model.n_batches_:>5} {model.n_samples_seen_:>9} {last['iterations']:>10}"
                f" {last['converged']!s:>9} {model.intercept_:>10.4f}"
            )
    print(
        f"\nscale_ = {model.scale_:.4f}: the Huber threshold is tau x scale_ ="
        f" {model.tau * model.scale_:.4f} in units of y\n"
    )
    print(model.summary())

    X_all, y_all = pd.concat(frames).to_numpy(), np.concatenate(targets)
    least_squares = np.linalg.lstsq(np.c_[X_all, np.ones(len(y_all))], y_all, rcond=None)[0]
    print_against_truth(model, least_squares)

    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "model.npz"
        model.save(path)
        reloaded = quillfen.load(path)
        size = path.stat().st_size
    X_new, _ = make_batch(rng)
    same = np.array_equal(model.predict(X_new), reloaded.predict(X_new))
    print(
        f"\nsaved to a {size}-byte .npz and loaded back: predictions identical: {same};"
        f" the loaded model has seen {reloaded.n_samples_seen_} rows and keeps streaming"
    )
    reloaded.partial_fit(*make_batch(rng))
    print(f"after one more batch: {reloaded.n_batches_} batches, {reloaded.n_samples_seen_} rows")


if __name__ == "__main__":
    main()

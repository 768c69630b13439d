"""Streams a heavy-tailed regression problem through two engines, batch by batch.

The data: 8 features (three of them with a true coefficient of zero) and an intercept, Student-t
noise with 2.5 degrees of freedom, and 3% of the targets replaced by gross errors from another
process. One engine fits the plain Huber model, the other adds the l1 penalty. Neither keeps old
batches: each update folds one batch into the engine's summary. At the end both are set against
an ordinary least-squares fit on all the data at once, and one engine's summary is saved and
reloaded into a fresh engine.

Run from the repository root: .venv/bin/python examples/stream.py
"""

import io

import numpy as np

from quillfen import NativeCpuEngine

SEED = 7
N_BATCHES = 20
BATCH_ROWS = 2000
TRUE_COEF = np.array([1.5, -2.0, 0.0, 0.8, 0.0, -1.2, 0.0, 0.5])
TRUE_INTERCEPT = 3.0
NOISE_DF = 2.5
OUTLIER_SHARE = 0.03

# tau suits noise of unit scale; lambda_scale only matters for the l1 engine. The l1 solver accepts
# a step when the objective rises by at most 1e-12, which leaves steps of about 1e-6 unresolved, so
# a tighter tol would only run it to max_iter without changing the fit.
SETTINGS = dict(tau=1.345, lambda_scale=0.5, bandwidth_scale=1.0, max_iter=50, tol=1e-6, ridge=1e-8)


def make_batch(rng, rows):
    """Design with the intercept column of ones last, as the engine expects, and targets."""
    x = rng.standard_normal((rows, TRUE_COEF.size))
    y = x @ TRUE_COEF + TRUE_INTERCEPT + rng.standard_t(NOISE_DF, rows)
    # Gross errors: a contaminating process whose values also drift with the first feature, so
    # they pull a least-squares fit's slope as well as its intercept.
    bad = rng.random(rows) < OUTLIER_SHARE
    y[bad] = 25.0 + 10.0 * x[bad, 0] + rng.standard_normal(bad.sum())
    design = np.empty((rows, TRUE_COEF.size + 1))
    design[:, :-1] = x
    design[:, -1] = 1.0
    return design, y


def update(engine, design, y, penalty):
    return engine.update(
        design, y, None, float(len(y)), TRUE_COEF.size, True, penalty=penalty, **SETTINGS
    )


def main():
    rng = np.random.default_rng(SEED)
    n_parameters = TRUE_COEF.size + 1
    huber = NativeCpuEngine("float64", n_parameters)
    lasso = NativeCpuEngine("float64", n_parameters)

    print(
        f"{N_BATCHES} batches of {BATCH_ROWS} rows, {TRUE_COEF.size} features + intercept,"
        f" t({NOISE_DF}) noise, {OUTLIER_SHARE:.0%} gross outliers\n"
    )
    # The bandwidth depends only on the accumulated weight, so both engines report the same one.
    header = (
        f"{'batch':>5} {'seen':>6} {'bandwidth':>10} | {'none: it':>8} {'conv':>5}"
        f" {'objective':>10} | {'l1: it':>6} {'conv':>5} {'objective':>10} {'lambda':>8}"
    )
    print(header)
    print("-" * len(header))
    designs, targets = [], []
    for _ in range(N_BATCHES):
        design, y = make_batch(rng, BATCH_ROWS)
        designs.append(design)
        targets.append(y)
        a = update(huber, design, y, "none")
        b = update(lasso, design, y, "l1")
        print(
            f"{a['batch_count']:>5} {a['n_samples_seen']:>6} {a['bandwidth']:>10.2e} |"
            f" {a['iterations']:>8} {str(a['converged']):>5} {a['objective']:>10.5f} |"
            f" {b['iterations']:>6} {str(b['converged']):>5} {b['objective']:>10.5f}"
            f" {b['lambda_value']:>8.5f}"
        )
    print(
        "it: solver iterations. objective: (the batch's Huber loss + the quadratic summary of"
        " earlier\nbatches) / the total weight so far, plus the l1 term on the l1 engine"
    )

    # The baseline sees all the data at once; the engines saw one batch at a time.
    all_design, all_y = np.vstack(designs), np.concatenate(targets)
    least_squares = np.linalg.lstsq(all_design, all_y, rcond=None)[0]
    truth = np.append(TRUE_COEF, TRUE_INTERCEPT)
    fits = {
        "huber": huber.state()["coefficients"],
        "huber+l1": lasso.state()["coefficients"],
        "lstsq": least_squares,
    }

    print("\nCoefficients (the last row is the intercept)")
    header = f"{'':>10} {'true':>8}" + "".join(f" {name:>9}" for name in fits)
    print(header)
    print("-" * len(header))
    names = [f"x{j}" for j in range(TRUE_COEF.size)] + ["intercept"]
    for j, name in enumerate(names):
        # + 0.0 shows the l1 fit's negative zeros as 0.0000.
        print(
            f"{name:>10} {truth[j]:>8.3f}" + "".join(f" {c[j] + 0.0:>9.4f}" for c in fits.values())
        )
    print("-" * len(header))
    print(
        f"{'max error':>10} {'':>8}"
        + "".join(f" {np.abs(c - truth).max():>9.4f}" for c in fits.values())
    )
    print(
        f"{'exact 0s':>10} {'3':>8}"
        + "".join(f" {np.count_nonzero(c[:-1] == 0.0):>9}" for c in fits.values())
    )

    # Save the summary (here to an in-memory .npz file), reload it into a fresh engine and check
    # that the reloaded engine predicts exactly what the original one does. restore takes every
    # entry of state() but "state_is_detached".
    saved = huber.state()
    del saved["state_is_detached"]
    buffer = io.BytesIO()
    np.savez(buffer, **saved)
    buffer.seek(0)
    fresh = NativeCpuEngine("float64", n_parameters)
    with np.load(buffer) as loaded:
        fresh.restore(**loaded)
    new_design, _ = make_batch(rng, 5)
    original, reloaded = huber.predict(new_design), fresh.predict(new_design)
    print(
        f"\nSaved and reloaded the huber engine ({buffer.getbuffer().nbytes} bytes as .npz);"
        f" batch_count {fresh.state()['batch_count']}"
    )
    print("predictions on 5 new rows, original:", np.array2string(original, precision=4))
    print("                           reloaded:", np.array2string(reloaded, precision=4))
    print("identical:", np.array_equal(original, reloaded))


if __name__ == "__main__":
    main()

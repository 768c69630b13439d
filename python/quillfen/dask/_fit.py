"""`fit`: the entry point of the Dask layer."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal

from quillfen.dask._exact import fit_exact
from quillfen.dask._parallel import fit_parallel
from quillfen.dask._partitions import partition_sources
from quillfen.dask._warnings import warn_unconverged_batches

if TYPE_CHECKING:
    from quillfen._estimator import StreamingHuberRegressor

DEFAULT_REFINE = 10


def fit(
    X: Any,
    y: Any = None,
    *,
    target: Any = None,
    sample_weight: Any = None,
    estimator: StreamingHuberRegressor | None = None,
    mode: Literal["exact", "parallel"] = "exact",
    refine: int = DEFAULT_REFINE,
) -> StreamingHuberRegressor:
    """Fit a StreamingHuberRegressor on a Dask collection without moving its partitions.

    The data stays on the workers that hold it: tasks run next to the partitions and only
    summaries of size O(p^2) travel between workers and back to the client. Runs on the
    current Dask scheduler (a `dask.distributed.Client` when one is active).

    Parameters
    ----------
    X : dask.dataframe.DataFrame or dask.array.Array
        The features. A DataFrame may also hold the target and weight columns (see `target`
        and `sample_weight`); every other column is a feature. An Array needs `y`, and its
        blocks are re-chunked to hold all columns if they are split by column.
    y : dask.array.Array or dask.dataframe.Series, optional
        The target, partitioned like `X` (a 1-d Array whose row chunks differ from those of `X`
        is re-chunked to match). Not allowed together with `target`.
    target : column label, optional
        The column of the DataFrame `X` that holds the target.
    sample_weight : column label, dask.array.Array or dask.dataframe.Series, optional
        Row weights: a column of the DataFrame `X`, or a collection partitioned like `X`.
        They count as frequency weights, as in `StreamingHuberRegressor.partial_fit`.
    estimator : StreamingHuberRegressor, optional
        Its parameters are used; it is not changed itself. Default: a new one.
    mode : {"exact", "parallel"}, default="exact"
        "exact": one summary visits the partitions in order, one task per partition on the
        worker that holds it. The result is bit for bit what `partial_fit` over the same
        partitions gives on one machine, with either penalty. The partitions are processed
        one after another, so this mode does not run faster with more workers.

        "parallel": every partition is fitted alone on its own worker, the fits are combined
        with `quillfen.merge`, and then up to `refine` distributed Newton rounds move the merged
        coefficients to the full-data Huber minimiser. The first non-empty partition is fitted
        first: with ``scale="auto"`` it fixes the scale for every partition, as `partial_fit`'s
        first batch does, and its coefficients seed the other partitions' solves, which then
        run at the same time. For the length of the fit each worker keeps its partitions in
        memory, and while refining a float64 copy of their design matrices. The penalty "l1" is not supported in this mode (a merge of l1 fits
        is not an l1 fit).
    refine : int, default=10
        Parallel mode only: the most Newton steps taken after the merge. Each step costs one
        round over the data in which every partition returns its objective, gradient and
        curvature-weighted Gram at the trial coefficients (O(p^2) per partition); a step that
        raises the objective is halved at the cost of another round. Rounds stop early once a
        step is below the estimator's `tol` relative to the coefficients' norm (1e-8 when `tol`
        is None: the rounds compute in float64 whatever the element type). The
        information matrix and the covariance accumulator are then recomputed at the refined
        coefficients. With ``refine=0`` the result is the merge alone: the information-weighted
        average of the per-partition fits, close to the full-data fit when every partition is
        large compared with the number of features, but not its minimiser.

    Returns
    -------
    StreamingHuberRegressor
        A new fitted estimator; it can go on with `partial_fit` on local data.

    Raises
    ------
    TypeError
        If `X` is not a Dask DataFrame or Array, or `y` or `sample_weight` is not a Dask
        collection where one is needed.
    ValueError
        If a setting is invalid, a column is missing or not numeric, every partition is empty,
        or a partition is rejected by the estimator (NaN, infinity, other columns); the message
        names the partition.

    Notes
    -----
    Empty partitions are skipped. Every task is a pure function of its inputs, so when a worker
    dies mid-fit Dask reruns the lost tasks from the summaries they were given and no partition
    is counted twice. Batch diagnostics stay in `history_`. Warnings raised on workers stay
    there, so the client raises a ConvergenceWarning for every batch whose solve did not
    converge (exact mode, and parallel mode with ``refine=0``) or for a refinement that used up
    its rounds before its step fell below `tol`.
    """
    if mode not in ("exact", "parallel"):
        raise ValueError(f"mode must be 'exact' or 'parallel', got {mode!r}")
    if isinstance(refine, bool) or not isinstance(refine, int) or refine < 0:
        raise ValueError(f"refine must be a non-negative integer, got {refine!r}")
    start = _unfitted(estimator)
    sources, layout = partition_sources(X, y, target, sample_weight)
    fitted: StreamingHuberRegressor
    if mode == "exact":
        fitted = fit_exact(start, sources, layout)
        if getattr(fitted, "n_samples_seen_", 0) == 0:
            raise ValueError("X has no rows: every partition is empty")
    else:
        fitted = fit_parallel(start, sources, layout, refine)
    if mode == "exact" or refine == 0:  # the batches' own fits are the result
        warn_unconverged_batches(fitted.history_)
    return fitted


def _unfitted(estimator: StreamingHuberRegressor | None) -> StreamingHuberRegressor:
    from sklearn.base import clone  # type: ignore[import-untyped]

    from quillfen import StreamingHuberRegressor

    if estimator is None:
        return StreamingHuberRegressor()
    if not isinstance(estimator, StreamingHuberRegressor):
        raise TypeError(
            f"estimator must be a StreamingHuberRegressor, got {type(estimator).__name__}"
        )
    unfitted: StreamingHuberRegressor = clone(estimator)
    return unfitted

"""Sandwich standard errors of the Huber fit and the coefficient table that reports them.

The engine's information matrix is the bread, I = sum_i s_i c_i x_i x_i^T with c_i the curvature of
the Huber loss at row i's final residual. The meat, V = sum_i s_i psi(r_i)^2 x_i x_i^T, is gathered
batch by batch at each batch's final coefficients (`quillfen._huber.batch_sums`). Sample weights count as
frequency weights: a row of weight 2 adds exactly what the same row given twice adds.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from statistics import NormalDist

import numpy as np
import numpy.typing as npt

from quillfen._huber import batch_sums
from quillfen._native_terms import WorkerPool

# Eigenvalues of the unit-diagonal information matrix below RANK_ROUNDING * p * eps of the largest
# are rounding, not information. Exactly deficient designs measured 2e-16 (float64) and 4e-8
# (float32) of the largest after 2000 batches; a column 1e-6 from collinear, 2e-13.
RANK_ROUNDING = 16
# Components of an unidentified direction above this size name the coefficients involved.
NULL_COMPONENT = 1e-6


def score_gram(
    design: npt.NDArray[np.floating],
    y: npt.NDArray[np.floating],
    coefficients: npt.NDArray[np.floating],
    sample_weight: npt.NDArray[np.floating] | None,
    threshold: float,
    pool: WorkerPool | None = None,
) -> npt.NDArray[np.float64]:
    """sum_i s_i psi(r_i)^2 x_i x_i^T in float64, psi the Huber score clipped at `threshold`.

    `design` and `coefficients` are in the engine's column order and element type; the products
    run natively in that type, block by block, and are added up in float64.
    """
    gram = batch_sums(
        design, y, sample_weight, coefficients, threshold, score=True, pool=pool
    ).score
    assert gram is not None
    return gram


class RankDeficiencyWarning(UserWarning):
    """Issued when the data seen do not identify some coefficients; their standard errors are NaN."""


def sandwich(
    information: npt.NDArray[np.floating], meat: npt.NDArray[np.float64]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_]]:
    """I^-1 V I^-1, made exactly symmetric, and which coefficients the information leaves
    unidentified.

    The information matrix is scaled to unit diagonal, so that columns of very different scales
    (a feature on the 1e-8 scale) do not look deficient. A direction is unidentified when its
    eigenvalue there is below ``RANK_ROUNDING * p * eps`` of the largest: rounding level for the
    matrix's element type, with room for the rounding accumulated over batches. Then the inverse is a
    pseudo-inverse on the identified directions, and the rows and columns of the coefficients
    involved in an unidentified direction are NaN: those have no standard error.
    """
    bread = np.asarray(information, dtype=np.float64)
    diagonal = np.diagonal(bread)
    positive = diagonal > 0.0
    root = np.zeros_like(diagonal)
    root[positive] = 1.0 / np.sqrt(diagonal[positive])
    scaled = bread * root[:, None] * root[None, :]
    values, vectors = np.linalg.eigh(0.5 * (scaled + scaled.T))
    rtol = RANK_ROUNDING * bread.shape[0] * np.finfo(np.asarray(information).dtype).eps
    informative = values > rtol * max(float(values.max()), 0.0)
    unidentified = np.asarray((np.abs(vectors[:, ~informative]) > NULL_COMPONENT).any(axis=1))
    if informative.all():
        half = np.linalg.solve(bread, meat)
        covariance = np.linalg.solve(bread, half.T)
    else:
        kept = vectors[:, informative]
        inverse = ((kept / values[informative]) @ kept.T) * root[:, None] * root[None, :]
        covariance = inverse @ meat @ inverse
        covariance[unidentified, :] = np.nan
        covariance[:, unidentified] = np.nan
    return np.asarray(0.5 * (covariance + covariance.T), dtype=np.float64), unidentified


def normal_quantile(alpha: float) -> float:
    """The two-sided critical value of the standard normal distribution at level `alpha`."""
    if not (isinstance(alpha, (int, float)) and 0.0 < alpha < 1.0):
        raise ValueError(f"alpha must be a number strictly between 0 and 1, got {alpha!r}")
    return NormalDist().inv_cdf(1.0 - 0.5 * alpha)


def two_sided_p_value(z: float) -> float:
    """P(|Z| > |z|) for a standard normal Z, accurate far into the tail."""
    return math.erfc(abs(z) / math.sqrt(2.0))


def coefficient_table(
    names: Sequence[str],
    params: npt.NDArray[np.floating],
    bse: npt.NDArray[np.float64],
    alpha: float,
    header: Sequence[tuple[str, str]],
    title: str,
) -> str:
    """A plain-text table: a title, two columns of header facts, then one row per coefficient."""
    critical = normal_quantile(alpha)
    width = 78
    name_width = max(12, *(len(name) for name in names)) if names else 12
    lines = [title.center(width), "=" * width]
    half = (len(header) + 1) // 2
    for left, right in zip(header[:half], [*header[half:], ("", "")], strict=False):
        left_text = f"{left[0] + ':':<18}{left[1]:>18}"
        right_text = f"{right[0] + ':':<18}{right[1]:>18}" if right[0] else ""
        lines.append(f"{left_text}    {right_text}".rstrip())
    lines.append("=" * width)
    low, high = f"[{0.5 * alpha:.3g}", f"{1.0 - 0.5 * alpha:.3g}]"
    lines.append(
        f"{'':<{name_width}} {'coef':>10} {'std err':>10} {'z':>9} {'P>|z|':>8}"
        f" {low:>10} {high:>10}"
    )
    lines.append("-" * width)
    for name, value, error in zip(names, params, bse, strict=False):
        estimate = float(value)
        spread = critical * float(error)
        if math.isnan(error):
            z = math.nan  # not identified: no test either
        else:
            z = estimate / float(error) if error > 0 else math.copysign(math.inf, estimate)
        values = [estimate, float(error), estimate - spread, estimate + spread]
        low_text, high_text = _number(values[2]), _number(values[3])
        lines.append(
            f"{name:<{name_width}} {_number(values[0])} {_number(values[1])} {z:>9.3f}"
            f" {two_sided_p_value(z):>8.3f} {low_text} {high_text}"
        )
    lines.append("=" * width)
    return "\n".join(lines)


def _number(value: float) -> str:
    """Ten characters: four decimals, or scientific notation where those would hide the value."""
    if value == 0.0 or 1e-3 <= abs(value) < 1e5:
        return f"{value:>10.4f}"
    return f"{value:>10.3e}"


class Summary:
    """A printed summary of a fitted model, in the manner of statsmodels' results summaries.

    Parameters
    ----------
    text : str
        The rendered table.

    Examples
    --------
    >>> print(estimator.summary())  # doctest: +SKIP
    """

    def __init__(self, text: str) -> None:
        self._text = text

    def as_text(self) -> str:
        """Return the table as plain text.

        Returns
        -------
        str
            The table, lines separated by newlines.
        """
        return self._text

    def __str__(self) -> str:
        return self._text

    def __repr__(self) -> str:
        return self._text

"""The figure of a fit's course: coefficients batch by batch with 95 % bands, iterations, losses."""

import math
import textwrap
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quillfen._history import BatchHistory, Records, history_column
from quillfen.cli._coefficient_trace import CoefficientTrace
from quillfen.cli._extras import require

# z value of a two-sided 95 % normal interval.
Z_95 = 1.959963984540054
MAX_COEFFICIENT_PANELS = 24
# About the iterations panel's width in pixels: more bars would be narrower than a pixel.
MAX_BARS = 1000
# Each bar spans its batches' numbers, widened by this much on each side (0.4: bars of 0.8).
BAR_MARGIN = 0.4
PANEL_COLUMNS = 4
# Texts of the loss panel, wrapped to its width (at font size 8 for the caption, 10 for the note).
CAPTION_WIDTH = 92
NOTE_WIDTH = 72
LOSS_CAPTION = textwrap.fill(
    "Each batch's mean Huber loss at the coefficients fitted after it (the solver's objective"
    " × weight seen / batch weight): level while the batches are alike, a jump marks an unusual"
    " batch. Not a convergence curve: the objective itself is divided by all the weight seen so"
    " far, so it falls like 1 / batches whatever the fit does.",
    CAPTION_WIDTH,
)
LOSSES_UNKNOWN = textwrap.fill(
    "Each batch's mean Huber loss is not known: the batches' weights are not recorded;"
    " 'quillfen fit' records them in the trace beside the model.",
    NOTE_WIDTH,
)


def draw_history(
    history: BatchHistory | Records,
    trace: CoefficientTrace | None,
    losses: npt.NDArray[np.float64] | None,
    reference: dict[str, float],
    path: Path,
    title: str,
) -> None:
    """Write the figure of a fit's course to `path`; the suffix picks the format.

    Uses matplotlib's Figure directly with the Agg canvas, so no display and no global pyplot
    state are involved.

    Parameters
    ----------
    history : BatchHistory or list of dict
        The model's per-batch records (``iterations``, ``converged``).
    trace : CoefficientTrace or None
        The coefficients and standard errors after every batch, one panel each; None draws the
        bottom row only.
    losses : ndarray or None
        Each batch's mean Huber loss at the fit after it (see `batch_mean_losses`); None when it
        is not known, which the panel then says.
    reference : dict of str to float
        True values by coefficient name, drawn as dashed lines; names not in it get none.
    path : Path
        The image file to write.
    title : str
        The figure's title.
    """
    require("matplotlib", "plot")
    figure_module = require("matplotlib.figure", "plot")
    backend = require("matplotlib.backends.backend_agg", "plot")
    ticker = require("matplotlib.ticker", "plot")

    n_coefficients = 0 if trace is None else min(len(trace.parameter_names), MAX_COEFFICIENT_PANELS)
    coefficient_rows = math.ceil(n_coefficients / PANEL_COLUMNS)
    figure = figure_module.Figure(
        figsize=(14, 2.8 * (coefficient_rows + 1) + 1.0), layout="constrained"
    )
    backend.FigureCanvasAgg(figure)
    grid = figure.add_gridspec(coefficient_rows + 1, PANEL_COLUMNS)
    if trace is not None and len(trace.parameter_names) > n_coefficients:
        title += f" (the first {n_coefficients} of {len(trace.parameter_names)} coefficients)"
    figure.suptitle(title)

    batches = np.arange(1, len(history) + 1)
    if trace is not None:
        coefficients = np.array(trace.coefficients)
        half_widths = Z_95 * np.array(trace.standard_errors)
        legend: dict[str, Any] = {}
        for index in range(n_coefficients):
            name = trace.parameter_names[index]
            axes = figure.add_subplot(grid[index // PANEL_COLUMNS, index % PANEL_COLUMNS])
            values = coefficients[:, index]
            axes.plot(batches, values, color="C0", linewidth=1.2, label="estimate after the batch")
            if np.isfinite(half_widths[:, index]).any():
                axes.fill_between(
                    batches,
                    values - half_widths[:, index],
                    values + half_widths[:, index],
                    color="C0",
                    alpha=0.25,
                    linewidth=0,
                    label="95 % interval",
                )
            if name in reference:
                axes.axhline(
                    reference[name], color="C3", linestyle="--", linewidth=1.2, label="true value"
                )
            axes.set_title(name, fontsize=9)
            axes.set_xlabel("batch", fontsize=8)
            axes.set_ylabel("coefficient value", fontsize=8)
            axes.tick_params(labelsize=8)
            axes.grid(alpha=0.3)
            for handle, label in zip(*axes.get_legend_handles_labels(), strict=True):
                legend.setdefault(label, handle)
        figure.legend(
            list(legend.values()),
            list(legend),
            loc="outside upper right",
            ncols=len(legend),
            fontsize=8,
            frameon=False,
        )

    iterations_axes = figure.add_subplot(grid[coefficient_rows, : PANEL_COLUMNS // 2])
    _draw_iterations(
        iterations_axes,
        history_column(history, "iterations"),
        history_column(history, "converged"),
    )
    iterations_axes.set_xlabel("batch")
    iterations_axes.set_ylabel("solver iterations (red: not converged)")
    iterations_axes.grid(alpha=0.3)

    loss_axes = figure.add_subplot(grid[coefficient_rows, PANEL_COLUMNS // 2 :])
    _draw_losses(loss_axes, batches, losses)

    for axes in figure.axes:
        axes.xaxis.set_major_locator(ticker.MaxNLocator(integer=True))
    for axes in (iterations_axes, loss_axes):
        axes.set_xlim(0.5, len(history) + 0.5)
    iterations_axes.yaxis.set_major_locator(ticker.MaxNLocator(integer=True))
    figure.savefig(path, dpi=100)


def _draw_iterations(
    axes: Any, iterations: npt.NDArray[np.int64], converged: npt.NDArray[np.bool_]
) -> None:
    """Each batch's iterations as a bar, red when it did not converge; past `MAX_BARS` batches a
    bar stands for a run of them, as tall as their most (red: as their most unconverged).

    The bars are two filled outlines, not one patch each: a million batches draw in a second.
    """
    if len(iterations) == 0:
        return
    per_bar = math.ceil(len(iterations) / MAX_BARS)
    starts = np.arange(0, len(iterations), per_bar)
    left = starts + 1 - BAR_MARGIN
    right = np.minimum(starts + per_bar, len(iterations)) + BAR_MARGIN
    edges = np.stack([left, left, right, right], axis=1).ravel()
    for heights, color in [
        (iterations, "C0"),
        (np.where(converged, 0, iterations), "C3"),
    ]:
        tallest = np.maximum.reduceat(heights, starts)
        axes.fill_between(
            edges, (tallest[:, None] * [0, 1, 1, 0]).ravel(), color=color, linewidth=0
        )
    axes.set_ylim(bottom=0)


def _draw_losses(
    axes: Any, batches: npt.NDArray[np.int64], losses: npt.NDArray[np.float64] | None
) -> None:
    """The panel of each batch's mean loss, captioned with what it is and what it is not."""
    axes.set_xlabel("batch")
    axes.set_ylabel("mean Huber loss of the batch")
    axes.grid(alpha=0.3)
    if losses is None:
        axes.text(0.5, 0.5, LOSSES_UNKNOWN, ha="center", va="center", transform=axes.transAxes)
        axes.set_yticks([])
        return
    axes.plot(batches, losses, marker=".", color="C1")
    if np.all(losses >= 0):
        # From zero, so that a level course looks level and a jump looks its true size.
        axes.set_ylim(bottom=0)
    axes.set_title(LOSS_CAPTION, fontsize=8)

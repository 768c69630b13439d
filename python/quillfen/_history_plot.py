"""The figure of a fit's course: coefficients batch by batch with 95 % bands, iterations, objective."""

import math
from pathlib import Path
from typing import Any

import numpy as np

from quillfen._coefficient_trace import CoefficientTrace
from quillfen._extras import require

# z value of a two-sided 95 % normal interval.
Z_95 = 1.959963984540054
MAX_COEFFICIENT_PANELS = 24
PANEL_COLUMNS = 4


def draw_history(
    history: list[dict[str, Any]],
    trace: CoefficientTrace | None,
    path: Path,
    title: str,
) -> None:
    """Write the figure for `history` (and `trace`, when known) to `path`; the suffix picks the format.

    Uses matplotlib's Figure directly with the Agg canvas, so no display and no global pyplot
    state are involved.
    """
    require("matplotlib", "plot")
    figure_module = require("matplotlib.figure", "plot")
    backend = require("matplotlib.backends.backend_agg", "plot")
    ticker = require("matplotlib.ticker", "plot")

    n_coefficients = 0 if trace is None else min(len(trace.parameter_names), MAX_COEFFICIENT_PANELS)
    coefficient_rows = math.ceil(n_coefficients / PANEL_COLUMNS)
    figure = figure_module.Figure(
        figsize=(14, 2.6 * (coefficient_rows + 1) + 0.8), layout="constrained"
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
        for index in range(n_coefficients):
            axes = figure.add_subplot(grid[index // PANEL_COLUMNS, index % PANEL_COLUMNS])
            values = coefficients[:, index]
            axes.plot(batches, values, color="C0", linewidth=1.2)
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
            axes.set_title(trace.parameter_names[index], fontsize=9)
            axes.tick_params(labelsize=8)
            axes.grid(alpha=0.3)

    iterations_axes = figure.add_subplot(grid[coefficient_rows, : PANEL_COLUMNS // 2])
    iterations = [int(record["iterations"]) for record in history]
    converged = np.array([bool(record["converged"]) for record in history])
    iterations_axes.bar(batches, iterations, color=np.where(converged, "C0", "C3"), width=0.8)
    iterations_axes.set_xlabel("batch")
    iterations_axes.set_ylabel("solver iterations (red: not converged)")
    iterations_axes.grid(alpha=0.3)

    objective_axes = figure.add_subplot(grid[coefficient_rows, PANEL_COLUMNS // 2 :])
    objective = np.array([float(record["objective"]) for record in history])
    objective_axes.plot(batches, objective, marker=".", color="C1")
    if np.all(objective > 0):
        objective_axes.set_yscale("log")
    objective_axes.set_xlabel("batch")
    objective_axes.set_ylabel("objective after the batch")
    objective_axes.grid(alpha=0.3)

    for axes in figure.axes:
        axes.xaxis.set_major_locator(ticker.MaxNLocator(integer=True))
    iterations_axes.yaxis.set_major_locator(ticker.MaxNLocator(integer=True))
    figure.savefig(path, dpi=100)

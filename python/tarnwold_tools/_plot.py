"""The command line's picture: a few series, raw and smoothed."""

import io
from pathlib import Path

import numpy as np

from ._cli_common import require


def supported_formats():
    require("matplotlib", "--plot")
    from matplotlib.figure import Figure

    return Figure().canvas.get_supported_filetypes()


def plot_series(path, loaded, z_st, count, grid=None, derivative=0):
    """Draws up to `count` series, spread evenly over the input, one panel
    each; z_st lies on `grid` (the output positions' values) when given.
    A derivative has other units than the data: it gets an axis of its own
    on the right."""
    require("matplotlib", "--plot")
    # A bare Figure draws with the Agg canvas and touches no pyplot state, so
    # no display is needed and no backend is switched for the process.
    from matplotlib.figure import Figure

    series = loaded.y_st.shape[0]
    chosen = np.unique(np.linspace(0, series - 1, min(count, series)).round().astype(int))
    figure = Figure(figsize=(9, 1.2 + 2.0 * len(chosen)), layout="constrained")
    axes = figure.subplots(len(chosen), 1, sharex=True, squeeze=False)[:, 0]
    label = ("smoothed", "first derivative", "second derivative")[derivative]
    lines = []
    for ax, s in zip(axes, chosen):
        ax.plot(loaded.x_values, loaded.y_st[s], ".", markersize=4, color="0.55", label="raw")
        on = ax.twinx() if derivative else ax
        on.plot(loaded.x_values if grid is None else grid, z_st[s], "-", linewidth=1.6, color="tab:blue", label=label)
        ax.set_title(str(loaded.labels[s]), loc="left", fontsize=9)
        lines = lines or ax.get_lines() + (on.get_lines() if derivative else [])
    axes[0].legend(handles=lines, loc="upper right", fontsize=8)
    axes[-1].set_xlabel(loaded.x_label)
    # Drawn in memory and written in one go: the PNG writer seeks, which a
    # FIFO or a device cannot.
    image = io.BytesIO()
    figure.savefig(image, dpi=100, format=Path(path).suffix.lstrip(".").lower())
    Path(path).write_bytes(image.getvalue())

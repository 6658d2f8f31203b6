"""Figure size, colours and saving shared by the example scripts' plots.

Imported only when a plot is asked for, so that the examples themselves
need nothing beyond numpy and tarnwold.
"""

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt  # noqa: E402

# 900 x 500 pixels: readable on a page, small enough to keep in the repository.
WIDTH_INCHES, HEIGHT_INCHES, DPI = 9.0, 5.0, 100

RAW = "0.25"
OUTLIER = "#c0392b"
TRUTH = "0.55"
PLAIN = "#2e86c1"
ROBUST = "#e67e22"
EXTRA = "#27ae60"


def new_figure(nrows=1, ncols=1, **kwargs):
    fig, axes = plt.subplots(nrows, ncols, figsize=(WIDTH_INCHES, HEIGHT_INCHES), dpi=DPI,
                             layout="constrained", **kwargs)
    return fig, axes


def save(fig, path):
    # No software version or date in the file, so that rerunning a script
    # leaves an unchanged picture unchanged.
    fig.savefig(path, dpi=DPI, metadata={"Software": None})
    plt.close(fig)
    print(f"wrote {path}")

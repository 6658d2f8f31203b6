"""The docstrings of the six functions, written once.

Three readers share this table: the build runs this file as a script to
write docstrings.hpp, docs/generate_api.py renders the API reference from
it, and the test suite compares each function's __text_signature__ and
__doc__ with it. Each text opens with its text signature and a "--" line,
which CPython turns into __text_signature__ (so that inspect.signature
reports the parameters and defaults) and strips from __doc__.

Run:  python3 src/module/docstrings.py OUTPUT_HEADER
"""

import pathlib
import string
import sys

BUILD_PB = """\
$name(x, d=2, normalize=None, eps=None)
--

Build the lower-banded penalty matrix `Pb` for divided differences (`P = D.T @ D`).

Parameters
----------
x : ndarray[$dtype], shape (T,)
    Strictly increasing sampling positions.
d : int, default=2
    Divided-difference order. The penalty bandwidth is `k = 2*d`.
normalize : {"mean","median"} or None, optional
    Optionally normalize `x` to ~unit spacing before building `Pb`.
eps : float, optional
    Small floor to avoid division by zero in divided differences.

Returns
-------
pb : ndarray[$dtype], shape (k+1, T)
    Lower band of `P` stored as `pb[j, i] = P[i, i-j]`.
k : int
    Half-bandwidth, `k = 2*d`."""

# Parameter lines that the two smoothers share.
SERIES_PARAMETERS = """\
Parameters
----------
x : ndarray[$dtype], shape (T,)
y_st : ndarray[$dtype], shape (S, T)
w_base_st : ndarray[$dtype], shape (S, T) or None, optional
lam : float, default=10.0
d : int, default=2
"""
SOLVER_PARAMETERS = """\
ridge : float, default=1e-10
normalize : {"mean","median"} or None, default="mean"
eps : float, default=1e-10
parallel : bool, default=True
"""
MISSING_VALUES = "NaNs in `y_st` are treated as missing (weight forced to 0).\n"

WHITTAKER_SOLVE = (
    """\
$name(x, y_st, w_base_st=None, lam=10.0, d=2, ridge=1e-10, normalize="mean", eps=1e-10, parallel=True)
--

Solve a single-pass (non-robust) Whittaker smoother for each series.

Notes
-----
Solves, per series, the linear system:
`(diag(w) + lam * D.T @ D + ridge * I) z = w * y`.

"""
    + MISSING_VALUES
    + "\n"
    + SERIES_PARAMETERS
    + SOLVER_PARAMETERS
    + """
Returns
-------
z_st : ndarray[$dtype], shape (S, T)"""
)

ROBUST_WHITTAKER_IRLS = (
    """\
$name(x, y_st, w_base_st=None, lam=10.0, d=2, iterations=1, weighting="tukey", scale="mad", \
ridge=1e-10, normalize="mean", eps=1e-10, parallel=True, tuning=None, return_weights=False, \
merge_x_tol=1e-2)
--

Robust Whittaker smoother via IRLS ($dtype).

Notes
-----
$notes
If `merge_x_tol > 0`, adjacent `x` values within that spacing are merged (in input-x units)
using a base-weighted mean of observations. The solve runs on the compressed grid and the
output is expanded back to the original `(S, T)` shape.

"""
    + SERIES_PARAMETERS
    + """\
iterations : int, default=1
weighting : {"tukey","huber","cauchy","welsch","fair","hampel"}, default="tukey"
scale : {"mad","huber"}, default="mad"
"""
    + SOLVER_PARAMETERS
    + """\
tuning : tuple or None, optional
return_weights : bool, default=False
merge_x_tol : float or None, default=1e-2
    Merge adjacent `x` points when `x[i+1]-x[i] <= merge_x_tol`. Set to `None` (or `0.0`) to disable.

Returns
-------
z_st : ndarray[$dtype], shape (S, T)
or (z_st, w_total_st) if return_weights=True"""
)

# The robust notes differ by precision: the float32 function explains its
# fall-back to float64 instead.
ROBUST_NOTES = {
    "float64": """\
Runs `iterations` steps of IRLS to down-weight outliers using the chosen `weighting`
function and scale estimator (`scale="mad"` or `"huber"`).

"""
    + MISSING_VALUES,
    "float32": """\
Same API as `robust_whittaker_irls_f64`, but returns float32 output. For highly irregular or
near-duplicate `x`, or when large portions of a series are missing (e.g. long NaN tails), the
internal float32 solve can become ill-conditioned. This function automatically falls back to a
float64 solve when it detects numerical instability (and casts back to float32).
""",
}

# Registration order, which is also the order of __all__.
FAMILIES = [
    ("build_pb", BUILD_PB),
    ("whittaker_solve", WHITTAKER_SOLVE),
    ("robust_whittaker_irls", ROBUST_WHITTAKER_IRLS),
]
DTYPES = {"f64": "float64", "f32": "float32"}


def docstrings():
    """{function name: its full docstring, signature line and "--" included}."""
    texts = {}
    for family, template in FAMILIES:
        for suffix, dtype in DTYPES.items():
            name = f"{family}_{suffix}"
            texts[name] = string.Template(template).substitute(
                name=name, dtype=dtype, notes=ROBUST_NOTES[dtype])
    return texts


def split(text):
    """(__text_signature__, __doc__) as CPython derives them from a docstring."""
    head, separator, body = text.partition("\n--\n\n")
    assert separator, "a docstring must open with its signature and a '--' line"
    return head[head.index("("):], body


# Each text becomes a raw string literal; its closing delimiter must not
# occur in any text.
DELIMITER = "tarnwold_doc"


def header():
    lines = [
        "// Written by src/module/docstrings.py at build time: edit that file.",
        "#pragma once",
        "",
        "namespace tarnwold::py {",
        "",
    ]
    for name, text in docstrings().items():
        assert f"){DELIMITER}" not in text
        lines.append(f'inline constexpr const char {name}_doc[] = R"{DELIMITER}({text}){DELIMITER}";')
    lines += ["", "}  // namespace tarnwold::py", ""]
    return "\n".join(lines)


def main(output):
    path = pathlib.Path(output)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(header(), encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv[1])

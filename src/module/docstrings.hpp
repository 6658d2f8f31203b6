// Docstrings of the six functions. Each opens with its text signature and a
// "--" line, which CPython turns into __text_signature__ (so that
// inspect.signature reports the parameters and defaults) and strips from
// __doc__.
#pragma once

namespace tarnwold::py {

#define TARNWOLD_BUILD_PB_DOC(NAME, DTYPE)                                          \
    NAME "(x, d=2, normalize=None, eps=None)\n"                                     \
    "--\n"                                                                          \
    "\n"                                                                            \
    "Build the lower-banded penalty matrix `Pb` for divided differences (`P = D.T @ D`).\n" \
    "\n"                                                                            \
    "Parameters\n"                                                                  \
    "----------\n"                                                                  \
    "x : ndarray[" DTYPE "], shape (T,)\n"                                          \
    "    Strictly increasing sampling positions.\n"                                 \
    "d : int, default=2\n"                                                          \
    "    Divided-difference order. The penalty bandwidth is `k = 2*d`.\n"           \
    "normalize : {\"mean\",\"median\"} or None, optional\n"                         \
    "    Optionally normalize `x` to ~unit spacing before building `Pb`.\n"         \
    "eps : float, optional\n"                                                       \
    "    Small floor to avoid division by zero in divided differences.\n"           \
    "\n"                                                                            \
    "Returns\n"                                                                     \
    "-------\n"                                                                     \
    "pb : ndarray[" DTYPE "], shape (k+1, T)\n"                                     \
    "    Lower band of `P` stored as `pb[j, i] = P[i, i-j]`.\n"                     \
    "k : int\n"                                                                     \
    "    Half-bandwidth, `k = 2*d`."

// Parameter lines that the solver docstrings share.
#define TARNWOLD_SERIES_PARAMETERS(DTYPE)                                           \
    "Parameters\n"                                                                  \
    "----------\n"                                                                  \
    "x : ndarray[" DTYPE "], shape (T,)\n"                                          \
    "y_st : ndarray[" DTYPE "], shape (S, T)\n"                                     \
    "w_base_st : ndarray[" DTYPE "], shape (S, T) or None, optional\n"              \
    "lam : float, default=10.0\n"                                                   \
    "d : int, default=2\n"

#define TARNWOLD_SOLVER_PARAMETERS                                                  \
    "ridge : float, default=1e-10\n"                                                \
    "normalize : {\"mean\",\"median\"} or None, default=\"mean\"\n"                 \
    "eps : float, default=1e-10\n"                                                  \
    "parallel : bool, default=True\n"

#define TARNWOLD_SOLVE_DOC(NAME, DTYPE)                                             \
    NAME "(x, y_st, w_base_st=None, lam=10.0, d=2, ridge=1e-10, normalize=\"mean\", " \
    "eps=1e-10, parallel=True)\n"                                                   \
    "--\n"                                                                          \
    "\n"                                                                            \
    "Solve a single-pass (non-robust) Whittaker smoother for each series.\n"        \
    "\n"                                                                            \
    "Notes\n"                                                                       \
    "-----\n"                                                                       \
    "Solves, per series, the linear system:\n"                                      \
    "`(diag(w) + lam * D.T @ D + ridge * I) z = w * y`.\n"                          \
    "\n"                                                                            \
    "NaNs in `y_st` are treated as missing (weight forced to 0).\n"                 \
    "\n"                                                                            \
    TARNWOLD_SERIES_PARAMETERS(DTYPE)                                               \
    TARNWOLD_SOLVER_PARAMETERS                                                      \
    "\n"                                                                            \
    "Returns\n"                                                                     \
    "-------\n"                                                                     \
    "z_st : ndarray[" DTYPE "], shape (S, T)"

#define TARNWOLD_ROBUST_DOC(NAME, TITLE_DTYPE, DTYPE, NOTES)                       \
    NAME "(x, y_st, w_base_st=None, lam=10.0, d=2, iterations=1, weighting=\"tukey\", " \
    "scale=\"mad\", ridge=1e-10, normalize=\"mean\", eps=1e-10, parallel=True, "    \
    "tuning=None, return_weights=False, merge_x_tol=1e-2)\n"                        \
    "--\n"                                                                          \
    "\n"                                                                            \
    "Robust Whittaker smoother via IRLS (" TITLE_DTYPE ").\n"                       \
    "\n"                                                                            \
    "Notes\n"                                                                       \
    "-----\n"                                                                       \
    NOTES                                                                           \
    "\n"                                                                            \
    "If `merge_x_tol > 0`, adjacent `x` values within that spacing are merged (in input-x units)\n" \
    "using a base-weighted mean of observations. The solve runs on the compressed grid and the\n" \
    "output is expanded back to the original `(S, T)` shape.\n"                     \
    "\n"                                                                            \
    TARNWOLD_SERIES_PARAMETERS(DTYPE)                                               \
    "iterations : int, default=1\n"                                                 \
    "weighting : {\"tukey\",\"huber\",\"cauchy\",\"welsch\",\"fair\",\"hampel\"}, default=\"tukey\"\n" \
    "scale : {\"mad\",\"huber\"}, default=\"mad\"\n"                                \
    TARNWOLD_SOLVER_PARAMETERS                                                      \
    "tuning : tuple or None, optional\n"                                            \
    "return_weights : bool, default=False\n"                                        \
    "merge_x_tol : float or None, default=1e-2\n"                                   \
    "    Merge adjacent `x` points when `x[i+1]-x[i] <= merge_x_tol`. Set to `None` (or `0.0`) to disable.\n" \
    "\n"                                                                            \
    "Returns\n"                                                                     \
    "-------\n"                                                                     \
    "z_st : ndarray[" DTYPE "], shape (S, T)\n"                                     \
    "or (z_st, w_total_st) if return_weights=True"

#define TARNWOLD_ROBUST_F64_NOTES                                                    \
    "Runs `iterations` steps of IRLS to down-weight outliers using the chosen `weighting`\n" \
    "function and scale estimator (`scale=\"mad\"` or `\"huber\"`).\n"             \
    "\n"                                                                            \
    "NaNs in `y_st` are treated as missing (weight forced to 0).\n"

#define TARNWOLD_ROBUST_F32_NOTES                                                    \
    "Same API as `robust_whittaker_irls_f64`, but returns float32 output. For highly irregular or\n" \
    "near-duplicate `x`, or when large portions of a series are missing (e.g. long NaN tails), the\n" \
    "internal float32 solve can become ill-conditioned. This function automatically falls back to a\n" \
    "float64 solve when it detects numerical instability (and casts back to float32).\n"

inline constexpr const char build_pb_f64_doc[] = TARNWOLD_BUILD_PB_DOC("build_pb_f64", "float64");
inline constexpr const char build_pb_f32_doc[] = TARNWOLD_BUILD_PB_DOC("build_pb_f32", "float32");
inline constexpr const char whittaker_solve_f64_doc[] = TARNWOLD_SOLVE_DOC("whittaker_solve_f64", "float64");
inline constexpr const char whittaker_solve_f32_doc[] = TARNWOLD_SOLVE_DOC("whittaker_solve_f32", "float32");
inline constexpr const char robust_whittaker_irls_f64_doc[] =
    TARNWOLD_ROBUST_DOC("robust_whittaker_irls_f64", "float64", "float64", TARNWOLD_ROBUST_F64_NOTES);
inline constexpr const char robust_whittaker_irls_f32_doc[] =
    TARNWOLD_ROBUST_DOC("robust_whittaker_irls_f32", "float32", "float32", TARNWOLD_ROBUST_F32_NOTES);

#undef TARNWOLD_BUILD_PB_DOC
#undef TARNWOLD_SOLVE_DOC
#undef TARNWOLD_SERIES_PARAMETERS
#undef TARNWOLD_SOLVER_PARAMETERS
#undef TARNWOLD_ROBUST_DOC
#undef TARNWOLD_ROBUST_F64_NOTES
#undef TARNWOLD_ROBUST_F32_NOTES

}  // namespace tarnwold::py

// tarnwold_tools._select: the native half of select_lambda, evaluate_lambda,
// envelope and robust, one function each. Each takes keyword arguments,
// matched and converted as the module's own functions do (arguments.hpp),
// checks every buffer and value it is given, allocates its results, releases
// the interpreter lock and does the whole work in the core: the ridge per
// series when none is given, the output grid, the fit at the lam each series
// is fitted at, se and the derivative. It returns its results as a dict by
// name, which the Python wrapper turns into its dataclass.
#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "error_wall.hpp"
#include "grid_checks.hpp"
#include "lambda/default_ridge.hpp"
#include "lambda/envelope.hpp"
#include "lambda/lambda_outputs.hpp"
#include "lambda/lambda_selection.hpp"
#include "lambda/output_derivative.hpp"
#include "lambda/robust_selection.hpp"
#include "lambda/union_model.hpp"
#include "python_support.hpp"

namespace tarnwold::py {
namespace {

// Set on a thread that is being ended while it runs without the interpreter
// lock: CPython 3.11 to 3.13 end a daemon thread with pthread_exit when it
// asks for the lock back while the interpreter finalises. The unwinding that
// follows must not touch a Python object: the thread holds no lock, and the
// objects belong to an interpreter being torn down. What they hold is left
// to the process's end, as CPython leaves the thread's own frames.
thread_local bool ending_without_interpreter_lock = false;

// A held buffer of one dimension or two, C-contiguous, of one element kind:
// 'd' float64, 'q' int64 (also spelled 'l' where long has 64 bits), 'b' int8.
class Buffer {
public:
    Buffer(PyObject* object, char kind, bool writable, const char* name) : name_(name) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) < 0) {
            throw PythonErrorSet{};
        }
        held_ = true;
        const std::string_view format = view_.format ? view_.format : "B";
        const char last = format.empty() ? '?' : format.back();
        const bool prefix_ok = format.size() == 1 || (format.size() == 2 && std::strchr("@=<", format[0]));
        const bool kind_ok = last == kind || (kind == 'q' && last == 'l' && view_.itemsize == 8);
        const Py_ssize_t size = kind == 'b' ? 1 : 8;
        if (!prefix_ok || !kind_ok || view_.itemsize != size) {
            // A constructor that throws runs no destructor: release here.
            PyBuffer_Release(&view_);
            held_ = false;
            fail(PyExc_TypeError, std::string(name) + " has the wrong element type");
        }
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_ && !ending_without_interpreter_lock) PyBuffer_Release(&view_);
    }

    void require_shape(std::size_t rows, std::optional<std::size_t> cols) const {
        const int ndim = cols ? 2 : 1;
        const bool ok = view_.ndim == ndim && static_cast<std::size_t>(view_.shape[0]) == rows &&
                        (!cols || static_cast<std::size_t>(view_.shape[1]) == *cols);
        if (!ok) fail(PyExc_ValueError, std::string(name_) + " has the wrong shape");
    }
    std::size_t length(int axis) const {
        if (view_.ndim <= axis) fail(PyExc_ValueError, std::string(name_) + " has too few dimensions");
        return static_cast<std::size_t>(view_.shape[axis]);
    }
    template <typename T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    const char* name_;
};

std::optional<Buffer> optional_buffer(PyObject* object, char kind, bool writable, const char* name) {
    if (object == Py_None) return std::nullopt;
    return std::optional<Buffer>(std::in_place, object, kind, writable, name);
}

template <typename T, typename Held>
T* data_or_null(const std::optional<Held>& buffer) {
    return buffer ? buffer->template data<T>() : nullptr;
}

// A grid of positions (x, or x_out), checked: one dimension, at least one
// position, strictly increasing, finite.
struct Positions {
    Buffer x;
    std::size_t length;

    explicit Positions(PyObject* x_object, const char* name = "x")
        : x(x_object, 'd', false, name), length(x.length(0)) {
        x.require_shape(length, std::nullopt);
        if (length == 0) fail(PyExc_ValueError, std::string(name) + " must have length >=1");
        if (!strictly_increasing(x.data<double>(), length)) {
            fail(PyExc_ValueError, std::string(name) + " must be strictly increasing");
        }
        require_finite_ends(x.data<double>(), length, name);
    }
};

// The positions of the observations: a grid of positions whose neighbours
// also lie more than close_share of its mean spacing apart. Closer ones
// (two sources' merged timestamps a rounding step apart, say) make the
// divided differences across them, and so every system, so ill-conditioned
// that the fit is lost (NaN for a rounding step, a straight line at 1e-9
// of the spacing); they are refused, naming them, since only the caller
// knows whether to average their observations or drop one. Halves keep
// the span finite for any finite ends.
struct Observations : Positions {
    explicit Observations(PyObject* x_object) : Positions(x_object) {
        const double* p = x.data<double>();
        if (length < 2) return;
        const double half_tolerance =
            close_share * ((0.5 * p[length - 1] - 0.5 * p[0]) / static_cast<double>(length - 1));
        for (std::size_t i = 1; i < length; ++i) {
            if (0.5 * (p[i] - p[i - 1]) <= half_tolerance) {
                char text[256];
                std::snprintf(
                    text, sizeof text,
                    "x[%zu] = %.17g and x[%zu] = %.17g lie within %g times x's mean spacing: average their "
                    "observations at one position, or drop one",
                    i - 1, p[i - 1], i, p[i], close_share);
                fail(PyExc_ValueError, text);
            }
        }
    }
};

// The grid and the series shared by both functions, checked.
struct Inputs {
    Observations positions;
    Buffer y;
    std::optional<Buffer> w;
    std::size_t series;

    Inputs(PyObject* x_object, PyObject* y_object, PyObject* w_object)
        : positions(x_object),
          y(y_object, 'd', false, "y_st"),
          w(optional_buffer(w_object, 'd', false, "w_base_st")),
          series(y.length(0)) {
        y.require_shape(series, positions.length);
        if (w) w->require_shape(series, positions.length);
    }
    SeriesBatch batch() const {
        return {y.data<double>(), data_or_null<double>(w), series, positions.length, nullptr};
    }
};

// The normalisation's name, or nothing for None.
using Normalize = std::optional<std::string_view>;

void require_order(const Positions& at, Py_ssize_t d) {
    if (d < 1 || static_cast<std::size_t>(d) >= at.length) {
        fail(PyExc_ValueError, "d must be at least 1 and less than len(x)");
    }
}

SelectionModel model_of(const Positions& at, Py_ssize_t d, double ridge, double eps, Normalize normalize) {
    require_order(at, d);
    return make_selection_model(at.x.data<double>(), at.length, static_cast<std::uint64_t>(d), ridge, eps,
                                normalize);
}

// Runs the core's work without the interpreter lock; what it throws is
// rethrown once the lock is back. A thread ended meanwhile or while it asks
// for the lock back unwinds from here without it.
template <typename Work>
void without_interpreter_lock(Work&& work) {
    std::exception_ptr error;
    PyThreadState* const state = PyEval_SaveThread();
    try {
        try {
            work();
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (...) {
            error = std::current_exception();
        }
        PyEval_RestoreThread(state);
    } catch (const abi::__forced_unwind&) {
        ending_without_interpreter_lock = true;
        throw;
    }
    if (error) std::rethrow_exception(error);
}

PyObject* internal_fault_type = nullptr;  // created on first use, never released

// A RuntimeError for a broken invariant of the native code.
void raise_internal_fault(const std::string& text) {
    raise_kept_exception(internal_fault_type, "tarnwold_tools._select.InternalFault",
                         "Raised when the native lam selection fails internally (a broken invariant, an\n"
                         "allocation size that overflows).",
                         PyExc_RuntimeError,
                         "tarnwold_tools._select: an internal fault occurred and could not be reported",
                         text);
}

template <typename Body>
PyObject* guarded(Body&& body) {
    return call_within_wall(raise_internal_fault, std::forward<Body>(body));
}

Criterion parse_criterion(std::string_view name) {
    std::string names;
    for (const Criterion criterion : all_criteria) {
        if (name == criterion_name(criterion)) return criterion;
        names += (names.empty() ? "'" : ", '") + std::string(criterion_name(criterion)) + "'";
    }
    fail(PyExc_ValueError, "criterion must be one of " + names);
}

// The length of a lam grid, checked: at least 3 increasing positive finite values.
std::size_t lambda_grid_length(const Buffer& grid) {
    const std::size_t points = grid.length(0);
    grid.require_shape(points, std::nullopt);
    const double* g = grid.data<double>();
    if (!(points >= 3 && g[0] > 0 && std::isfinite(g[points - 1]) && strictly_increasing(g, points))) {
        fail(PyExc_ValueError, "lam_grid must hold at least 3 increasing positive finite values");
    }
    return points;
}

// An array a function returns: allocated by NumPy, written through its
// buffer, handed to the results once written.
struct ResultArray {
    const char* name;
    OwnedRef object;
    Buffer view;

    ResultArray(const char* name_, char kind, std::size_t rows, std::optional<std::size_t> cols)
        : name(name_), object(allocate(kind, rows, cols)), view(object.get(), kind, true, name_) {}
    template <typename T>
    T* data() const {
        return view.data<T>();
    }

private:
    static PyObject* allocate(char kind, std::size_t rows, std::optional<std::size_t> cols) {
        OwnedRef numpy = checked(PyImport_ImportModule("numpy"));
        OwnedRef shape = checked(
            cols ? Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(*cols))
                 : Py_BuildValue("(n)", static_cast<Py_ssize_t>(rows)));
        const char* dtype = kind == 'd' ? "float64" : kind == 'q' ? "int64" : "int8";
        return checked(PyObject_CallMethod(numpy.get(), "empty", "Os", shape.get(), dtype)).release();
    }
};

// The results as a dict of arrays by name; an absent one is None.
class Results {
public:
    Results() : dict_(checked(PyDict_New())) {}
    void add(const ResultArray& array) { set(array.name, array.object.get()); }
    void add(const char* name, const std::optional<ResultArray>& array) {
        set(name, array ? array->object.get() : Py_None);
    }
    PyObject* release() { return dict_.release(); }

private:
    void set(const char* name, PyObject* value) {
        if (PyDict_SetItemString(dict_.get(), name, value) < 0) throw PythonErrorSet{};
    }
    OwnedRef dict_;
};

std::optional<ResultArray> result_if(bool wanted, const char* name, std::size_t rows, std::size_t cols) {
    if (!wanted) return std::nullopt;
    return std::optional<ResultArray>(std::in_place, name, 'd', rows, cols);
}

// The argument kinds of the keyword functions, converted with the module's
// own wording of errors.
Normalize optional_text(PyObject* object, const char* parameter) {
    if (object == Py_None) return std::nullopt;
    return convert_text(object, parameter);
}
double real_or(PyObject* object, const char* parameter, double value) {
    return object == nullptr ? value : convert_real_double(object, parameter);
}
bool flag_or(PyObject* object, const char* parameter, bool value) {
    return object == nullptr ? value : convert_flag(object, parameter);
}
Py_ssize_t order_of(PyObject* object) {
    if (object == nullptr) return 2;
    const std::uint64_t d = convert_count(object, "d");
    if (d > static_cast<std::uint64_t>(PY_SSIZE_T_MAX))
        fail(PyExc_ValueError, "d must be at least 1 and less than len(x)");
    return static_cast<Py_ssize_t>(d);
}
PyObject* none_if_absent(PyObject* object) { return object == nullptr ? Py_None : object; }

// The default grid for weight 1 on x, or ValueError naming what leaves the
// range of float64.
std::vector<double> default_grid_on(const Positions& x, Py_ssize_t d, double eps, Normalize normalize) {
    const std::optional<std::vector<double>> grid = default_lambda_grid(model_of(x, d, 0.0, eps, normalize));
    if (grid) return *grid;
    // Appended piece by piece: g++ 12 reports a false -Wrestrict overlap for
    // a literal + std::string&& chain here.
    std::string message = "the default lam grid for d=";
    message += std::to_string(d);
    message += " and normalize=";
    if (normalize) {
        message += '\'';
        message += *normalize;
        message += '\'';
    } else {
        message += "None";
    }
    message += " leaves the range of float64; pass lam_grid";
    fail(PyExc_ValueError, message);
}

// The fit on the union of x and an output grid x_out within x's range (zero
// weight where x has no position), read at x_out and continued beyond that
// range.
struct OnUnion {
    Positions out;
    UnionGrid grid;

    OnUnion(PyObject* out_object, const Inputs& in, Py_ssize_t d, double eps, Normalize normalize)
        : out(out_object, "x_out") {
        grid = union_of(in.positions.x.data<double>(), in.positions.length, out.x.data<double>(), out.length,
                        static_cast<std::uint64_t>(d));
        set_beyond_spread(grid.output, in.positions.x.data<double>(), in.positions.length,
                          out.x.data<double>(), model(in, d, 0.0, eps, normalize));
    }
    SelectionModel model(const Inputs& in, Py_ssize_t d, double ridge, double eps,
                         Normalize normalize) const {
        return make_union_model(in.positions.x.data<double>(), in.positions.length, grid.positions.data(),
                                grid.positions.size(), static_cast<std::uint64_t>(d), ridge, eps, normalize);
    }
};

// The ridge given, checked, or nothing for the default per series.
std::optional<double> ridge_of(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    const double ridge = convert_real_double(object, "ridge");
    if (!(ridge >= 0) || !std::isfinite(ridge)) fail(PyExc_ValueError, "ridge must be finite and >= 0");
    return ridge;
}

// The models of x (and of the union with x_out) for each ridge group, made
// before the interpreter lock is released.
struct GroupModels {
    std::vector<RidgeGroup> groups;
    std::vector<SelectionModel> on_x, on_union;

    GroupModels(const Inputs& in, Py_ssize_t d, std::optional<double> ridge, double eps, Normalize normalize,
                const std::optional<OnUnion>& union_grid)
        : groups(ridge_groups(in.batch(), static_cast<std::uint64_t>(d), ridge)) {
        for (const RidgeGroup& group : groups) {
            on_x.push_back(model_of(in.positions, d, group.ridge, eps, normalize));
            if (union_grid) on_union.push_back(union_grid->model(in, d, group.ridge, eps, normalize));
        }
    }
    std::size_t index(const RidgeGroup& group) const {
        return static_cast<std::size_t>(&group - groups.data());
    }
};

template <typename T>
SeriesRows rows_of(const ResultArray& array, std::size_t width) {
    return {array.data<T>(), width * sizeof(T)};
}
SeriesRows rows_of(const std::optional<ResultArray>& array, std::size_t width) {
    return {data_or_null<double>(array), width * sizeof(double)};
}

// The derivative the caller asks for (0 for the fit itself), checked
// against the output grid's length.
std::uint64_t derivative_of(PyObject* object, std::size_t points) {
    if (object == nullptr) return 0;
    const std::uint64_t derivative = convert_count(object, "derivative");
    if (derivative > 2) fail(PyExc_ValueError, "derivative must be 0, 1 or 2");
    if (derivative > 0 && points < derivative + 1) {
        fail(PyExc_ValueError, "derivative=" + std::to_string(derivative) + " needs at least " +
                                   std::to_string(derivative + 1) + " output positions");
    }
    return derivative;
}

const char* const select_parameters[] = {
    "x",     "y_st",      "w_base_st", "d",         "criterion",     "lam_grid", "refine", "gamma",
    "ridge", "normalize", "eps",       "return_se", "return_scores", "parallel", "x_out",  "derivative"};
const Signature select_signature{"select", select_parameters, std::size(select_parameters), 2};

// select_lambda's results as a dict: the choice on x; the fit (or its
// derivative) and se at x_out when given, formed at the lam each series
// is fitted at.
PyObject* select(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MatchedArguments<std::size(select_parameters)> a(select_signature, args, nargs, kwnames);
        const Py_ssize_t d = order_of(a[3]);
        const std::string_view criterion_text = a[4] == nullptr ? "reml" : convert_text(a[4], "criterion");
        const bool refine = flag_or(a[6], "refine", true);
        const double gamma = real_or(a[7], "gamma", 1.0);
        const std::optional<double> ridge = ridge_of(a[8]);
        const Normalize normalize = a[9] == nullptr ? "mean" : optional_text(a[9], "normalize");
        const double eps = real_or(a[10], "eps", 1e-10);
        const bool return_se = flag_or(a[11], "return_se", false);
        const bool return_scores = flag_or(a[12], "return_scores", false);
        const bool parallel = flag_or(a[13], "parallel", true);

        const Inputs in(a[0], a[1], none_if_absent(a[2]));
        const Criterion criterion = parse_criterion(criterion_text);
        require_order(in.positions, d);
        std::optional<OnUnion> on_union;
        if (a.given(14)) on_union.emplace(a[14], in, d, eps, normalize);
        const GroupModels models(in, d, ridge, eps, normalize, on_union);
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t points = on_union ? on_union->out.length : T;
        const std::uint64_t derivative = derivative_of(a[15], points);
        if (derivative > 0 && return_se) {
            fail(PyExc_ValueError,
                 "return_se gives the fit's standard errors: ask for them with derivative=0");
        }
        std::vector<double> lam_grid;
        if (a.given(5)) {
            const Buffer given(a[5], 'd', false, "lam_grid");
            const double* g = given.data<double>();
            lam_grid.assign(g, g + lambda_grid_length(given));
        } else {
            lam_grid = default_grid_on(in.positions, d, eps, normalize);
        }
        const std::size_t candidates = criterion == Criterion::Vcurve ? lam_grid.size() - 1 : lam_grid.size();

        const ResultArray lam("lam", 'd', S, std::nullopt), score("score", 'd', S, std::nullopt),
            edf("edf", 'd', S, std::nullopt), sigma2("sigma2", 'd', S, std::nullopt),
            observed("n_obs", 'q', S, std::nullopt), status("status", 'b', S, std::nullopt),
            grid_scale("grid_scale", 'd', S, std::nullopt), grid("grid", 'd', lam_grid.size(), std::nullopt),
            z("z", 'd', S, points);
        const std::optional<ResultArray> se = result_if(return_se, "se", S, points);
        const std::optional<ResultArray> scores = result_if(return_scores, "scores", S, candidates);
        std::copy(lam_grid.begin(), lam_grid.end(), grid.data<double>());
        const SelectionOptions options{criterion, lam_grid, !a.given(5),    refine,
                                       gamma,     parallel, active_kernel()};
        const std::vector<SeriesRows> results{rows_of<double>(lam, 1),
                                              rows_of<double>(score, 1),
                                              rows_of<double>(edf, 1),
                                              rows_of<double>(sigma2, 1),
                                              rows_of<std::int64_t>(observed, 1),
                                              rows_of<std::int8_t>(status, 1),
                                              rows_of<double>(grid_scale, 1),
                                              rows_of<double>(z, points),
                                              rows_of(se, points),
                                              rows_of(scores, candidates)};
        const auto solve = [&](const RidgeGroup& group, const SeriesBatch& batch,
                               const std::vector<void*>& o) {
            const std::size_t g = models.index(group);
            // With x_out the fit on x is only a step: it is formed again on
            // the union, and se there.
            std::vector<double> fit_on_x(on_union ? batch.count * T : 0);
            const SelectionOutputs out{static_cast<double*>(o[0]),
                                       static_cast<double*>(o[1]),
                                       static_cast<double*>(o[2]),
                                       static_cast<double*>(o[3]),
                                       static_cast<std::int64_t*>(o[4]),
                                       static_cast<std::int8_t*>(o[5]),
                                       static_cast<double*>(o[6]),
                                       on_union ? fit_on_x.data() : static_cast<double*>(o[7]),
                                       on_union ? nullptr : static_cast<double*>(o[8]),
                                       static_cast<double*>(o[9])};
            select_lambdas(models.on_x[g], batch, options, out);
            if (!on_union) return;
            std::vector<double> fitted(batch.count);
            for (std::size_t s = 0; s < batch.count; ++s) {
                fitted[s] = fitted_lam(out.status[s], out.lam[s], lam_grid, out.grid_scale[s]);
            }
            const EvaluationOutputs at_out{static_cast<double*>(o[7]),
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           static_cast<double*>(o[8]),
                                           out.sigma2,
                                           &on_union->grid.output};
            SeriesBatch rows = batch;
            rows.source = on_union->grid.source.data();
            evaluate_lambdas(models.on_union[g], rows, fitted.data(), batch.count != 1, gamma, parallel,
                             active_kernel(), at_out);
        };
        without_interpreter_lock([&] {
            solve_in_groups(models.groups, in.batch(), results, solve);
            if (derivative > 0) {
                const double* at = on_union ? on_union->out.x.data<double>() : in.positions.x.data<double>();
                differentiate_rows(z.data<double>(), S, at, points, derivative);
            }
        });
        Results results_by_name;
        for (const ResultArray* array :
             {&lam, &score, &edf, &sigma2, &observed, &status, &grid_scale, &grid, &z}) {
            results_by_name.add(*array);
        }
        results_by_name.add("se", se);
        results_by_name.add("scores", scores);
        return results_by_name.release();
    });
}

// The values of a group's series, of one value per series (none: none).
std::vector<double> rows_of_group(const RidgeGroup& group, const std::vector<double>& per_series) {
    if (group.rows.empty() || per_series.empty()) return per_series;
    std::vector<double> gathered;
    for (const std::size_t s : group.rows) gathered.push_back(per_series[s]);
    return gathered;
}

// Given lams, checked: one for every series or one per series.
struct GivenLams {
    Buffer lams;
    std::size_t count;

    GivenLams(PyObject* object, std::size_t series) : lams(object, 'd', false, "lam"), count(lams.length(0)) {
        if (count != series && count != 1)
            fail(PyExc_ValueError, "lam must hold one value or one per series");
        lams.require_shape(count, std::nullopt);
        for (std::size_t s = 0; s < count; ++s) {
            const double value = lams.data<double>()[s];
            if (!(value >= 0) || !std::isfinite(value)) fail(PyExc_ValueError, "lam must be finite and >= 0");
        }
    }
    // The lams of a group's series: a single one for all, or one each.
    std::vector<double> of(const RidgeGroup& group) const {
        const double* all = lams.data<double>();
        return count == 1 ? std::vector<double>(all, all + 1) : rows_of_group(group, {all, all + count});
    }
};

const char* const evaluate_parameters[] = {"x",         "y_st",      "lam",   "w_base_st",  "d",
                                           "ridge",     "normalize", "eps",   "gamma",      "return_hat",
                                           "return_se", "parallel",  "x_out", "derivative", "sigma2"};
const Signature evaluate_signature{"evaluate", evaluate_parameters, std::size(evaluate_parameters), 3};

// evaluate_lambda's results as a dict: the values on x; the fit (or its
// derivative) and se at x_out when given, formed on the union of x and x_out.
// sigma2: the noise variance of each series for se, by default the fit's
// own Q / (m - d).
PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MatchedArguments<std::size(evaluate_parameters)> a(evaluate_signature, args, nargs, kwnames);
        const Py_ssize_t d = order_of(a[4]);
        const std::optional<double> ridge = ridge_of(a[5]);
        const Normalize normalize = a[6] == nullptr ? "mean" : optional_text(a[6], "normalize");
        const double eps = real_or(a[7], "eps", 1e-10);
        const double gamma = real_or(a[8], "gamma", 1.0);
        const bool return_hat = flag_or(a[9], "return_hat", false);
        const bool return_se = flag_or(a[10], "return_se", false);
        const bool parallel = flag_or(a[11], "parallel", true);

        const Inputs in(a[0], a[1], none_if_absent(a[3]));
        require_order(in.positions, d);
        const GivenLams lams(a[2], in.series);
        std::optional<OnUnion> on_union;
        if (a.given(12)) on_union.emplace(a[12], in, d, eps, normalize);
        const GroupModels models(in, d, ridge, eps, normalize, on_union);
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t points = on_union ? on_union->out.length : T;
        const std::uint64_t derivative = derivative_of(a[13], points);
        if (derivative > 0 && return_se) {
            fail(PyExc_ValueError,
                 "return_se gives the fit's standard errors: ask for them with derivative=0");
        }
        const ResultArray z("z", 'd', S, points), edf("edf", 'd', S, std::nullopt),
            rss("rss", 'd', S, std::nullopt), roughness("roughness", 'd', S, std::nullopt),
            gcv("gcv", 'd', S, std::nullopt), loocv("loocv", 'd', S, std::nullopt),
            reml("reml", 'd', S, std::nullopt);
        const std::optional<ResultArray> hat = result_if(return_hat, "hat", S, T);
        const std::optional<ResultArray> se = result_if(return_se, "se", S, points);
        const std::optional<Buffer> sigma2 = optional_buffer(none_if_absent(a[14]), 'd', false, "sigma2");
        if (sigma2) sigma2->require_shape(S, std::nullopt);
        std::vector<double> noise(sigma2 ? S : 0);
        if (sigma2) std::copy_n(sigma2->data<double>(), S, noise.begin());
        const std::vector<SeriesRows> results{
            rows_of<double>(z, points),    rows_of<double>(edf, 1), rows_of<double>(rss, 1),
            rows_of<double>(roughness, 1), rows_of<double>(gcv, 1), rows_of<double>(loocv, 1),
            rows_of<double>(reml, 1),      rows_of(hat, T),         rows_of(se, points)};
        const auto solve = [&](const RidgeGroup& group, const SeriesBatch& batch,
                               const std::vector<void*>& o) {
            const std::size_t g = models.index(group);
            const std::vector<double> noise_of_group = rows_of_group(group, noise);
            // With x_out: the values on x, the fit (and se) on the union, in
            // one evaluation.
            const EvaluationOutputs out{static_cast<double*>(o[0]),
                                        static_cast<double*>(o[1]),
                                        static_cast<double*>(o[2]),
                                        static_cast<double*>(o[3]),
                                        static_cast<double*>(o[4]),
                                        static_cast<double*>(o[5]),
                                        static_cast<double*>(o[6]),
                                        static_cast<double*>(o[7]),
                                        static_cast<double*>(o[8]),
                                        noise_of_group.empty() ? nullptr : noise_of_group.data(),
                                        on_union ? &on_union->grid.output : nullptr,
                                        on_union ? &models.on_x[g] : nullptr};
            SeriesBatch rows = batch;
            if (on_union) rows.source = on_union->grid.source.data();
            const std::vector<double> at = lams.of(group);
            evaluate_lambdas(on_union ? models.on_union[g] : models.on_x[g], rows, at.data(),
                             at.size() == batch.count && batch.count != 1, gamma, parallel, active_kernel(),
                             out);
        };
        without_interpreter_lock([&] {
            solve_in_groups(models.groups, in.batch(), results, solve);
            if (derivative > 0) {
                const double* at = on_union ? on_union->out.x.data<double>() : in.positions.x.data<double>();
                differentiate_rows(z.data<double>(), S, at, points, derivative);
            }
        });
        Results results_by_name;
        for (const ResultArray* array : {&z, &edf, &rss, &roughness, &gcv, &loocv, &reml})
            results_by_name.add(*array);
        results_by_name.add("hat", hat);
        results_by_name.add("se", se);
        return results_by_name.release();
    });
}

const char* const envelope_parameters[] = {"x",   "y_st",       "w_base_st", "p",         "lam",
                                           "d",   "iterations", "tol",       "normalize", "ridge",
                                           "eps", "parallel",   "x_out",     "derivative"};
const Signature envelope_signature{"envelope", envelope_parameters, std::size(envelope_parameters), 2};

// envelope's results as a dict. lam: a criterion's name, or one value or one
// per series (status None then). With x_out, z is the fit at the lam each
// series was fitted at with its final weights on the union of x and x_out.
PyObject* envelope(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MatchedArguments<std::size(envelope_parameters)> a(envelope_signature, args, nargs, kwnames);
        const double p = real_or(a[3], "p", 0.9);
        const Py_ssize_t d = order_of(a[5]);
        const std::uint64_t iterations = a[6] == nullptr ? 10 : convert_count(a[6], "iterations");
        const double tol = real_or(a[7], "tol", 0.0);
        const Normalize normalize = a[8] == nullptr ? "mean" : optional_text(a[8], "normalize");
        const std::optional<double> ridge = ridge_of(a[9]);
        const double eps = real_or(a[10], "eps", 1e-10);
        const bool parallel = flag_or(a[11], "parallel", true);
        if (!(p > 0 && p < 1)) fail(PyExc_ValueError, "p must lie strictly between 0 and 1");
        if (!(tol >= 0) || !std::isfinite(tol)) fail(PyExc_ValueError, "tol must be finite and >= 0");

        const Inputs in(a[0], a[1], none_if_absent(a[2]));
        require_order(in.positions, d);
        const bool chosen = a[4] == nullptr || PyUnicode_Check(a[4]);
        std::optional<Criterion> criterion;
        std::optional<GivenLams> given;
        if (chosen) {
            criterion = parse_criterion(a[4] == nullptr ? "vcurve" : convert_text(a[4], "lam"));
        } else {
            given.emplace(a[4], in.series);
        }
        std::optional<OnUnion> on_union;
        if (a.given(12)) on_union.emplace(a[12], in, d, eps, normalize);
        const GroupModels models(in, d, ridge, eps, normalize, on_union);
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t points = on_union ? on_union->out.length : T;
        const std::uint64_t derivative = derivative_of(a[13], points);
        const std::vector<double> lam_grid =
            criterion ? default_grid_on(in.positions, d, eps, normalize) : std::vector<double>();

        const ResultArray z("z", 'd', S, points), weights("weights", 'd', S, T),
            taken("iterations", 'q', S, std::nullopt), lam("lam", 'd', S, std::nullopt);
        const std::optional<ResultArray> status =
            criterion ? std::optional<ResultArray>(std::in_place, "status", 'b', S, std::nullopt)
                      : std::nullopt;
        const std::vector<SeriesRows> results{rows_of<double>(z, points),
                                              rows_of<double>(weights, T),
                                              rows_of<std::int64_t>(taken, 1),
                                              rows_of<double>(lam, 1),
                                              {status ? status->data<std::int8_t>() : nullptr, 1}};
        const EnvelopeOptions options{p, iterations, tol, parallel, active_kernel()};
        const auto solve = [&](const RidgeGroup& group, const SeriesBatch& batch,
                               const std::vector<void*>& o) {
            const std::size_t g = models.index(group);
            auto* const fit = static_cast<double*>(o[0]);
            auto* const final_weights = static_cast<double*>(o[1]);
            auto* const lams = static_cast<double*>(o[3]);
            // With x_out the fit on x is only a step: it is formed again on
            // the union.
            std::vector<double> fit_on_x(on_union ? batch.count * T : 0);
            const EnvelopeOutputs out{on_union ? fit_on_x.data() : fit, final_weights,
                                      static_cast<std::int64_t*>(o[2])};
            std::vector<double> fitted;
            if (criterion) {
                const SelectionOptions selection{*criterion, lam_grid, true,           true,
                                                 1.0,        parallel, active_kernel()};
                fitted.resize(batch.count);
                envelope_selected(models.on_x[g], batch, selection, options, out, lams,
                                  static_cast<std::int8_t*>(o[4]), fitted.data());
            } else {
                fitted = given->of(group);
                envelope_at(models.on_x[g], batch, fitted.data(),
                            fitted.size() == batch.count && batch.count != 1, options, out);
                for (std::size_t s = 0; s < batch.count; ++s) {
                    lams[s] = observation_count(batch, s) > 0 ? fitted[fitted.size() == 1 ? 0 : s]
                                                              : std::numeric_limits<double>::quiet_NaN();
                }
            }
            if (!on_union) return;
            const EvaluationOutputs at_out{fit,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           &on_union->grid.output};
            evaluate_lambdas(models.on_union[g],
                             {batch.values, final_weights, batch.count, T, on_union->grid.source.data()},
                             fitted.data(), fitted.size() == batch.count && batch.count != 1, 1.0, parallel,
                             active_kernel(), at_out);
        };
        without_interpreter_lock([&] {
            solve_in_groups(models.groups, in.batch(), results, solve);
            if (derivative > 0) {
                const double* at = on_union ? on_union->out.x.data<double>() : in.positions.x.data<double>();
                differentiate_rows(z.data<double>(), S, at, points, derivative);
            }
        });
        Results results_by_name;
        for (const ResultArray* array : {&z, &weights, &taken, &lam}) results_by_name.add(*array);
        results_by_name.add("status", status);
        return results_by_name.release();
    });
}

const char* const robust_parameters[] = {
    "x",   "y_st",      "w_base_st", "lam", "d",        "weighting", "scale",      "tuning",   "iterations",
    "tol", "normalize", "ridge",     "eps", "parallel", "x_out",     "derivative", "return_se"};
const Signature robust_signature{"robust", robust_parameters, std::size(robust_parameters), 2};

// robust's results as a dict, lam chosen by a criterion on robust weights,
// the weights and the choice decided together. tuning: None for the
// weighting's default, or its three constants. With x_out or return_se, z
// and se are those of the fit at the lam each series was fitted at with its
// final weights on the union of x and x_out (x itself without x_out).
PyObject* robust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MatchedArguments<std::size(robust_parameters)> a(robust_signature, args, nargs, kwnames);
        const std::string_view criterion_text = a[3] == nullptr ? "reml" : convert_text(a[3], "lam");
        const Py_ssize_t d = order_of(a[4]);
        const std::string_view weighting_text = a[5] == nullptr ? "tukey" : convert_text(a[5], "weighting");
        const std::string_view scale_text = a[6] == nullptr ? "mad" : convert_text(a[6], "scale");
        const std::uint64_t iterations = a[8] == nullptr ? 4 : convert_count(a[8], "iterations");
        const double tol = real_or(a[9], "tol", 0.0);
        const Normalize normalize = a[10] == nullptr ? "mean" : optional_text(a[10], "normalize");
        const double ridge = real_or(a[11], "ridge", 0.0);
        const double eps = real_or(a[12], "eps", 1e-10);
        const bool parallel = flag_or(a[13], "parallel", true);
        const bool return_se = flag_or(a[16], "return_se", false);
        if (iterations < 1) fail(PyExc_ValueError, "iterations must be >= 1");
        if (!(tol >= 0) || !std::isfinite(tol)) fail(PyExc_ValueError, "tol must be finite and >= 0");
        if (!(ridge >= 0) || !std::isfinite(ridge)) fail(PyExc_ValueError, "ridge must be finite and >= 0");
        const std::optional<Weighting> weighting = parse_weighting(weighting_text);
        if (!weighting) fail(PyExc_ValueError, "unknown weighting");
        const TuningTriple<double> tuning =
            a.given(7) ? convert_triple<double>(a[7], "tuning") : default_tuning<double>(*weighting);

        const Inputs in(a[0], a[1], none_if_absent(a[2]));
        const Criterion criterion = parse_criterion(criterion_text);
        const SelectionModel model = model_of(in.positions, d, ridge, eps, normalize);
        std::optional<OnUnion> on_union;
        if (a.given(14) || return_se) on_union.emplace(a.given(14) ? a[14] : a[0], in, d, eps, normalize);
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t points = a.given(14) ? on_union->out.length : T;
        const std::uint64_t derivative = derivative_of(a[15], points);
        if (derivative > 0 && return_se) {
            fail(PyExc_ValueError,
                 "return_se gives the fit's standard errors: ask for them with derivative=0");
        }
        const std::vector<double> lam_grid = default_grid_on(in.positions, d, eps, normalize);
        const std::optional<SelectionModel> union_model =
            on_union ? std::optional(on_union->model(in, d, ridge, eps, normalize)) : std::nullopt;

        const ResultArray z("z", 'd', S, points), weights("weights", 'd', S, T),
            lam("lam", 'd', S, std::nullopt), edf("edf", 'd', S, std::nullopt),
            sigma2("sigma2", 'd', S, std::nullopt), status("status", 'b', S, std::nullopt),
            passes("iterations", 'q', S, std::nullopt);
        const std::optional<ResultArray> se = result_if(return_se, "se", S, points);
        const RobustSelectionOptions options{
            {criterion, lam_grid, true, true, 1.0, parallel, active_kernel()},
            iterations,
            *weighting,
            tuning,
            parse_scale_estimator(scale_text),
            tol};
        // With x_out the fit on x is only a step: it is formed again on the
        // union.
        std::vector<double> fit_on_x(a.given(14) ? S * T : 0), grid_scale(S);
        const RobustSelectionOutputs out{a.given(14) ? fit_on_x.data() : z.data<double>(),
                                         weights.data<double>(),
                                         lam.data<double>(),
                                         edf.data<double>(),
                                         sigma2.data<double>(),
                                         status.data<std::int8_t>(),
                                         passes.data<std::int64_t>(),
                                         grid_scale.data()};
        without_interpreter_lock([&] {
            robust_selected(model, in.batch(), options, out);
            if (on_union) {
                std::vector<double> fitted(S);
                for (std::size_t s = 0; s < S; ++s) {
                    fitted[s] = fitted_lam(out.status[s], out.lam[s], lam_grid, out.grid_scale[s]);
                }
                // Without x_out the union is x itself: its fit is z's, bit
                // for bit, and only se is wanted from it.
                std::vector<double> union_fit(a.given(14) ? 0 : S * T);
                const EvaluationOutputs at_out{a.given(14) ? z.data<double>() : union_fit.data(),
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               data_or_null<double>(se),
                                               out.sigma2,
                                               &on_union->grid.output};
                evaluate_lambdas(*union_model,
                                 {in.y.data<double>(), out.weights, S, T, on_union->grid.source.data()},
                                 fitted.data(), S != 1, 1.0, parallel, active_kernel(), at_out);
            }
            if (derivative > 0) {
                const double* at =
                    a.given(14) ? on_union->out.x.data<double>() : in.positions.x.data<double>();
                differentiate_rows(z.data<double>(), S, at, points, derivative);
            }
        });
        Results results_by_name;
        for (const ResultArray* array : {&z, &weights, &lam, &edf, &sigma2, &status, &passes}) {
            results_by_name.add(*array);
        }
        results_by_name.add("se", se);
        return results_by_name.release();
    });
}

// Each docstring opens with the function's text signature, which
// inspect.signature and the stubs' check read.
PyMethodDef functions[] = {
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(select)),
     METH_FASTCALL | METH_KEYWORDS,
     "select(x, y_st, w_base_st=None, d=2, criterion='reml', lam_grid=None, refine=True, gamma=1.0,\n"
     "       ridge=None, normalize='mean', eps=1e-10, return_se=False, return_scores=False,\n"
     "       parallel=True, x_out=None, derivative=0)\n--\n\n"
     "The results of tarnwold_tools.select_lambda, by name."},
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(evaluate)),
     METH_FASTCALL | METH_KEYWORDS,
     "evaluate(x, y_st, lam, w_base_st=None, d=2, ridge=None, normalize='mean', eps=1e-10, gamma=1.0,\n"
     "         return_hat=False, return_se=False, parallel=True, x_out=None, derivative=0, sigma2=None)\n"
     "--\n\n"
     "The results of tarnwold_tools.evaluate_lambda, by name; sigma2, one per series, for se in place\n"
     "of the fit's own Q / (m - d)."},
    {"envelope", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(envelope)),
     METH_FASTCALL | METH_KEYWORDS,
     "envelope(x, y_st, w_base_st=None, p=0.9, lam='vcurve', d=2, iterations=10, tol=0.0,\n"
     "         normalize='mean', ridge=None, eps=1e-10, parallel=True, x_out=None, derivative=0)\n--\n\n"
     "The results of tarnwold_tools.envelope, by name."},
    {"robust", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(robust)),
     METH_FASTCALL | METH_KEYWORDS,
     "robust(x, y_st, w_base_st=None, lam='reml', d=2, weighting='tukey', scale='mad', tuning=None,\n"
     "       iterations=4, tol=0.0, normalize='mean', ridge=0.0, eps=1e-10, parallel=True, x_out=None,\n"
     "       derivative=0, return_se=False)\n--\n\n"
     "The results of tarnwold_tools.robust with lam chosen by a criterion, by name."},
    {nullptr, nullptr, 0, nullptr},
};

// CRITERIA: the names select accepts, in the order of the core's list, so
// that the package's own lists of criteria can be checked against it.
int add_criteria(PyObject* module) {
    OwnedRef names(PyTuple_New(static_cast<Py_ssize_t>(all_criteria.size())));
    if (!names) return -1;
    for (std::size_t i = 0; i < all_criteria.size(); ++i) {
        const std::string_view name = criterion_name(all_criteria[i]);
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return -1;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text);
    }
    return PyModule_AddObjectRef(module, "CRITERIA", names.get());
}

// Multi-phase initialisation: no per-module state; execution adds the
// constants.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_criteria)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tarnwold_tools._select",
    "Native lam selection for tarnwold_tools.",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarnwold::py

PyMODINIT_FUNC PyInit__select(void) { return PyModuleDef_Init(&tarnwold::py::definition); }

// tarnwold_tools._select: the native half of select_lambda and
// evaluate_lambda. The Python wrappers convert the arguments, check what
// only they see (dtypes, the shape of lam) and allocate every result array;
// these functions check every buffer and value they are given (lam_grid and
// lam only here; a direct call must not reach the core with a wrong shape),
// release the interpreter lock and fill the results in place.
#include <cxxabi.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error_wall.hpp"
#include "grid_checks.hpp"
#include "lambda/envelope.hpp"
#include "lambda/lambda_selection.hpp"
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

template <typename T>
T* data_or_null(const std::optional<Buffer>& buffer) {
    return buffer ? buffer->data<T>() : nullptr;
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

std::optional<std::string_view> normalize_text(const char* text) {
    return text ? std::optional<std::string_view>(text) : std::nullopt;
}

SelectionModel model_of(const Positions& at, Py_ssize_t d, double ridge, double eps, const char* normalize) {
    if (d < 1 || static_cast<std::size_t>(d) >= at.length) {
        fail(PyExc_ValueError, "d must be at least 1 and less than len(x)");
    }
    return make_selection_model(at.x.data<double>(), at.length, static_cast<std::uint64_t>(d), ridge, eps,
                                normalize_text(normalize));
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

PyObject* default_grid(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* x_object;
        Py_ssize_t d;
        double eps;
        const char* normalize;
        if (!PyArg_ParseTuple(args, "Ondz:default_grid", &x_object, &d, &eps, &normalize)) {
            throw PythonErrorSet{};
        }
        const SelectionModel model = model_of(Observations(x_object), d, 0.0, eps, normalize);
        const std::optional<std::vector<double>> grid = default_lambda_grid(model);
        if (!grid) {
            // Appended piece by piece: g++ 12 reports a false -Wrestrict
            // overlap for a literal + std::string&& chain here.
            std::string message = "the default lam grid for d=";
            message += std::to_string(d);
            message += " and normalize=";
            if (normalize != nullptr) {
                message += '\'';
                message += normalize;
                message += '\'';
            } else {
                message += "None";
            }
            message += " leaves the range of float64; pass lam_grid";
            fail(PyExc_ValueError, message);
        }
        OwnedRef list = checked(PyList_New(static_cast<Py_ssize_t>(grid->size())));
        for (std::size_t j = 0; j < grid->size(); ++j) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j),
                            checked(PyFloat_FromDouble((*grid)[j])).release());
        }
        return list.release();
    });
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

PyObject* select(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *x_object, *y_object, *w_object, *grid_object;
        Py_ssize_t d;
        double ridge, eps, gamma;
        const char *normalize, *criterion_name;
        int scale_by_weight, refine, parallel;
        PyObject* o[10];
        if (!PyArg_ParseTuple(args, "OOOnddzsOppdpOOOOOOOOOO:select", &x_object, &y_object, &w_object, &d,
                              &ridge, &eps, &normalize, &criterion_name, &grid_object, &scale_by_weight,
                              &refine, &gamma, &parallel, &o[0], &o[1], &o[2], &o[3], &o[4], &o[5], &o[6],
                              &o[7], &o[8], &o[9])) {
            throw PythonErrorSet{};
        }
        const Inputs in(x_object, y_object, w_object);
        const Criterion criterion = parse_criterion(criterion_name);
        const SelectionModel model = model_of(in.positions, d, ridge, eps, normalize);
        const Buffer grid(grid_object, 'd', false, "lam_grid");
        const std::size_t points = lambda_grid_length(grid);
        const double* g = grid.data<double>();
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t candidates = criterion == Criterion::Vcurve ? points - 1 : points;
        const Buffer lam(o[0], 'd', true, "lam"), score(o[1], 'd', true, "score"),
            edf(o[2], 'd', true, "edf"), sigma2(o[3], 'd', true, "sigma2"),
            observed(o[4], 'q', true, "n_obs"), status(o[5], 'b', true, "status"),
            grid_scale(o[6], 'd', true, "grid_scale"), z(o[7], 'd', true, "z");
        const std::optional<Buffer> se = optional_buffer(o[8], 'd', true, "se");
        const std::optional<Buffer> scores = optional_buffer(o[9], 'd', true, "scores");
        for (const Buffer* b : {&lam, &score, &edf, &sigma2, &observed, &status, &grid_scale}) {
            b->require_shape(S, std::nullopt);
        }
        z.require_shape(S, T);
        if (se) se->require_shape(S, T);
        if (scores) scores->require_shape(S, candidates);

        const SelectionOptions options{criterion,
                                       std::vector<double>(g, g + points),
                                       scale_by_weight != 0,
                                       refine != 0,
                                       gamma,
                                       parallel != 0,
                                       active_kernel()};
        const SelectionOutputs out{lam.data<double>(),
                                   score.data<double>(),
                                   edf.data<double>(),
                                   sigma2.data<double>(),
                                   observed.data<std::int64_t>(),
                                   status.data<std::int8_t>(),
                                   grid_scale.data<double>(),
                                   z.data<double>(),
                                   data_or_null<double>(se),
                                   data_or_null<double>(scores)};
        const SeriesBatch batch = in.batch();
        without_interpreter_lock([&] { select_lambdas(model, batch, options, out); });
        Py_RETURN_NONE;
    });
}

PyObject* evaluate(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *x_object, *y_object, *w_object, *lam_object;
        Py_ssize_t d;
        double ridge, eps, gamma;
        const char* normalize;
        int parallel;
        PyObject* o[9];
        PyObject *out_object = Py_None, *sigma2_object = Py_None;
        if (!PyArg_ParseTuple(args, "OOOnddzOdpOOOOOOOOO|OO:evaluate", &x_object, &y_object, &w_object, &d,
                              &ridge, &eps, &normalize, &lam_object, &gamma, &parallel, &o[0], &o[1], &o[2],
                              &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &out_object, &sigma2_object)) {
            throw PythonErrorSet{};
        }
        const Inputs in(x_object, y_object, w_object);
        const SelectionModel on_x = model_of(in.positions, d, ridge, eps, normalize);
        SelectionModel model = model_of(in.positions, d, ridge, eps, normalize);
        // With x_out the fit is formed on the union of x and x_out within
        // x's range (zero weight where x has no position), read at x_out and
        // continued beyond that range; the values, when asked for, on x.
        std::optional<Positions> out_positions;
        if (out_object != Py_None) out_positions.emplace(out_object, "x_out");
        UnionGrid grid;
        if (out_positions) {
            const double* x = in.positions.x.data<double>();
            const double* x_out = out_positions->x.data<double>();
            grid =
                union_of(x, in.positions.length, x_out, out_positions->length, static_cast<std::uint64_t>(d));
            model = make_union_model(x, in.positions.length, grid.positions.data(), grid.positions.size(),
                                     static_cast<std::uint64_t>(d), ridge, eps, normalize_text(normalize));
            set_beyond_spread(grid.output, x, in.positions.length, x_out, model);
        }
        const std::size_t S = in.series, T = in.positions.length;
        const Buffer lams(lam_object, 'd', false, "lam");
        const std::size_t lam_count = lams.length(0);
        if (lam_count != S && lam_count != 1)
            fail(PyExc_ValueError, "lam must hold one value or one per series");
        lams.require_shape(lam_count, std::nullopt);
        for (std::size_t s = 0; s < lam_count; ++s) {
            const double value = lams.data<double>()[s];
            if (!(value >= 0) || !std::isfinite(value)) fail(PyExc_ValueError, "lam must be finite and >= 0");
        }
        const std::optional<Buffer> z = optional_buffer(o[0], 'd', true, "z");
        const std::optional<Buffer> edf = optional_buffer(o[1], 'd', true, "edf"),
                                    rss = optional_buffer(o[2], 'd', true, "rss"),
                                    roughness = optional_buffer(o[3], 'd', true, "roughness"),
                                    gcv = optional_buffer(o[4], 'd', true, "gcv"),
                                    loocv = optional_buffer(o[5], 'd', true, "loocv"),
                                    reml = optional_buffer(o[6], 'd', true, "reml");
        const bool values = edf.has_value();
        for (const std::optional<Buffer>* b : {&rss, &roughness, &gcv, &loocv, &reml}) {
            if (b->has_value() != values) fail(PyExc_ValueError, "edf .. reml must all be given or all None");
        }
        if (!values && !out_positions) fail(PyExc_ValueError, "edf .. reml are needed without x_out");
        const std::optional<Buffer> hat = optional_buffer(o[7], 'd', true, "hat");
        const std::optional<Buffer> se = optional_buffer(o[8], 'd', true, "se");
        const std::optional<Buffer> sigma2 = optional_buffer(sigma2_object, 'd', false, "sigma2");
        for (const std::optional<Buffer>* b : {&edf, &rss, &roughness, &gcv, &loocv, &reml})
            if (*b) (*b)->require_shape(S, std::nullopt);
        if (sigma2) sigma2->require_shape(S, std::nullopt);
        const std::size_t points = out_positions ? out_positions->length : T;
        if (!z && out_positions) fail(PyExc_ValueError, "z is needed with x_out");
        if (z) z->require_shape(S, points);
        if (hat && out_positions && !values) fail(PyExc_ValueError, "hat on x needs the values on x");
        if (hat) hat->require_shape(S, T);
        if (se) se->require_shape(S, points);
        const EvaluationOutputs out{data_or_null<double>(z),
                                    data_or_null<double>(edf),
                                    data_or_null<double>(rss),
                                    data_or_null<double>(roughness),
                                    data_or_null<double>(gcv),
                                    data_or_null<double>(loocv),
                                    data_or_null<double>(reml),
                                    data_or_null<double>(hat),
                                    data_or_null<double>(se),
                                    data_or_null<double>(sigma2),
                                    out_positions ? &grid.output : nullptr,
                                    out_positions && values ? &on_x : nullptr};
        SeriesBatch batch = in.batch();
        batch.source = out_positions ? grid.source.data() : nullptr;
        const bool per_series = lam_count == S && S != 1;
        without_interpreter_lock([&] {
            evaluate_lambdas(model, batch, lams.data<double>(), per_series, gamma, parallel != 0,
                             active_kernel(), out);
        });
        Py_RETURN_NONE;
    });
}

// lam given (criterion None): `lam` holds one value or one per series. With
// a criterion, lam is chosen on `grid` and written to lam_out with status.
PyObject* envelope(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *x_object, *y_object, *w_object, *lam_object, *grid_object;
        Py_ssize_t d, iterations;
        double ridge, eps, p, tol;
        const char *normalize, *criterion_name;
        int scale_by_weight, parallel;
        PyObject* o[5];
        if (!PyArg_ParseTuple(args, "OOOnddzdndpzOOpOOOOO:envelope", &x_object, &y_object, &w_object, &d,
                              &ridge, &eps, &normalize, &p, &iterations, &tol, &parallel, &criterion_name,
                              &lam_object, &grid_object, &scale_by_weight, &o[0], &o[1], &o[2], &o[3],
                              &o[4])) {
            throw PythonErrorSet{};
        }
        if (!(p > 0 && p < 1)) fail(PyExc_ValueError, "p must lie strictly between 0 and 1");
        if (iterations < 0) fail(PyExc_ValueError, "iterations must be >= 0");
        if (!(tol >= 0) || !std::isfinite(tol)) fail(PyExc_ValueError, "tol must be finite and >= 0");
        const Inputs in(x_object, y_object, w_object);
        const SelectionModel model = model_of(in.positions, d, ridge, eps, normalize);
        const std::size_t S = in.series, T = in.positions.length;
        const Buffer z(o[0], 'd', true, "z"), weights(o[1], 'd', true, "weights"),
            taken(o[2], 'q', true, "iterations");
        z.require_shape(S, T);
        weights.require_shape(S, T);
        taken.require_shape(S, std::nullopt);
        const EnvelopeOptions options{p, static_cast<std::uint64_t>(iterations), tol, parallel != 0,
                                      active_kernel()};
        const EnvelopeOutputs out{z.data<double>(), weights.data<double>(), taken.data<std::int64_t>()};
        const SeriesBatch batch = in.batch();
        if (criterion_name == nullptr) {
            const Buffer lams(lam_object, 'd', false, "lam");
            const std::size_t count = lams.length(0);
            if (count != S && count != 1) fail(PyExc_ValueError, "lam must hold one value or one per series");
            lams.require_shape(count, std::nullopt);
            for (std::size_t s = 0; s < count; ++s) {
                const double value = lams.data<double>()[s];
                if (!(value >= 0) || !std::isfinite(value))
                    fail(PyExc_ValueError, "lam must be finite and >= 0");
            }
            without_interpreter_lock(
                [&] { envelope_at(model, batch, lams.data<double>(), count == S && S != 1, options, out); });
            Py_RETURN_NONE;
        }
        const Criterion criterion = parse_criterion(criterion_name);
        const Buffer grid(grid_object, 'd', false, "lam_grid");
        const std::size_t points = lambda_grid_length(grid);
        const double* g = grid.data<double>();
        const Buffer lam(o[3], 'd', true, "lam"), status(o[4], 'b', true, "status");
        lam.require_shape(S, std::nullopt);
        status.require_shape(S, std::nullopt);
        const SelectionOptions selection{criterion,
                                         std::vector<double>(g, g + points),
                                         scale_by_weight != 0,
                                         true,
                                         1.0,
                                         parallel != 0,
                                         active_kernel()};
        without_interpreter_lock([&] {
            envelope_selected(model, batch, selection, options, out, lam.data<double>(),
                              status.data<std::int8_t>());
        });
        Py_RETURN_NONE;
    });
}

// lam chosen by a criterion on robust weights, the weights and the choice
// decided together. tuning: None for the weighting's default, or its three
// constants.
PyObject* robust(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *x_object, *y_object, *w_object, *grid_object, *tuning_object;
        Py_ssize_t d, iterations;
        double ridge, eps, tol;
        const char *normalize, *criterion_name, *weighting_name_text, *scale_name;
        int scale_by_weight, parallel;
        PyObject* o[8];
        if (!PyArg_ParseTuple(args, "OOOnddzsOpnssOdpOOOOOOOO:robust", &x_object, &y_object, &w_object, &d,
                              &ridge, &eps, &normalize, &criterion_name, &grid_object, &scale_by_weight,
                              &iterations, &weighting_name_text, &scale_name, &tuning_object, &tol, &parallel,
                              &o[0], &o[1], &o[2], &o[3], &o[4], &o[5], &o[6], &o[7])) {
            throw PythonErrorSet{};
        }
        if (iterations < 1) fail(PyExc_ValueError, "iterations must be >= 1");
        if (!(tol >= 0) || !std::isfinite(tol)) fail(PyExc_ValueError, "tol must be finite and >= 0");
        const std::optional<Weighting> weighting = parse_weighting(weighting_name_text);
        if (!weighting) fail(PyExc_ValueError, "unknown weighting");
        TuningTriple<double> tuning = default_tuning<double>(*weighting);
        if (tuning_object != Py_None &&
            !PyArg_ParseTuple(tuning_object, "ddd", &tuning.t0, &tuning.t1, &tuning.t2)) {
            throw PythonErrorSet{};
        }
        const Inputs in(x_object, y_object, w_object);
        const Criterion criterion = parse_criterion(criterion_name);
        const SelectionModel model = model_of(in.positions, d, ridge, eps, normalize);
        const Buffer grid(grid_object, 'd', false, "lam_grid");
        const std::size_t points = lambda_grid_length(grid);
        const double* g = grid.data<double>();
        const std::size_t S = in.series, T = in.positions.length;
        const Buffer z(o[0], 'd', true, "z"), weights(o[1], 'd', true, "weights"),
            lam(o[2], 'd', true, "lam"), edf(o[3], 'd', true, "edf"), sigma2(o[4], 'd', true, "sigma2"),
            status(o[5], 'b', true, "status"), passes(o[6], 'q', true, "iterations"),
            grid_scale(o[7], 'd', true, "grid_scale");
        z.require_shape(S, T);
        weights.require_shape(S, T);
        for (const Buffer* b : {&lam, &edf, &sigma2, &status, &passes, &grid_scale}) {
            b->require_shape(S, std::nullopt);
        }
        const RobustSelectionOptions options{
            {criterion, std::vector<double>(g, g + points), scale_by_weight != 0, true, 1.0, parallel != 0,
             active_kernel()},
            static_cast<std::uint64_t>(iterations),
            *weighting,
            tuning,
            parse_scale_estimator(scale_name),
            tol};
        const RobustSelectionOutputs out{z.data<double>(),
                                         weights.data<double>(),
                                         lam.data<double>(),
                                         edf.data<double>(),
                                         sigma2.data<double>(),
                                         status.data<std::int8_t>(),
                                         passes.data<std::int64_t>(),
                                         grid_scale.data<double>()};
        const SeriesBatch batch = in.batch();
        without_interpreter_lock([&] { robust_selected(model, batch, options, out); });
        Py_RETURN_NONE;
    });
}

PyMethodDef functions[] = {
    {"default_grid", default_grid, METH_VARARGS,
     "default_grid(x, d, eps, normalize) -> list: the default lam grid for weight 1."},
    {"select", select, METH_VARARGS, "Fills the results of tarnwold_tools.select_lambda in place."},
    {"evaluate", evaluate, METH_VARARGS,
     "Fills the results of tarnwold_tools.evaluate_lambda in place (z may be None: the fit is not\n"
     "written); with x_out (and given noise variances) z and se at x_out, and edf .. reml on x unless\n"
     "they are None."},
    {"envelope", envelope, METH_VARARGS, "Fills the results of tarnwold_tools.envelope in place."},
    {"robust", robust, METH_VARARGS,
     "Fills the results of tarnwold_tools.robust with lam chosen by a criterion in place."},
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

// ordinata_frames._native: the distribution functions the covariance types
// need at any degrees of freedom (the core's p_value switches to the normal
// above 30, which the peers do not), from the same Boost.Math policy as the
// core, called once per coefficient; and the passes over the rows of a
// design that the sandwiches make, on the core's row-parallel pool with its
// BLAS held to one thread (numpy's own threaded BLAS slows down by an order
// of magnitude when the cores are oversubscribed).
#include <Python.h>

#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>

#include "linalg/matrix.hpp"
#include "linalg/ops.hpp"
#include "linalg/row_chunks.hpp"
#include "linalg/row_blocks.hpp"
#include "stats/boost_policy.hpp"
#include "frames/buffer.hpp"
#include "frames/dense.hpp"
#include "frames/partitions.hpp"

namespace {

namespace bm = boost::math;
using ordinata::stats::quiet_policy;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Two-sided p-value 2 P(T > |t|); df = inf is the normal distribution.
double t_pvalue(double t, double df) {
    if (std::isnan(t) || std::isnan(df) || df <= 0.0) return kNaN;
    const double a = std::fabs(t);
    if (std::isinf(a)) return 0.0;
    if (std::isinf(df)) return 2.0 * bm::cdf(bm::complement(bm::normal_distribution<double, quiet_policy>(), a));
    return 2.0 * bm::cdf(bm::complement(bm::students_t_distribution<double, quiet_policy>(df), a));
}

// The 1 - alpha/2 quantile, the half-width of a two-sided interval per standard error.
double t_critical(double alpha, double df) {
    if (!(alpha > 0.0 && alpha < 1.0) || std::isnan(df) || df <= 0.0) return kNaN;
    if (std::isinf(df)) return bm::quantile(bm::complement(bm::normal_distribution<double, quiet_policy>(), alpha / 2));
    return bm::quantile(bm::complement(bm::students_t_distribution<double, quiet_policy>(df), alpha / 2));
}

double f_sf(double f, double d1, double d2) {
    if (std::isnan(f) || !(d1 > 0.0) || !(d2 > 0.0)) return kNaN;
    if (f <= 0.0) return 1.0;
    if (std::isinf(f)) return 0.0;
    return bm::cdf(bm::complement(bm::fisher_f_distribution<double, quiet_policy>(d1, d2), f));
}

double chi2_sf(double x, double df) {
    if (std::isnan(x) || !(df > 0.0)) return kNaN;
    if (x <= 0.0) return 1.0;
    if (std::isinf(x)) return 0.0;
    return bm::cdf(bm::complement(bm::chi_squared_distribution<double, quiet_policy>(df), x));
}

template <double (*F)(double, double)>
PyObject* two_args(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "expected 2 arguments");
        return nullptr;
    }
    const double a = PyFloat_AsDouble(args[0]);
    if (a == -1.0 && PyErr_Occurred()) return nullptr;
    const double b = PyFloat_AsDouble(args[1]);
    if (b == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(F(a, b));
}

PyObject* f_sf_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "expected 3 arguments");
        return nullptr;
    }
    double v[3];
    for (int i = 0; i < 3; ++i) {
        v[i] = PyFloat_AsDouble(args[i]);
        if (v[i] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    return PyFloat_FromDouble(f_sf(v[0], v[1], v[2]));
}

namespace la = ordinata::linalg;
using ordinata::frames::Buffer;
using ordinata::frames::run_native;

bool check(bool ok, const char* message) {
    if (!ok) PyErr_SetString(PyExc_ValueError, message);
    return ok;
}

// q = x_i T for one row, T (k x p) row-major.
inline void row_times(const la::MatrixView& x, la::index_t i, const double* t, la::index_t p, double* q) {
    for (la::index_t j = 0; j < p; ++j) q[j] = 0.0;
    for (la::index_t l = 0; l < x.cols(); ++l) {
        const double v = x(i, l);
        const double* tl = t + l * p;
        for (la::index_t j = 0; j < p; ++j) q[j] += v * tl[j];
    }
}

// gram(x, t, s, out): with Q = X T (T None: X itself), out = Q' diag(s)^2 Q
// (s None: Q'Q), written into the caller's C-contiguous p x p array.
PyObject* gram(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "gram(x, t, s, out) takes 4 arguments");
        return nullptr;
    }
    Buffer x, t, s, out;
    const bool times = args[1] != Py_None, scaled = args[2] != Py_None;
    if (!x.get(args[0], 2, false, "x") || (times && !t.get(args[1], 2, false, "t")) ||
        (scaled && !s.get(args[2], 1, false, "s")) || !out.get(args[3], 2, true, "out"))
        return nullptr;
    const la::index_t n = x.dim(0), k = x.dim(1), p = times ? t.dim(1) : k;
    if (!check(!times || (t.dim(0) == k && t.stride(1) == 1 && t.stride(0) == static_cast<la::stride_t>(p)),
               "t must be a C-contiguous k x p array") ||
        !check(!scaled || s.dim(0) == n, "s must have one value per row") ||
        !check(
            out.dim(0) == p && out.dim(1) == p && out.stride(1) == 1 && out.stride(0) == static_cast<la::stride_t>(p),
            "out must be a C-contiguous p x p array"))
        return nullptr;
    const la::MatrixView xv = x.matrix();
    const double* tv = times ? t.data() : nullptr;
    const double* sv = scaled ? s.data() : nullptr;
    const la::stride_t s_stride = scaled ? s.stride(0) : 0;
    return run_native([&] {
        la::Matrix c = la::row_block_gram_upper(n, p, 256, [&](la::index_t first, la::index_t rows, double* dst) {
            for (la::index_t r = 0; r < rows; ++r) {
                double* q = dst + r * p;
                const la::index_t i = first + r;
                if (tv) {
                    row_times(xv, i, tv, p, q);
                } else {
                    for (la::index_t j = 0; j < p; ++j) q[j] = xv(i, j);
                }
                if (sv) {
                    const double si = sv[static_cast<la::stride_t>(i) * s_stride];
                    for (la::index_t j = 0; j < p; ++j) q[j] *= si;
                }
            }
        });
        for (la::index_t a = 0; a < p; ++a)
            for (la::index_t b = a; b < p; ++b) out.data()[a * p + b] = out.data()[b * p + a] = c(a, b);
    });
}

// rows_times(x, t, out): out = X T into the caller's C-contiguous n x p array.
PyObject* rows_times(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "rows_times(x, t, out) takes 3 arguments");
        return nullptr;
    }
    Buffer x, t, out;
    if (!x.get(args[0], 2, false, "x") || !t.get(args[1], 2, false, "t") || !out.get(args[2], 2, true, "out"))
        return nullptr;
    const la::index_t n = x.dim(0), k = x.dim(1), p = t.dim(1);
    if (!check(t.dim(0) == k && t.stride(1) == 1 && t.stride(0) == static_cast<la::stride_t>(p),
               "t must be a C-contiguous k x p array") ||
        !check(
            out.dim(0) == n && out.dim(1) == p && out.stride(1) == 1 && out.stride(0) == static_cast<la::stride_t>(p),
            "out must be a C-contiguous n x p array"))
        return nullptr;
    const la::MatrixView xv = x.matrix();
    const double* tv = t.data();
    double* ov = out.data();
    return run_native([&] {
        const la::RowChunks chunks = la::row_chunks(n, k + p, 1);
        la::for_each_chunk(chunks, [&](std::size_t c) {
            const la::index_t first = chunks.first(c), rows = chunks.size(c, n);
            for (la::index_t r = 0; r < rows; ++r) row_times(xv, first + r, tv, p, ov + (first + r) * p);
        });
    });
}

PyMethodDef methods[] = {
    {"t_pvalue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&two_args<&t_pvalue>)), METH_FASTCALL,
     "t_pvalue(t, df): two-sided p-value of Student's t (df = inf: normal)."},
    {"t_critical", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&two_args<&t_critical>)), METH_FASTCALL,
     "t_critical(alpha, df): the 1 - alpha/2 quantile of Student's t (df = inf: normal)."},
    {"f_sf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&f_sf_py)), METH_FASTCALL,
     "f_sf(f, d1, d2): upper tail of the F distribution."},
    {"chi2_sf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&two_args<&chi2_sf>)), METH_FASTCALL,
     "chi2_sf(x, df): upper tail of the chi-squared distribution."},
    {"gram", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&gram)), METH_FASTCALL,
     "gram(x, t, s, out): out = Q' diag(s)^2 Q with Q = X T (t None: X; s None: no weights)."},
    {"rows_times", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rows_times)), METH_FASTCALL,
     "rows_times(x, t, out): out = X T."},
    ORDINATA_PARTITION_METHODS ORDINATA_DENSE_METHODS{nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ordinata_frames._native",
    "Private distribution functions of ordinata_frames.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModule_Create(&module_def); }

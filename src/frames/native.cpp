// ordinata_frames._native: the distribution functions the covariance types
// need at any degrees of freedom (the core's p_value switches to the normal
// above 30, which the peers do not), from the same Boost.Math policy as the
// core, called once per coefficient; the partition passes (partitions.hpp)
// and the small dense algebra (dense.hpp) are registered here too.
#include <Python.h>

#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>

#include "stats/boost_policy.hpp"
#include "frames/absorb.hpp"
#include "frames/absorb_levels.hpp"
#include "frames/bootstrap.hpp"
#include "frames/dense.hpp"
#include "frames/level_tables.hpp"
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

PyMethodDef methods[] = {
    {"t_pvalue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&two_args<&t_pvalue>)), METH_FASTCALL,
     "t_pvalue(t, df): two-sided p-value of Student's t (df = inf: normal)."},
    {"t_critical", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&two_args<&t_critical>)), METH_FASTCALL,
     "t_critical(alpha, df): the 1 - alpha/2 quantile of Student's t (df = inf: normal)."},
    {"f_sf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&f_sf_py)), METH_FASTCALL,
     "f_sf(f, d1, d2): upper tail of the F distribution."},
    {"chi2_sf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&two_args<&chi2_sf>)), METH_FASTCALL,
     "chi2_sf(x, df): upper tail of the chi-squared distribution."},
    ORDINATA_PARTITION_METHODS ORDINATA_DENSE_METHODS ORDINATA_BOOTSTRAP_METHODS ORDINATA_ABSORB_METHODS
        ORDINATA_ABSORB_LEVELS_METHODS ORDINATA_LEVEL_TABLE_METHODS{nullptr, nullptr, 0, nullptr},
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

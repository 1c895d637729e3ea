#include "frames/dense.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "binding/pyref.hpp"
#include "frames/buffer.hpp"
#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "linalg/tiled_cholesky.hpp"
#include "models/linear/gls/gls.hpp"
#include "models/linear/validation.hpp"

namespace ordinata::frames {

namespace {

using binding::PyRef;
using la::Matrix;
using la::MatrixView;

bool finite(MatrixView a) {
    for (la::index_t i = 0; i < a.rows(); ++i)
        for (la::index_t j = 0; j < a.cols(); ++j)
            if (!std::isfinite(a(i, j))) return false;
    return true;
}

// A new C-ordered float64 array holding m (a vector when asked), as numpy
// makes it.
PyObject* as_array(const Matrix& m, bool vector) {
    const PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    const auto rows = static_cast<Py_ssize_t>(m.rows()), cols = static_cast<Py_ssize_t>(m.cols());
    const PyRef shape = PyRef::steal(vector ? Py_BuildValue("(n)", rows) : Py_BuildValue("(nn)", rows, cols));
    if (!shape) return nullptr;
    PyRef out = PyRef::steal(PyObject_CallMethod(numpy.get(), "empty", "(O)", shape.get()));
    if (!out) return nullptr;
    Buffer dst;
    if (!dst.get(out.get(), vector ? 1 : 2, true, "out")) return nullptr;
    double* data = dst.data();
    for (la::index_t i = 0; i < m.rows(); ++i)
        for (la::index_t j = 0; j < m.cols(); ++j) data[i * m.cols() + j] = m(i, j);
    return out.release();
}

PyObject* not_finite() {
    PyErr_SetString(PyExc_ValueError, models::linear::kNotFinite);
    return nullptr;
}

}  // namespace

PyObject* solve(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 2, "solve")) return nullptr;
    Buffer a, b;
    if (!a.get(args[0], 2, false, "a") || !b.get_vector_or_matrix(args[1], "b")) return nullptr;
    const MatrixView bv = b.matrix();
    const bool vector = b.ndim() == 1;
    const la::index_t n = a.dim(0);
    if (a.dim(1) != n || bv.rows() != n) {
        PyErr_SetString(PyExc_ValueError, "solve: a must be square with as many rows as b");
        return nullptr;
    }
    if (!finite(a.matrix()) || !finite(bv)) return not_finite();
    // A matrix whose exact reciprocal condition is below eps leaves the
    // solution no correct digit: refused as singular, as an exact zero
    // pivot is.
    auto f = la::factor_lu(a.matrix());
    if (!f || !(f->rcond >= std::numeric_limits<double>::epsilon())) {
        PyErr_SetString(PyExc_ValueError, "singular matrix");
        return nullptr;
    }
    Matrix x(n, bv.cols());
    for (la::index_t j = 0; j < bv.cols(); ++j) {
        const la::Vector col = la::factor_solve(*f, bv.col(j));
        for (la::index_t i = 0; i < n; ++i) x(i, j) = col[i];
    }
    return as_array(x, vector);
}

PyObject* r_factor(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 1, "r_factor")) return nullptr;
    Buffer a;
    if (!a.get(args[0], 2, false, "a")) return nullptr;
    const la::index_t m = a.dim(0), n = a.dim(1), k = std::min(m, n);
    const MatrixView av = a.matrix();
    if (!finite(av)) return not_finite();
    // Column-major with LAPACK's leading dimension, factored in place.
    la::Vector buf(std::max<la::index_t>(m, 1) * n), work(la::triangularise_work(n));
    for (la::index_t j = 0; j < n; ++j)
        for (la::index_t i = 0; i < m; ++i) buf[j * m + i] = av(i, j);
    if (!la::triangularise_in_place(buf.data(), m, n, std::max<la::index_t>(m, 1), work.data())) {
        PyErr_SetString(PyExc_RuntimeError, "The QR factorisation failed");
        return nullptr;
    }
    Matrix r(k, n, 0.0);
    for (la::index_t j = 0; j < n; ++j)
        for (la::index_t i = 0; i < std::min(j + 1, k); ++i) r(i, j) = buf[j * m + i];
    return as_array(r, false);
}

PyObject* whiten(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 2, "whiten")) return nullptr;
    Buffer sigma, columns;
    if (!sigma.get(args[0], 2, false, "sigma") || !columns.get_vector_or_matrix(args[1], "columns")) return nullptr;
    const MatrixView cv = columns.matrix();
    const bool vector = columns.ndim() == 1;
    const la::index_t n = sigma.dim(0);
    if (sigma.dim(1) != n || cv.rows() != n) {
        PyErr_SetString(PyExc_ValueError, "whiten: sigma must be square with as many rows as the columns");
        return nullptr;
    }
    if (!finite(cv)) return not_finite();
    std::optional<models::Result<Matrix>> lower;
    std::optional<Matrix> out;
    bool positive = true;
    PyObject* done = run_native([&] {
        // The GLS fit's own reading of Sigma: finite, symmetric up to rounding, its
        // lower triangle copied once; factored as 2^(2s) Sigma where its scale
        // would leave the double range, and the columns taken back by 2^s.
        lower = models::checked_sigma_lower(sigma.matrix());
        if (!*lower) return;
        const int s = models::sigma_scale_exponent(**lower);
        Matrix& f = **lower;
        if (s != 0)
            for (la::index_t i = 0; i < n; ++i)
                for (la::index_t j = 0; j <= i; ++j) f(i, j) = std::ldexp(f(i, j), 2 * s);
        auto l = la::cholesky_tiled_in_place(std::move(f));
        if (!l) {
            positive = false;
            return;
        }
        // One triangular solve for every column at once.
        if (auto w = la::solve_triangular_many(l->view(), la::Triangle::Lower, cv)) {
            if (s != 0)
                for (la::index_t i = 0; i < w->rows(); ++i)
                    for (la::index_t j = 0; j < w->cols(); ++j) (*w)(i, j) = std::ldexp((*w)(i, j), s);
            out = std::move(*w);
        }
    });
    if (!done) return nullptr;
    Py_DECREF(done);
    if (lower && !*lower) return raise(lower->error());
    if (!positive) {
        PyErr_SetString(PyExc_RuntimeError, "Covariance matrix is not positive definite");
        return nullptr;
    }
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "Whitening X failed");
        return nullptr;
    }
    return as_array(*out, vector);
}

PyObject* singular(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 1, "singular")) return nullptr;
    Buffer a;
    if (!a.get(args[0], 2, false, "a")) return nullptr;
    if (!finite(a.matrix())) return not_finite();
    auto svd = la::singular_decomposition(a.matrix());
    if (!svd) {
        PyErr_SetString(PyExc_RuntimeError, "The singular value decomposition failed");
        return nullptr;
    }
    Matrix values(svd->values.size(), 1);
    for (la::index_t i = 0; i < svd->values.size(); ++i) values(i, 0) = svd->values[i];
    const PyRef s = PyRef::steal(as_array(values, true));
    if (!s) return nullptr;
    const PyRef vt = PyRef::steal(as_array(svd->vt, false));
    if (!vt) return nullptr;
    return PyTuple_Pack(2, s.get(), vt.get());
}

}  // namespace ordinata::frames

#include "frames/absorb_levels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "frames/buffer.hpp"
#include "frames/partitions.hpp"
#include "linalg/thread_pool.hpp"
#include "models/linear/validation.hpp"

namespace ordinata::frames {

namespace {

using index_t = la::index_t;

constexpr double kRoundingFloor = 64.0 * std::numeric_limits<double>::epsilon();

// D'WD: the diagonal and the off-diagonal entries by row (both triangles).
struct LevelSystem {
    index_t levels = 0;
    const double* diagonal = nullptr;
    const std::int64_t* indptr = nullptr;
    const std::int64_t* indices = nullptr;
    const double* values = nullptr;
    // The pairs of levels of two factors that rows hold (positions among all levels), and the two.
    const std::int64_t* pair_a = nullptr;
    const std::int64_t* pair_b = nullptr;
    index_t pairs = 0;
    std::size_t first = 0, second = 1;
    // Each factor's first level and one past the last: bounds[f] .. bounds[f + 1].
    std::vector<std::int64_t> bounds;
    double tol = 1e-8;
    long long max_iterations = 10000;
};

struct Outcome {
    long long iterations = 0;
    double change = 0.0;
    bool converged = false;
    bool finite = true;
};

class LevelSolver {
public:
    explicit LevelSolver(const LevelSystem& s) : s_(s) {}

    // Preconditioned conjugate gradients from zero; alpha written.
    Outcome solve(const double* rhs, double spread, double* alpha) {
        Outcome out;
        const auto levels = static_cast<std::size_t>(s_.levels);
        std::fill(alpha, alpha + levels, 0.0);
        for (std::size_t g = 0; g < levels; ++g)
            if (!std::isfinite(rhs[g])) {
                out.finite = false;
                return out;
            }
        if (!(spread > 0.0)) {
            out.converged = true;
            return out;
        }
        const double threshold = std::max(s_.tol, kRoundingFloor) * spread;
        std::vector<double> r(rhs, rhs + levels), z(levels), dir(levels), product(levels);
        double rz = precondition(r.data(), z.data());
        std::copy(z.begin(), z.end(), dir.begin());
        bool small_before = false;
        for (;;) {
            const double curvature = apply(dir.data(), product.data());
            ++out.iterations;
            if (!(curvature > 0.0)) {
                out.change = 0.0;
                break;
            }
            const double a = rz / curvature;
            for (std::size_t g = 0; g < levels; ++g) {
                alpha[g] += a * dir[g];
                r[g] -= a * product[g];
            }
            const double move = std::fabs(a) * largest_row_move(dir.data());
            const bool small = move <= threshold;
            out.change = move / spread;
            if ((small && small_before) || out.iterations >= s_.max_iterations) break;
            small_before = small;
            const double rz_next = precondition(r.data(), z.data());
            const double beta = rz_next / rz;
            rz = rz_next;
            for (std::size_t g = 0; g < levels; ++g) dir[g] = z[g] + beta * dir[g];
        }
        out.converged = out.change * spread <= threshold && (small_before || out.change == 0.0);
        return out;
    }

private:
    double precondition(const double* r, double* z) const {
        double rz = 0.0;
        for (index_t g = 0; g < s_.levels; ++g) {
            z[g] = r[g] / s_.diagonal[g];
            rz += r[g] * z[g];
        }
        return rz;
    }

    // product = D'WD dir; returns dir' D'WD dir.
    double apply(const double* dir, double* product) const {
        double curvature = 0.0;
        for (index_t g = 0; g < s_.levels; ++g) {
            double sum = s_.diagonal[g] * dir[g];
            for (std::int64_t e = s_.indptr[g]; e < s_.indptr[g + 1]; ++e) sum += s_.values[e] * dir[s_.indices[e]];
            product[g] = sum;
            curvature += dir[g] * sum;
        }
        return curvature;
    }

    // A bound on the largest |D dir| of a row, exact over the two factors' pairs.
    double largest_row_move(const double* dir) const {
        const std::size_t factors = s_.bounds.size() - 1;
        double top = 0.0;
        if (factors == 1) {
            for (index_t g = 0; g < s_.levels; ++g) top = std::max(top, std::fabs(dir[g]));
            return top;
        }
        for (index_t i = 0; i < s_.pairs; ++i) top = std::max(top, std::fabs(dir[s_.pair_a[i]] + dir[s_.pair_b[i]]));
        for (std::size_t f = 0; f < factors; ++f) {
            if (f == s_.first || f == s_.second) continue;
            double largest = 0.0;
            for (auto g = s_.bounds[f]; g < s_.bounds[f + 1]; ++g) largest = std::max(largest, std::fabs(dir[g]));
            top += largest;
        }
        return top;
    }

    const LevelSystem& s_;
};

bool read_vector(PyObject* obj, Buffer& b, index_t size, const char* name) {
    if (!b.get(obj, 1, false, name)) return false;
    if (b.dim(0) != size || !b.contiguous()) {
        PyErr_Format(PyExc_ValueError, "absorb_levels: %s must be contiguous with %lld entries", name,
                     static_cast<long long>(size));
        return false;
    }
    return true;
}

bool read_codes(PyObject* obj, Buffer& b, const char* name) {
    if (!b.get_codes(obj, name)) return false;
    if (!b.contiguous()) {
        PyErr_Format(PyExc_ValueError, "absorb_levels: %s must be contiguous", name);
        return false;
    }
    return true;
}

bool read_matrix(PyObject* obj, Buffer& b, bool writable, const char* name) {
    if (!b.get(obj, 2, writable, name)) return false;
    if (b.dim(1) > 1 && b.stride(1) != 1) {
        PyErr_Format(PyExc_ValueError, "absorb_levels: %s must have contiguous rows", name);
        return false;
    }
    return true;
}

// Every index inside the levels, the pairs inside theirs, the bounds increasing to the levels.
bool consistent(const LevelSystem& s, index_t entries) {
    const auto levels = static_cast<std::int64_t>(s.levels);
    if (s.indptr[0] != 0 || s.indptr[s.levels] != static_cast<std::int64_t>(entries)) return false;
    for (index_t g = 0; g < s.levels; ++g)
        if (s.indptr[g] > s.indptr[g + 1] || !(s.diagonal[g] > 0.0) || !std::isfinite(s.diagonal[g])) return false;
    for (index_t e = 0; e < entries; ++e)
        if (s.indices[e] < 0 || s.indices[e] >= levels || !std::isfinite(s.values[e])) return false;
    if (s.bounds.front() != 0 || s.bounds.back() != levels) return false;
    for (std::size_t f = 0; f + 1 < s.bounds.size(); ++f)
        if (s.bounds[f] >= s.bounds[f + 1]) return false;
    const std::size_t factors = s.bounds.size() - 1;
    if (factors > 1) {
        if (s.first >= s.second || s.second >= factors) return false;
        for (index_t i = 0; i < s.pairs; ++i)
            if (s.pair_a[i] < s.bounds[s.first] || s.pair_a[i] >= s.bounds[s.first + 1] ||
                s.pair_b[i] < s.bounds[s.second] || s.pair_b[i] >= s.bounds[s.second + 1])
                return false;
    }
    return true;
}

}  // namespace

PyObject* absorb_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 14, "absorb_levels")) return nullptr;
    Buffer rhs, effects, diagonal, indptr, indices, values, pair_a, pair_b, bounds, spreads;
    if (!read_matrix(args[0], rhs, false, "rhs") || !read_matrix(args[1], effects, true, "effects")) return nullptr;
    LevelSystem s;
    s.levels = rhs.dim(1);
    const index_t c = rhs.dim(0);
    if (effects.dim(0) != c || effects.dim(1) != s.levels || s.levels < 1) {
        PyErr_SetString(PyExc_ValueError, "absorb_levels: rhs and effects must both be (columns, levels)");
        return nullptr;
    }
    if (!read_vector(args[2], diagonal, s.levels, "diagonal") || !read_codes(args[3], indptr, "indptr") ||
        !read_codes(args[4], indices, "indices") || !read_codes(args[6], pair_a, "pair_a") ||
        !read_codes(args[7], pair_b, "pair_b") || !read_codes(args[8], bounds, "bounds") ||
        !read_vector(args[9], spreads, c, "spreads"))
        return nullptr;
    if (!read_vector(args[5], values, indices.dim(0), "values")) return nullptr;
    if (indptr.dim(0) != s.levels + 1 || pair_a.dim(0) != pair_b.dim(0) || bounds.dim(0) < 2) {
        PyErr_SetString(PyExc_ValueError, "absorb_levels: indptr needs levels + 1 entries, the pairs one length");
        return nullptr;
    }
    s.diagonal = diagonal.data();
    s.indptr = indptr.codes();
    s.indices = indices.codes();
    s.values = values.data();
    s.pair_a = pair_a.codes();
    s.pair_b = pair_b.codes();
    s.pairs = pair_a.dim(0);
    s.bounds.assign(bounds.codes(), bounds.codes() + bounds.dim(0));
    const long long first = PyLong_AsLongLong(args[10]), second = PyLong_AsLongLong(args[11]);
    s.tol = PyFloat_AsDouble(args[12]);
    s.max_iterations = PyLong_AsLongLong(args[13]);
    if (PyErr_Occurred()) return nullptr;
    if (first < 0 || second < 0) {
        PyErr_SetString(PyExc_ValueError, "absorb_levels: the pair's factors must be non-negative");
        return nullptr;
    }
    s.first = static_cast<std::size_t>(first);
    s.second = static_cast<std::size_t>(second);
    if (!(s.tol > 0.0 && s.tol < 1.0) || s.max_iterations < 1) {
        PyErr_SetString(PyExc_ValueError, "absorb_levels: tol must lie in (0, 1) and max_iterations be at least 1");
        return nullptr;
    }
    if (!consistent(s, indices.dim(0))) {
        PyErr_SetString(PyExc_ValueError,
                        "absorb_levels: an index lies outside the levels, a level has no weight, or the bounds do "
                        "not split the levels");
        return nullptr;
    }
    std::vector<Outcome> outcomes(static_cast<std::size_t>(c));
    PyObject* done = run_native([&] {
        linalg::parallel_for(
            static_cast<std::size_t>(c),
            [&](std::size_t j) {
                LevelSolver solver(s);
                const auto row = static_cast<la::stride_t>(j);
                outcomes[j] = solver.solve(rhs.data() + row * rhs.stride(0), spreads.data()[j],
                                           effects.data() + row * effects.stride(0));
            },
            false);
    });
    if (!done) return nullptr;
    Py_DECREF(done);
    Outcome worst;
    worst.converged = true;
    for (const Outcome& o : outcomes) {
        if (!o.finite) {
            PyErr_SetString(PyExc_ValueError, models::linear::kNotFinite);
            return nullptr;
        }
        worst.converged = worst.converged && o.converged;
        worst.iterations = std::max(worst.iterations, o.iterations);
        worst.change = std::max(worst.change, o.change);
    }
    return Py_BuildValue("(OLd)", worst.converged ? Py_True : Py_False, worst.iterations, worst.change);
}

}  // namespace ordinata::frames

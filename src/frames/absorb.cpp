#include "frames/absorb.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "frames/buffer.hpp"
#include "frames/partitions.hpp"
#include "linalg/thread_pool.hpp"
#include "models/linear/validation.hpp"

namespace ordinata::frames {

namespace {

using index_t = la::index_t;

constexpr double kRoundingFloor = 64.0 * std::numeric_limits<double>::epsilon();

struct Factor {
    const std::int64_t* codes = nullptr;
    index_t levels = 0;
    index_t offset = 0;                  // of its effects among all the factors'
    std::vector<double> inverse_weight;  // 1 / the weight of each level
};

struct Problem {
    index_t n = 0;
    const double* w = nullptr;  // none: every row weighs one
    std::vector<Factor> factors;
    index_t total_levels = 0;
    // Row by row, the position of each factor's level among all the levels: the
    // passes read them in order.
    std::vector<std::uint32_t> positions;
    double tol = 1e-8;
    long long max_iterations = 10000;

    double weight(index_t i) const { return w ? w[i] : 1.0; }
};

struct Outcome {
    long long iterations = 0;
    double change = 0.0;  // the last iteration's largest move, relative to the spread
    bool converged = false;
    bool finite = true;
};

// The weight of each level of a factor; false where a code lies outside
// its levels or a level has no weight.
bool weigh_levels(const Problem& p, Factor& f) {
    std::vector<double> total(static_cast<std::size_t>(f.levels), 0.0);
    for (index_t i = 0; i < p.n; ++i) {
        const std::int64_t g = f.codes[i];
        if (g < 0 || static_cast<index_t>(g) >= f.levels) return false;
        total[static_cast<std::size_t>(g)] += p.weight(i);
    }
    f.inverse_weight.resize(total.size());
    for (std::size_t g = 0; g < total.size(); ++g) {
        if (!(total[g] > 0.0)) return false;
        f.inverse_weight[g] = 1.0 / total[g];
    }
    return true;
}

// The demeaning of one column: its own buffers, so that columns run on
// separate threads.
class ColumnSolver {
public:
    explicit ColumnSolver(const Problem& p) : p_(p) {}

    // Conjugate gradients on the normal equations D'WD alpha = D'W x of the effects,
    // preconditioned by their diagonal (the levels' weights). One iteration is one
    // pass over the rows: q = D p gathered, D'W q scattered.
    // x: the column, projected in place; alpha: its effects, added to.
    Outcome solve(double* x, double* alpha) {
        Outcome out;
        const index_t n = p_.n;
        for (index_t i = 0; i < n; ++i)
            if (!std::isfinite(x[i])) {
                out.finite = false;
                return out;
            }
        const double spread = centre(x, alpha);
        if (spread == 0.0) {
            out.converged = true;
            return out;
        }
        const double threshold = std::max(p_.tol, kRoundingFloor) * spread;
        const auto levels = static_cast<std::size_t>(p_.total_levels);
        std::vector<double> step(levels, 0.0), r(levels, 0.0), z(levels), dir(levels), product(levels);
        level_sums(x, r.data());
        double rz = precondition(r.data(), z.data());
        std::copy(z.begin(), z.end(), dir.begin());
        bool small_before = false;
        for (;;) {
            double largest = 0.0;
            const double curvature = apply(dir.data(), product.data(), largest);
            ++out.iterations;
            if (!(curvature > 0.0)) {  // the column already projected
                out.change = 0.0;
                break;
            }
            const double a = rz / curvature;
            for (std::size_t g = 0; g < levels; ++g) {
                step[g] += a * dir[g];
                r[g] -= a * product[g];
            }
            // Two small moves in a row: CG's steps need not shrink steadily.
            const bool small = std::fabs(a) * largest <= threshold;
            out.change = std::fabs(a) * largest / spread;
            if ((small && small_before) || out.iterations >= p_.max_iterations) break;
            small_before = small;
            const double rz_next = precondition(r.data(), z.data());
            const double beta = rz_next / rz;
            rz = rz_next;
            for (std::size_t g = 0; g < levels; ++g) dir[g] = z[g] + beta * dir[g];
        }
        out.converged = out.change * spread <= threshold && (small_before || out.change == 0.0);
        // x less D step, and the step added to the effects.
        const std::size_t count = p_.factors.size();
        for (index_t i = 0; i < n; ++i) {
            double d = 0.0;
            for (std::size_t f = 0; f < count; ++f) d += step[p_.positions[i * count + f]];
            x[i] -= d;
        }
        for (std::size_t g = 0; g < levels; ++g) alpha[g] += step[g];
        return out;
    }

private:
    // D'W x: per factor, the weighted sums of x in each level.
    void level_sums(const double* x, double* sums) const {
        for (const Factor& f : p_.factors)
            for (index_t i = 0; i < p_.n; ++i) sums[f.offset + static_cast<index_t>(f.codes[i])] += p_.weight(i) * x[i];
    }

    // z = M^-1 r for M the levels' weights; r'z.
    double precondition(const double* r, double* z) const {
        double rz = 0.0;
        for (const Factor& f : p_.factors)
            for (index_t g = 0; g < f.levels; ++g) {
                z[f.offset + g] = r[f.offset + g] * f.inverse_weight[static_cast<std::size_t>(g)];
                rz += r[f.offset + g] * z[f.offset + g];
            }
        return rz;
    }

    // product = D'W D dir in one pass over the rows; returns dir' D'W D dir, and the
    // largest |D dir| of a row in `largest`.
    double apply(const double* dir, double* product, double& largest) const {
        switch (p_.factors.size()) {
            case 1:
                return apply_fixed<1>(dir, product, largest);
            case 2:
                return apply_fixed<2>(dir, product, largest);
            case 3:
                return apply_fixed<3>(dir, product, largest);
            default:
                return apply_fixed<0>(dir, product, largest);
        }
    }

    // The pass of apply over the rows' level positions (F factors, 0: as many as there are).
    template <std::size_t F>
    double apply_fixed(const double* dir, double* product, double& largest) const {
        std::fill(product, product + p_.total_levels, 0.0);
        const std::size_t count = F ? F : p_.factors.size();
        const std::uint32_t* at = p_.positions.data();
        double curvature = 0.0, top = 0.0;
        for (index_t i = 0; i < p_.n; ++i, at += count) {
            double q = 0.0;
            for (std::size_t f = 0; f < count; ++f) q += dir[at[f]];
            const double wq = p_.weight(i) * q;
            for (std::size_t f = 0; f < count; ++f) product[at[f]] += wq;
            curvature += wq * q;
            top = std::max(top, std::fabs(q));
        }
        largest = top;
        return curvature;
    }

    // The column less its weighted mean (taken against its first value, so
    // that an offset costs no digit), the mean given to the first factor's
    // effects; the largest deviation left.
    double centre(double* x, double* alpha) const {
        const index_t n = p_.n;
        if (n == 0) return 0.0;
        const double pivot = x[0];
        double sum = 0.0, total = 0.0;
        for (index_t i = 0; i < n; ++i) {
            sum += p_.weight(i) * (x[i] - pivot);
            total += p_.weight(i);
        }
        const double mean = pivot + sum / total;
        double spread = 0.0;
        for (index_t i = 0; i < n; ++i) {
            x[i] -= mean;
            spread = std::max(spread, std::fabs(x[i]));
        }
        const Factor& first = p_.factors.front();
        for (index_t g = 0; g < first.levels; ++g) alpha[first.offset + g] += mean;
        return spread;
    }

    const Problem& p_;
};

// The factors' codes and levels from Python: int64 codes, one per row each.
bool read_factors(PyObject* codes, PyObject* levels, index_t n, std::vector<Buffer>& buffers, Problem& p) {
    if (!PyList_Check(codes) || !PyList_Check(levels) || PyList_GET_SIZE(codes) != PyList_GET_SIZE(levels) ||
        PyList_GET_SIZE(codes) == 0) {
        PyErr_SetString(PyExc_ValueError, "absorb: codes and levels must be lists of one entry per factor");
        return false;
    }
    const Py_ssize_t count = PyList_GET_SIZE(codes);
    buffers = std::vector<Buffer>(static_cast<std::size_t>(count));
    for (Py_ssize_t f = 0; f < count; ++f) {
        Buffer& b = buffers[static_cast<std::size_t>(f)];
        if (!b.get_codes(PyList_GET_ITEM(codes, f), "codes")) return false;
        const long long levels_f = PyLong_AsLongLong(PyList_GET_ITEM(levels, f));
        if (PyErr_Occurred()) return false;
        if (b.dim(0) != n || !b.contiguous() || levels_f < 1) {
            PyErr_SetString(PyExc_ValueError, "absorb: each factor needs contiguous codes, one per row, and a level");
            return false;
        }
        Factor factor;
        factor.codes = b.codes();
        factor.levels = static_cast<index_t>(levels_f);
        factor.offset = p.total_levels;
        p.total_levels += factor.levels;
        p.factors.push_back(std::move(factor));
    }
    return true;
}

// A float64 matrix whose rows are contiguous, written in place.
bool read_rows(PyObject* obj, Buffer& b, const char* name) {
    if (!b.get(obj, 2, true, name)) return false;
    if (b.dim(1) > 1 && b.stride(1) != 1) {
        PyErr_Format(PyExc_ValueError, "absorb: %s must have contiguous rows", name);
        return false;
    }
    return true;
}

}  // namespace

PyObject* absorb(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 7, "absorb")) return nullptr;
    Buffer columns, effects, weights;
    if (!read_rows(args[0], columns, "columns") || !read_rows(args[1], effects, "effects")) return nullptr;
    Problem p;
    p.n = columns.dim(1);
    std::vector<Buffer> code_buffers;
    if (!read_factors(args[2], args[3], p.n, code_buffers, p)) return nullptr;
    const index_t c = columns.dim(0);
    if (effects.dim(0) != c || effects.dim(1) != p.total_levels) {
        PyErr_SetString(PyExc_ValueError, "absorb: effects must be (columns, sum of the levels)");
        return nullptr;
    }
    if (args[4] != Py_None) {
        if (!weights.get(args[4], 1, false, "w")) return nullptr;
        if (weights.dim(0) != p.n || !weights.contiguous()) {
            PyErr_SetString(PyExc_ValueError, "absorb: w must be contiguous with one weight per row");
            return nullptr;
        }
        p.w = weights.data();
    }
    p.tol = PyFloat_AsDouble(args[5]);
    p.max_iterations = PyLong_AsLongLong(args[6]);
    if (PyErr_Occurred()) return nullptr;
    if (p.total_levels >= std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "absorb: the factors have more than 2^32 levels together");
        return nullptr;
    }
    if (!(p.tol > 0.0 && p.tol < 1.0) || p.max_iterations < 1) {
        PyErr_SetString(PyExc_ValueError, "absorb: tol must lie in (0, 1) and max_iterations be at least 1");
        return nullptr;
    }
    if (p.w)
        for (index_t i = 0; i < p.n; ++i)
            if (!(p.w[i] > 0.0) || !std::isfinite(p.w[i])) {
                PyErr_SetString(PyExc_ValueError, "All weights must be positive and finite");
                return nullptr;
            }

    bool levels_ok = true;
    std::vector<Outcome> outcomes(static_cast<std::size_t>(c));
    PyObject* done = run_native([&] {
        for (Factor& f : p.factors) levels_ok = levels_ok && weigh_levels(p, f);
        if (!levels_ok) return;
        const std::size_t count = p.factors.size();
        p.positions.resize(static_cast<std::size_t>(p.n) * count);
        for (std::size_t f = 0; f < count; ++f)
            for (index_t i = 0; i < p.n; ++i)
                p.positions[i * count + f] = static_cast<std::uint32_t>(p.factors[f].offset + p.factors[f].codes[i]);
        linalg::parallel_for(
            static_cast<std::size_t>(c),
            [&](std::size_t j) {
                ColumnSolver solver(p);
                const auto row = static_cast<la::stride_t>(j);
                outcomes[j] =
                    solver.solve(columns.data() + row * columns.stride(0), effects.data() + row * effects.stride(0));
            },
            false);
    });
    if (!done) return nullptr;
    Py_DECREF(done);
    if (!levels_ok) {
        PyErr_SetString(PyExc_ValueError, "absorb: a factor code lies outside its levels, or a level has no row");
        return nullptr;
    }
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

PyObject* absorb_components(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 4, "absorb_components")) return nullptr;
    Buffer a, b;
    if (!a.get_codes(args[0], "codes_a") || !b.get_codes(args[1], "codes_b")) return nullptr;
    const long long la = PyLong_AsLongLong(args[2]), lb = PyLong_AsLongLong(args[3]);
    if (PyErr_Occurred()) return nullptr;
    const index_t n = a.dim(0);
    if (b.dim(0) != n || !a.contiguous() || !b.contiguous() || la < 1 || lb < 1) {
        PyErr_SetString(PyExc_ValueError, "absorb_components: two contiguous code arrays of one length, and levels");
        return nullptr;
    }
    const auto nodes = static_cast<std::size_t>(la + lb);
    std::vector<std::int64_t> parent(nodes), label(nodes, -1);
    bool inside = true;
    std::int64_t count = 0;
    PyObject* done = run_native([&] {
        std::iota(parent.begin(), parent.end(), std::int64_t{0});
        const auto root = [&](std::int64_t v) {
            while (parent[static_cast<std::size_t>(v)] != v) {
                auto& up = parent[static_cast<std::size_t>(v)];
                up = parent[static_cast<std::size_t>(up)];  // path halving
                v = up;
            }
            return v;
        };
        const std::int64_t* ca = a.codes();
        const std::int64_t* cb = b.codes();
        for (index_t i = 0; i < n; ++i) {
            if (ca[i] < 0 || ca[i] >= la || cb[i] < 0 || cb[i] >= lb) {
                inside = false;
                return;
            }
            const std::int64_t x = root(ca[i]), y = root(la + cb[i]);
            if (x != y) parent[static_cast<std::size_t>(std::max(x, y))] = std::min(x, y);
        }
        // Components numbered in the order of their first level.
        for (std::size_t v = 0; v < nodes; ++v) {
            const auto r = static_cast<std::size_t>(root(static_cast<std::int64_t>(v)));
            if (label[r] < 0) label[r] = count++;
            label[v] = label[r];
        }
    });
    if (!done) return nullptr;
    Py_DECREF(done);
    if (!inside) {
        PyErr_SetString(PyExc_ValueError, "absorb_components: a code lies outside its levels");
        return nullptr;
    }
    PyObject* labels = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(label.data()),
                                                 static_cast<Py_ssize_t>(nodes * sizeof(std::int64_t)));
    if (!labels) return nullptr;
    return Py_BuildValue("(LN)", static_cast<long long>(count), labels);
}

}  // namespace ordinata::frames

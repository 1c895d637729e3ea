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
    double tol = 1e-8;
    long long max_sweeps = 10000;

    double weight(index_t i) const { return w ? w[i] : 1.0; }
};

struct Outcome {
    long long sweeps = 0;
    double change = 0.0;  // the last sweep's largest move, relative to the spread
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
    explicit ColumnSolver(const Problem& p) : p_(p) {
        index_t widest = 0;
        for (const Factor& f : p.factors) widest = std::max(widest, f.levels);
        means_.resize(static_cast<std::size_t>(widest));
        sums_.resize(static_cast<std::size_t>(widest));
    }

    // x: the column, demeaned in place; alpha: its effects, added to.
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
        std::vector<double> gx(static_cast<std::size_t>(n)), ggx(gx.size());
        std::vector<double> alpha_g(levels), alpha_gg(levels);
        for (;;) {
            std::copy(x, x + n, gx.begin());
            std::copy(alpha, alpha + levels, alpha_g.begin());
            sweep(gx.data(), alpha_g.data());
            ++out.sweeps;
            out.change = largest_move(x, gx.data()) / spread;
            if (out.change * spread <= threshold || out.sweeps >= p_.max_sweeps) {
                std::copy(gx.begin(), gx.end(), x);
                std::copy(alpha_g.begin(), alpha_g.end(), alpha);
                out.converged = out.change * spread <= threshold;
                return out;
            }
            std::copy(gx.begin(), gx.end(), ggx.begin());
            std::copy(alpha_g.begin(), alpha_g.end(), alpha_gg.begin());
            sweep(ggx.data(), alpha_gg.data());
            ++out.sweeps;
            out.change = largest_move(gx.data(), ggx.data()) / spread;
            if (out.change * spread <= threshold || out.sweeps >= p_.max_sweeps) {
                std::copy(ggx.begin(), ggx.end(), x);
                std::copy(alpha_gg.begin(), alpha_gg.end(), alpha);
                out.converged = out.change * spread <= threshold;
                return out;
            }
            extrapolate(x, alpha, gx.data(), ggx.data(), alpha_g.data(), alpha_gg.data());
        }
    }

private:
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

    // Every factor in turn: the weighted level means subtracted and added to
    // the effects. The subtraction of one factor's means and the sums of the
    // next share their pass over the rows.
    void sweep(double* x, double* alpha) {
        const index_t n = p_.n;
        const std::size_t count = p_.factors.size();
        accumulate_first(x);
        for (std::size_t f = 0; f < count; ++f) {
            const Factor& here = p_.factors[f];
            for (index_t g = 0; g < here.levels; ++g) {
                const auto s = static_cast<std::size_t>(g);
                means_[s] = sums_[s] * here.inverse_weight[s];
                alpha[here.offset + g] += means_[s];
            }
            const std::int64_t* codes = here.codes;
            if (f + 1 == count) {
                for (index_t i = 0; i < n; ++i) x[i] -= means_[static_cast<std::size_t>(codes[i])];
                break;
            }
            const Factor& next = p_.factors[f + 1];
            std::fill(sums_.begin(), sums_.begin() + next.levels, 0.0);
            const std::int64_t* next_codes = next.codes;
            if (p_.w) {
                for (index_t i = 0; i < n; ++i) {
                    x[i] -= means_[static_cast<std::size_t>(codes[i])];
                    sums_[static_cast<std::size_t>(next_codes[i])] += p_.w[i] * x[i];
                }
            } else {
                for (index_t i = 0; i < n; ++i) {
                    x[i] -= means_[static_cast<std::size_t>(codes[i])];
                    sums_[static_cast<std::size_t>(next_codes[i])] += x[i];
                }
            }
        }
    }

    void accumulate_first(const double* x) {
        const Factor& first = p_.factors.front();
        std::fill(sums_.begin(), sums_.begin() + first.levels, 0.0);
        for (index_t i = 0; i < p_.n; ++i) sums_[static_cast<std::size_t>(first.codes[i])] += p_.weight(i) * x[i];
    }

    double largest_move(const double* before, const double* after) const {
        double move = 0.0;
        for (index_t i = 0; i < p_.n; ++i) move = std::max(move, std::fabs(after[i] - before[i]));
        return move;
    }

    // Irons and Tuck's step from x, Gx and GGx, written into x and alpha.
    void extrapolate(double* x, double* alpha, const double* gx, const double* ggx, const double* alpha_g,
                     const double* alpha_gg) const {
        double num = 0.0, den = 0.0;
        for (index_t i = 0; i < p_.n; ++i) {
            const double d_g = ggx[i] - gx[i], d2 = ggx[i] - 2.0 * gx[i] + x[i];
            num += p_.weight(i) * d_g * d2;
            den += p_.weight(i) * d2 * d2;
        }
        const double coef = den > 0.0 ? num / den : 0.0;
        for (index_t i = 0; i < p_.n; ++i) x[i] = ggx[i] - coef * (ggx[i] - gx[i]);
        for (index_t g = 0; g < p_.total_levels; ++g) alpha[g] = alpha_gg[g] - coef * (alpha_gg[g] - alpha_g[g]);
    }

    const Problem& p_;
    std::vector<double> means_, sums_;
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
    p.max_sweeps = PyLong_AsLongLong(args[6]);
    if (PyErr_Occurred()) return nullptr;
    if (!(p.tol > 0.0 && p.tol < 1.0) || p.max_sweeps < 1) {
        PyErr_SetString(PyExc_ValueError, "absorb: tol must lie in (0, 1) and max_sweeps be at least 1");
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
        worst.sweeps = std::max(worst.sweeps, o.sweeps);
        worst.change = std::max(worst.change, o.change);
    }
    return Py_BuildValue("(OLd)", worst.converged ? Py_True : Py_False, worst.sweeps, worst.change);
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

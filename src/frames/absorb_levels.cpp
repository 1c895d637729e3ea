#include "frames/absorb_levels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "frames/buffer.hpp"
#include "frames/conjugate_gradients.hpp"
#include "frames/partitions.hpp"
#include "linalg/thread_pool.hpp"
#include "models/linear/validation.hpp"

namespace ordinata::frames {

namespace {

using index_t = la::index_t;

// One off-diagonal entry of D'WD: two levels (positions among all levels) and
// the weight of the rows holding both.
struct Entry {
    std::uint32_t a = 0, b = 0;
    double weight = 0.0;
};

// D'WD: the diagonal and the entries above it, those of the stopping rule's
// pair of factors first.
struct LevelSystem {
    index_t levels = 0;
    const double* diagonal = nullptr;
    std::vector<Entry> entries;
    std::size_t pair_entries = 0;  // entries[0, pair_entries): the pair's
    std::size_t first = 0, second = 1;
    // Each factor's first level and one past the last: bounds[f] .. bounds[f + 1].
    std::vector<std::int64_t> bounds;
    double tol = 1e-8;
    long long max_iterations = 10000;

    std::size_t factor_of(std::int64_t position) const {
        return static_cast<std::size_t>(std::upper_bound(bounds.begin(), bounds.end(), position) - bounds.begin()) - 1;
    }
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
        std::vector<double> r(rhs, rhs + levels);
        const auto apply_bounded = [&](const double* dir, double* product, double& largest) {
            double pair_move = 0.0;
            const double curvature = apply(dir, product, pair_move);
            largest = largest_row_move(dir, pair_move);
            return curvature;
        };
        conjugate_gradients(
            std::span<double>(alpha, levels), r, threshold, spread, s_.max_iterations, out,
            [&](const double* v, double* z) { return precondition(v, z); }, apply_bounded, never_give_up);
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

    // product = D'WD dir in one pass over the entries; returns dir' D'WD dir, and in
    // `pair_move` the largest |dir_a + dir_b| over the pair's entries.
    double apply(const double* dir, double* product, double& pair_move) const {
        for (index_t g = 0; g < s_.levels; ++g) product[g] = s_.diagonal[g] * dir[g];
        double top = 0.0;
        const Entry* e = s_.entries.data();
        for (std::size_t i = 0; i < s_.pair_entries; ++i, ++e) {
            product[e->a] += e->weight * dir[e->b];
            product[e->b] += e->weight * dir[e->a];
            top = std::max(top, std::fabs(dir[e->a] + dir[e->b]));
        }
        for (std::size_t i = s_.pair_entries; i < s_.entries.size(); ++i, ++e) {
            product[e->a] += e->weight * dir[e->b];
            product[e->b] += e->weight * dir[e->a];
        }
        pair_move = top;
        double curvature = 0.0;
        for (index_t g = 0; g < s_.levels; ++g) curvature += dir[g] * product[g];
        return curvature;
    }

    // A bound on the largest |D dir| of a row: exact over the pair's entries, each further
    // factor adding its largest move.
    double largest_row_move(const double* dir, double pair_move) const {
        const std::size_t factors = s_.bounds.size() - 1;
        double top = 0.0;
        if (factors == 1) {
            for (index_t g = 0; g < s_.levels; ++g) top = std::max(top, std::fabs(dir[g]));
            return top;
        }
        top = pair_move;
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

// The levels' weights positive, the bounds increasing to the levels, the pair of factors among them.
bool consistent(const LevelSystem& s) {
    for (index_t g = 0; g < s.levels; ++g)
        if (!(s.diagonal[g] > 0.0) || !std::isfinite(s.diagonal[g])) return false;
    if (s.bounds.front() != 0 || s.bounds.back() != static_cast<std::int64_t>(s.levels)) return false;
    for (std::size_t f = 0; f + 1 < s.bounds.size(); ++f)
        if (s.bounds[f] >= s.bounds[f + 1]) return false;
    const std::size_t factors = s.bounds.size() - 1;
    return factors == 1 || (s.first < s.second && s.second < factors);
}

// The entries from the pairs (two levels of different factors, a finite weight), the stopping
// rule's pair's first; false where a level lies outside the levels or a pair within one factor.
bool gather_entries(LevelSystem& s, const std::int64_t* a, const std::int64_t* b, const double* w, index_t count) {
    const auto levels = static_cast<std::int64_t>(s.levels);
    std::vector<std::uint8_t> in_pair(static_cast<std::size_t>(count), 0);
    for (index_t i = 0; i < count; ++i) {
        if (a[i] < 0 || a[i] >= levels || b[i] < 0 || b[i] >= levels || !std::isfinite(w[i])) return false;
        const std::size_t fa = s.factor_of(a[i]), fb = s.factor_of(b[i]);
        if (fa == fb) return false;
        in_pair[i] = std::min(fa, fb) == s.first && std::max(fa, fb) == s.second;
        s.pair_entries += in_pair[i];
    }
    s.entries.resize(static_cast<std::size_t>(count));
    std::size_t pair_at = 0, rest_at = s.pair_entries;
    for (index_t i = 0; i < count; ++i) {
        Entry& e = s.entries[in_pair[i] ? pair_at++ : rest_at++];
        e = {static_cast<std::uint32_t>(a[i]), static_cast<std::uint32_t>(b[i]), w[i]};
    }
    return true;
}

}  // namespace

PyObject* absorb_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 12, "absorb_levels")) return nullptr;
    Buffer rhs, effects, diagonal, pair_a, pair_b, pair_w, bounds, spreads;
    if (!read_matrix(args[0], rhs, false, "rhs") || !read_matrix(args[1], effects, true, "effects")) return nullptr;
    LevelSystem s;
    s.levels = rhs.dim(1);
    const index_t c = rhs.dim(0);
    if (effects.dim(0) != c || effects.dim(1) != s.levels || s.levels < 1) {
        PyErr_SetString(PyExc_ValueError, "absorb_levels: rhs and effects must both be (columns, levels)");
        return nullptr;
    }
    if (s.levels >= std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "absorb_levels: the factors have more than 2^32 levels together");
        return nullptr;
    }
    if (!read_vector(args[2], diagonal, s.levels, "diagonal") || !read_codes(args[3], pair_a, "pair_a") ||
        !read_codes(args[4], pair_b, "pair_b") || !read_codes(args[6], bounds, "bounds") ||
        !read_vector(args[7], spreads, c, "spreads"))
        return nullptr;
    if (!read_vector(args[5], pair_w, pair_a.dim(0), "pair_w")) return nullptr;
    if (pair_b.dim(0) != pair_a.dim(0) || bounds.dim(0) < 2) {
        PyErr_SetString(PyExc_ValueError, "absorb_levels: the pairs need one length, the bounds two entries");
        return nullptr;
    }
    s.diagonal = diagonal.data();
    s.bounds.assign(bounds.codes(), bounds.codes() + bounds.dim(0));
    const long long first = PyLong_AsLongLong(args[8]), second = PyLong_AsLongLong(args[9]);
    s.tol = PyFloat_AsDouble(args[10]);
    s.max_iterations = PyLong_AsLongLong(args[11]);
    if (PyErr_Occurred()) return nullptr;
    if (!(s.tol > 0.0 && s.tol < 1.0) || s.max_iterations < 1 || first < 0 || second < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "absorb_levels: tol must lie in (0, 1), max_iterations be at least 1 and the pair's "
                        "factors non-negative");
        return nullptr;
    }
    s.first = static_cast<std::size_t>(first);
    s.second = static_cast<std::size_t>(second);
    bool entries_ok = consistent(s);
    std::vector<Outcome> outcomes(static_cast<std::size_t>(c));
    PyObject* done = run_native([&] {
        entries_ok = entries_ok && gather_entries(s, pair_a.codes(), pair_b.codes(), pair_w.data(), pair_a.dim(0));
        if (!entries_ok) return;
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
    if (!entries_ok) {
        PyErr_SetString(PyExc_ValueError,
                        "absorb_levels: a level lies outside the levels, a pair within one factor, a level has no "
                        "weight, or the bounds do not split the levels");
        return nullptr;
    }
    const std::optional<Outcome> worst = worst_of(outcomes);
    if (!worst) {
        PyErr_SetString(PyExc_ValueError, models::linear::kNotFinite);
        return nullptr;
    }
    return Py_BuildValue("(OLd)", worst->converged ? Py_True : Py_False, worst->iterations, worst->change);
}

namespace {

// Whether the keys rise strictly.
bool strictly_rising(const std::int64_t* keys, index_t n) {
    for (index_t i = 1; i < n; ++i)
        if (!(keys[i - 1] < keys[i])) return false;
    return true;
}

// The union of two strictly rising key lists, the weights of a key in both
// summed (a's first), into out_keys/out_weights of room for both; the count.
std::size_t merge_rising(const std::int64_t* ka, const double* wa, std::size_t na, const std::int64_t* kb,
                         const double* wb, std::size_t nb, std::int64_t* out_keys, double* out_weights) {
    std::size_t i = 0, j = 0, n = 0;
    while (i < na && j < nb) {
        if (ka[i] < kb[j]) {
            out_keys[n] = ka[i];
            out_weights[n++] = wa[i++];
        } else if (kb[j] < ka[i]) {
            out_keys[n] = kb[j];
            out_weights[n++] = wb[j++];
        } else {
            out_keys[n] = ka[i];
            out_weights[n++] = wa[i++] + wb[j++];
        }
    }
    for (; i < na; ++i, ++n) out_keys[n] = ka[i], out_weights[n] = wa[i];
    for (; j < nb; ++j, ++n) out_keys[n] = kb[j], out_weights[n] = wb[j];
    return n;
}

bool read_pairs(PyObject* keys, PyObject* weights, Buffer& k, Buffer& w, const char* kname, const char* wname) {
    if (!read_codes(keys, k, kname)) return false;
    if (!w.get(weights, 1, false, wname)) return false;
    if (w.dim(0) != k.dim(0) || !w.contiguous()) {
        PyErr_Format(PyExc_ValueError, "merge_pairs: %s must be contiguous with one weight per key", wname);
        return false;
    }
    return true;
}

}  // namespace

PyObject* merge_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 4, "merge_pairs")) return nullptr;
    Buffer ka, wa, kb, wb;
    if (!read_pairs(args[0], args[1], ka, wa, "keys_a", "weights_a") ||
        !read_pairs(args[2], args[3], kb, wb, "keys_b", "weights_b"))
        return nullptr;
    const auto na = static_cast<std::size_t>(ka.dim(0)), nb = static_cast<std::size_t>(kb.dim(0));
    const auto room = static_cast<Py_ssize_t>(na + nb);
    PyObject* keys = PyBytes_FromStringAndSize(nullptr, room * static_cast<Py_ssize_t>(sizeof(std::int64_t)));
    PyObject* weights =
        keys ? PyBytes_FromStringAndSize(nullptr, room * static_cast<Py_ssize_t>(sizeof(double))) : nullptr;
    if (!weights) {
        Py_XDECREF(keys);
        return nullptr;
    }
    bool rising = true;
    std::size_t count = 0;
    PyObject* done = run_native([&] {
        rising = strictly_rising(ka.codes(), ka.dim(0)) && strictly_rising(kb.codes(), kb.dim(0));
        if (!rising) return;
        count = merge_rising(ka.codes(), wa.data(), na, kb.codes(), wb.data(), nb,
                             reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(keys)),
                             reinterpret_cast<double*>(PyBytes_AS_STRING(weights)));
    });
    if (!done || !rising) {
        if (done && !rising) PyErr_SetString(PyExc_ValueError, "merge_pairs: the keys must rise strictly");
        Py_XDECREF(done);
        Py_DECREF(keys);
        Py_DECREF(weights);
        return nullptr;
    }
    Py_DECREF(done);
    if (_PyBytes_Resize(&keys, static_cast<Py_ssize_t>(count * sizeof(std::int64_t))) < 0) {
        Py_DECREF(weights);
        return nullptr;
    }
    if (_PyBytes_Resize(&weights, static_cast<Py_ssize_t>(count * sizeof(double))) < 0) {
        Py_DECREF(keys);
        return nullptr;
    }
    return Py_BuildValue("(NN)", keys, weights);
}

}  // namespace ordinata::frames

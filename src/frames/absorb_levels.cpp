#include "frames/absorb_levels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// Two factors, the smaller of at most kSchurLevels levels: the smaller
// factor's effects solved exactly from the Schur complement of the larger's diagonal, S = D_g - C' D_f^-1 C (dense, its
// Cholesky factor taken once for every column; a pivot at rounding, one per
// connected component, sets its level's effect to zero), then the larger's
// from them. This is a start for the iterations, which confirm it.
constexpr index_t kSchurLevels = 512;
// A level's effect on a centred column is a weighted mean of its rows less the other factor's
// effects: a start beyond this many spreads is not taken.
constexpr double kStartBound = 16.0;

class SchurStart {
public:
    // Empty where the system is not of this form.
    static std::optional<SchurStart> of(const LevelSystem& s) {
        if (s.bounds.size() != 3 || s.pair_entries != s.entries.size() || s.entries.empty()) return std::nullopt;
        SchurStart out;
        const std::int64_t first = s.bounds[1] - s.bounds[0], second = s.bounds[2] - s.bounds[1];
        out.small_first_ = first <= second ? s.bounds[0] : s.bounds[1];
        out.small_ = std::min(first, second);
        if (out.small_ > static_cast<std::int64_t>(kSchurLevels)) return std::nullopt;
        if (!out.factor(s, out.by_big_level(s))) return std::nullopt;
        return out;
    }

    // alpha: the exact solve; false where a value is not finite or any exceeds kStartBound times
    // the column's spread (a near-singular pivot's direction, which the rows' demeaning would
    // cancel digits of: the iterations then start from zero).
    bool solve(const LevelSystem& s, const double* rhs, double spread, double* alpha) const {
        const auto m = static_cast<std::size_t>(small_);
        std::vector<double> x(m);
        for (std::size_t g = 0; g < m; ++g) x[g] = rhs[small_first_ + static_cast<std::int64_t>(g)];
        for (const Entry& e : s.entries) {
            const std::int64_t big = big_of(e);
            x[small_of(e)] -= e.weight * rhs[big] / s.diagonal[big];
        }
        // L D L' x = r, the dropped levels' effects zero
        for (std::size_t i = 0; i < m; ++i) {
            if (dropped_[i]) {
                x[i] = 0.0;
                continue;
            }
            for (std::size_t j = 0; j < i; ++j) x[i] -= lower_[i * m + j] * x[j];
        }
        for (std::size_t i = 0; i < m; ++i) x[i] = dropped_[i] ? 0.0 : x[i] / pivots_[i];
        for (std::size_t i = m; i-- > 0;) {
            if (dropped_[i]) continue;
            for (std::size_t j = i + 1; j < m; ++j) x[i] -= lower_[j * m + i] * x[j];
        }
        for (std::size_t g = 0; g < m; ++g) alpha[small_first_ + static_cast<std::int64_t>(g)] = x[g];
        for (index_t g = 0; g < s.levels; ++g)
            if (!small(static_cast<std::int64_t>(g))) alpha[g] = rhs[g];
        for (const Entry& e : s.entries) alpha[big_of(e)] -= e.weight * x[small_of(e)];
        for (index_t g = 0; g < s.levels; ++g)
            if (!small(static_cast<std::int64_t>(g))) alpha[g] /= s.diagonal[g];
        const double bound = kStartBound * spread;
        return std::all_of(alpha, alpha + s.levels, [&](double v) { return std::fabs(v) <= bound; });
    }

private:
    bool small(std::int64_t position) const { return position >= small_first_ && position < small_first_ + small_; }
    std::int64_t big_of(const Entry& e) const { return small(e.a) ? e.b : e.a; }
    std::size_t small_of(const Entry& e) const {
        return static_cast<std::size_t>((small(e.a) ? e.a : e.b) - small_first_);
    }

    // The entries in runs of the larger factor's levels: empty where they already are (a crosstab's
    // rising codes with the larger factor first), else their order by that level (a counting sort).
    std::vector<std::size_t> by_big_level(const LevelSystem& s) const {
        std::int64_t last = -1;
        bool runs = true;
        for (const Entry& e : s.entries) {
            runs = runs && big_of(e) >= last;
            last = big_of(e);
        }
        if (runs) return {};
        std::vector<std::size_t> start(static_cast<std::size_t>(s.levels) + 1, 0);
        for (const Entry& e : s.entries) ++start[static_cast<std::size_t>(big_of(e)) + 1];
        for (std::size_t l = 1; l < start.size(); ++l) start[l] += start[l - 1];
        std::vector<std::size_t> order(s.entries.size());
        for (std::size_t i = 0; i < s.entries.size(); ++i)
            order[start[static_cast<std::size_t>(big_of(s.entries[i]))]++] = i;
        return order;
    }

    // S formed run by run of the larger factor's levels, then factored L D L'.
    bool factor(const LevelSystem& s, const std::vector<std::size_t>& order) {
        const auto m = static_cast<std::size_t>(small_);
        const auto entry = [&](std::size_t i) -> const Entry& { return s.entries[order.empty() ? i : order[i]]; };
        std::vector<double> schur(m * m, 0.0);
        for (std::size_t g = 0; g < m; ++g) schur[g * m + g] = s.diagonal[small_first_ + static_cast<std::int64_t>(g)];
        std::vector<std::size_t> run_level;
        std::vector<double> run_weight;
        for (std::size_t begin = 0; begin < s.entries.size();) {
            const std::int64_t big = big_of(entry(begin));
            std::size_t end = begin + 1;
            while (end < s.entries.size() && big_of(entry(end)) == big) ++end;
            // the run's levels and weights at hand, each pair of them once (S is symmetric)
            run_level.clear();
            run_weight.clear();
            for (std::size_t i = begin; i < end; ++i) {
                run_level.push_back(small_of(entry(i)));
                run_weight.push_back(entry(i).weight);
            }
            const double inverse = 1.0 / s.diagonal[big];
            for (std::size_t i = 0; i < run_level.size(); ++i) {
                const double wi = run_weight[i] * inverse;
                double* row = schur.data() + run_level[i] * m;
                for (std::size_t j = i; j < run_level.size(); ++j) row[run_level[j]] -= wi * run_weight[j];
            }
            begin = end;
        }
        // a pair was taken in the row of whichever of its levels came first in its run: both
        // halves gathered into the lower triangle, which the factoring reads
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < i; ++j) schur[i * m + j] += schur[j * m + i];
        lower_.assign(m * m, 0.0);
        pivots_.assign(m, 0.0);
        dropped_.assign(m, false);
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j <= i; ++j) {
                double v = schur[i * m + j];
                for (std::size_t k = 0; k < j; ++k) v -= lower_[i * m + k] * lower_[j * m + k] * pivots_[k];
                if (j < i) {
                    lower_[i * m + j] = dropped_[j] ? 0.0 : v / pivots_[j];
                } else {
                    // a pivot at rounding of the level's own weight: the level depends on the others
                    const double own = s.diagonal[small_first_ + static_cast<std::int64_t>(i)];
                    dropped_[i] = !(v > 1e3 * std::numeric_limits<double>::epsilon() * own);
                    pivots_[i] = dropped_[i] ? 1.0 : v;
                    lower_[i * m + i] = 1.0;
                }
            }
            if (!std::isfinite(pivots_[i])) return false;
        }
        return true;
    }

    std::int64_t small_first_ = 0, small_ = 0;
    std::vector<double> lower_, pivots_;
    std::vector<bool> dropped_;
};

class LevelSolver {
public:
    explicit LevelSolver(const LevelSystem& s) : s_(s) {}

    // Preconditioned conjugate gradients from zero; alpha written.
    // With a start (the smaller factor's exact solve), the iterations go on from it: the same
    // stopping rule confirms it, however good it is.
    Outcome solve(const double* rhs, double spread, double* alpha, const SchurStart* start = nullptr) {
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
        if (start && start->solve(s_, rhs, spread, alpha)) {
            std::vector<double> product(levels);
            double ignored = 0.0;
            apply(alpha, product.data(), ignored);
            for (std::size_t g = 0; g < levels; ++g) r[g] = rhs[g] - product[g];
        } else {
            std::fill(alpha, alpha + levels, 0.0);
        }
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

    // alpha' D'WD beta for two vectors over the levels (product: scratch of the levels' length).
    double form(const double* alpha, const double* beta, double* product) const {
        double ignored = 0.0;
        apply(beta, product, ignored);
        double sum = 0.0;
        for (index_t g = 0; g < s_.levels; ++g) sum += alpha[g] * product[g];
        return sum;
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
    if (s.bounds.size() == 3) {  // two factors: every entry is the pair's, in the order given
        s.entries.reserve(static_cast<std::size_t>(count));
        for (index_t i = 0; i < count; ++i) {
            if (a[i] < 0 || a[i] >= levels || b[i] < 0 || b[i] >= levels || !std::isfinite(w[i]) ||
                (a[i] < s.bounds[1]) == (b[i] < s.bounds[1]))
                return false;
            s.entries.push_back({static_cast<std::uint32_t>(a[i]), static_cast<std::uint32_t>(b[i]), w[i]});
        }
        s.pair_entries = s.entries.size();
        return true;
    }
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

// form[i, j] = effects_i' D'WD effects_j, each column's product on one thread, summed in the
// levels' order.
void effects_form(const LevelSystem& s, const Buffer& effects, index_t c, Buffer& form) {
    const auto row = [&](index_t j) { return effects.data() + static_cast<la::stride_t>(j) * effects.stride(0); };
    linalg::parallel_for(
        static_cast<std::size_t>(c),
        [&](std::size_t jj) {
            const auto j = static_cast<index_t>(jj);
            std::vector<double> product(static_cast<std::size_t>(s.levels));
            const LevelSolver solver(s);
            for (index_t i = 0; i < c; ++i)
                form.data()[static_cast<la::stride_t>(i) * form.stride(0) + j * form.stride(1)] =
                    solver.form(row(i), row(j), product.data());
        },
        false);
}

}  // namespace

PyObject* absorb_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 12 && !arity(nargs, 13, "absorb_levels")) return nullptr;
    Buffer rhs, effects, diagonal, pair_a, pair_b, pair_w, bounds, spreads, form;
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
    const bool with_form = nargs == 13 && args[12] != Py_None;
    if (with_form && (!read_matrix(args[12], form, true, "form") || form.dim(0) != c || form.dim(1) != c)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "absorb_levels: form must be (columns, columns)");
        return nullptr;
    }
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
    std::optional<SchurStart> start;
    PyObject* done = run_native([&] {
        entries_ok = entries_ok && gather_entries(s, pair_a.codes(), pair_b.codes(), pair_w.data(), pair_a.dim(0));
        if (!entries_ok) return;
        start = SchurStart::of(s);
        linalg::parallel_for(
            static_cast<std::size_t>(c),
            [&](std::size_t j) {
                LevelSolver solver(s);
                const auto row = static_cast<la::stride_t>(j);
                outcomes[j] = solver.solve(rhs.data() + row * rhs.stride(0), spreads.data()[j],
                                           effects.data() + row * effects.stride(0), start ? &*start : nullptr);
            },
            false);
        if (with_form && std::ranges::all_of(outcomes, [](const Outcome& o) { return o.converged; }))
            effects_form(s, effects, c, form);
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
    return Py_BuildValue("(OLdO)", worst->converged ? Py_True : Py_False, worst->iterations, worst->change,
                         start ? Py_True : Py_False);
}

namespace {

// Keyed rows: n keys of `width` int64 each (compared left to right), each with
// `values` float64; row-major.
struct Keyed {
    const std::int64_t* keys;
    const double* values;
    std::size_t n;
};

// -1, 0 or 1 as key a comes before, equals or comes after key b, both of Width int64.
template <std::size_t Width>
int compare_keys(const std::int64_t* a, const std::int64_t* b, std::size_t width) {
    const std::size_t w = Width ? Width : width;
    for (std::size_t i = 0; i < w; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

// Whether the keys rise strictly.
template <std::size_t Width>
bool strictly_rising(const Keyed& k, std::size_t width) {
    for (std::size_t i = 1; i < k.n; ++i)
        if (compare_keys<Width>(k.keys + (i - 1) * width, k.keys + i * width, width) >= 0) return false;
    return true;
}

// The union of two strictly rising keyed lists, the values of a key in both
// summed (a's first), into out_keys/out_values of room for both; the count.
// Width: the keys' width where known when compiled (0: `width`).
template <std::size_t Width>
std::size_t merge_rising(const Keyed& a, const Keyed& b, std::size_t width, std::size_t values, std::int64_t* out_keys,
                         double* out_values) {
    if (!strictly_rising<Width>(a, width) || !strictly_rising<Width>(b, width)) return SIZE_MAX;
    std::size_t i = 0, j = 0, n = 0;
    const auto take = [&](const Keyed& from, std::size_t row) {
        std::copy_n(from.keys + row * width, width, out_keys + n * width);
        std::copy_n(from.values + row * values, values, out_values + n * values);
        ++n;
    };
    while (i < a.n && j < b.n) {
        const int order = compare_keys<Width>(a.keys + i * width, b.keys + j * width, width);
        if (order < 0) {
            take(a, i++);
        } else if (order > 0) {
            take(b, j++);
        } else {
            take(a, i++);
            double* summed = out_values + (n - 1) * values;
            for (std::size_t v = 0; v < values; ++v) summed[v] += b.values[j * values + v];
            ++j;
        }
    }
    for (; i < a.n; ++i) take(a, i);
    for (; j < b.n; ++j) take(b, j);
    return n;
}

// Rows and columns of a C-contiguous int64 or float64 array of one or two dimensions.
bool read_rows(PyObject* obj, Py_buffer& view, const char* format, const char* name) {
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    const char* f = view.format ? view.format : "";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    if (view.itemsize != 8 || f[0] == '\0' || f[1] != '\0' || !std::strchr(format, f[0]) || view.ndim < 1 ||
        view.ndim > 2) {
        PyErr_Format(PyExc_TypeError, "merge_pairs: %s must be a C-contiguous 1- or 2-dimensional %s array", name,
                     std::strchr(format, 'd') ? "float64" : "int64");
        PyBuffer_Release(&view);
        return false;
    }
    return true;
}

std::size_t rows_of(const Py_buffer& v) { return static_cast<std::size_t>(v.shape[0]); }
std::size_t width_of(const Py_buffer& v) { return v.ndim == 2 ? static_cast<std::size_t>(v.shape[1]) : 1; }

// The four arguments' buffers, released with the object.
struct PairArguments {
    Py_buffer views[4]{};
    int held = 0;
    ~PairArguments() {
        for (int i = 0; i < held; ++i) PyBuffer_Release(&views[i]);
    }
    bool read(PyObject* const* args) {
        static const char* const names[] = {"keys_a", "values_a", "keys_b", "values_b"};
        for (; held < 4; ++held)
            if (!read_rows(args[held], views[held], held % 2 ? "d" : "lq", names[held])) return false;
        const std::size_t width = width_of(views[0]), values = width_of(views[1]);
        if (rows_of(views[0]) != rows_of(views[1]) || rows_of(views[2]) != rows_of(views[3]) ||
            width_of(views[2]) != width || width_of(views[3]) != values || width == 0) {
            PyErr_SetString(PyExc_ValueError,
                            "merge_pairs: each list needs one row of values per key, both lists the same widths");
            return false;
        }
        return true;
    }
    Keyed list(int i) const {
        return {static_cast<const std::int64_t*>(views[2 * i].buf), static_cast<const double*>(views[2 * i + 1].buf),
                rows_of(views[2 * i])};
    }
};

PyObject* sized_bytes(std::size_t count) {
    return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * 8));
}

}  // namespace

PyObject* merge_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 4, "merge_pairs")) return nullptr;
    PairArguments in;
    if (!in.read(args)) return nullptr;
    const Keyed a = in.list(0), b = in.list(1);
    const std::size_t width = width_of(in.views[0]), values = width_of(in.views[1]);
    PyObject* keys = sized_bytes((a.n + b.n) * width);
    PyObject* sums = keys ? sized_bytes((a.n + b.n) * values) : nullptr;
    if (!sums) {
        Py_XDECREF(keys);
        return nullptr;
    }
    std::size_t count = 0;
    PyObject* done = run_native([&] {
        auto* out_keys = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(keys));
        auto* out_values = reinterpret_cast<double*>(PyBytes_AS_STRING(sums));
        count = width == 1   ? merge_rising<1>(a, b, width, values, out_keys, out_values)
                : width == 2 ? merge_rising<2>(a, b, width, values, out_keys, out_values)
                             : merge_rising<0>(a, b, width, values, out_keys, out_values);
    });
    const bool rising = count != SIZE_MAX;
    if (!done || !rising) {
        if (done && !rising) PyErr_SetString(PyExc_ValueError, "merge_pairs: the keys must rise strictly");
        Py_XDECREF(done);
        Py_DECREF(keys);
        Py_DECREF(sums);
        return nullptr;
    }
    Py_DECREF(done);
    if (_PyBytes_Resize(&keys, static_cast<Py_ssize_t>(count * width * 8)) < 0) {
        Py_DECREF(sums);
        return nullptr;
    }
    if (_PyBytes_Resize(&sums, static_cast<Py_ssize_t>(count * values * 8)) < 0) {
        Py_DECREF(keys);
        return nullptr;
    }
    return Py_BuildValue("(NN)", keys, sums);
}

}  // namespace ordinata::frames

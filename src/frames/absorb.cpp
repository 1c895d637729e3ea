#include "frames/absorb.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <numeric>
#include <utility>
#include <vector>

#include "binding/pyref.hpp"
#include "frames/buffer.hpp"
#include "frames/conjugate_gradients.hpp"
#include "frames/partitions.hpp"
#include "linalg/thread_pool.hpp"
#include "models/linear/validation.hpp"

namespace ordinata::frames {

namespace {

using index_t = la::index_t;

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

// Row by row, each factor's level among all the levels.
void index_positions(Problem& p) {
    const std::size_t count = p.factors.size();
    p.positions.resize(static_cast<std::size_t>(p.n) * count);
    for (std::size_t f = 0; f < count; ++f)
        for (index_t i = 0; i < p.n; ++i)
            p.positions[i * count + f] = static_cast<std::uint32_t>(p.factors[f].offset + p.factors[f].codes[i]);
}

// A column's weighted mean, its weighted sum of squares about the mean and its
// largest deviation from the mean.
struct Centring {
    double mean = 0.0;
    double square_sum = 0.0;
    double spread = 0.0;
};

// The demeaning of one column: its own buffers, so that columns run on
// separate threads.
class ColumnSolver {
public:
    explicit ColumnSolver(const Problem& p) : p_(p) {}

    // Conjugate gradients on the normal equations D'WD alpha = D'W x of the effects,
    // preconditioned by their diagonal (the levels' weights). One iteration is one
    // pass over the rows: q = D p gathered, D'W q scattered.
    // x: the column, projected in place; alpha: its effects, added to.
    // At most `limit` iterations; a probe gives up sooner where the moves shrink too slowly.
    // `centring`, where given: the column's, as it came.
    Outcome solve(double* x, double* alpha, long long limit, bool probe = false, Centring* centring = nullptr) {
        Outcome out;
        const index_t n = p_.n;
        for (index_t i = 0; i < n; ++i)
            if (!std::isfinite(x[i])) {
                out.finite = false;
                return out;
            }
        const Centring centred = centre(x, alpha);
        if (centring) *centring = centred;
        const double spread = centred.spread;
        out.spread = spread;
        if (spread == 0.0) {
            out.converged = true;
            return out;
        }
        const double threshold = std::max(p_.tol, kRoundingFloor) * spread;
        const auto levels = static_cast<std::size_t>(p_.total_levels);
        std::vector<double> step(levels, 0.0), r(levels, 0.0);
        level_sums(x, r.data());
        double first_change = 0.0;
        // A probe gives up, from the fourth iteration on, where the moves shrink too slowly.
        const auto give_up = [&](const Outcome& o) {
            if (o.iterations == 1) first_change = o.change;
            return probe && o.iterations >= 4 && !settling(o, first_change, limit);
        };
        conjugate_gradients(
            step, r, threshold, spread, limit, out, [&](const double* v, double* z) { return precondition(v, z); },
            [&](const double* dir, double* product, double& largest) { return apply(dir, product, largest); }, give_up);
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
    // Whether the moves, shrinking at the pace they had since the first, would
    // pass under the tolerance within `limit` iterations (a probe's test).
    bool settling(const Outcome& out, double first_change, long long limit) const {
        if (!(out.change < first_change)) return false;
        const double pace = std::log(out.change / first_change) / static_cast<double>(out.iterations - 1);
        const double projected = std::log(out.change) + pace * static_cast<double>(limit - out.iterations);
        return projected <= std::log(std::max(p_.tol, kRoundingFloor));
    }

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

public:
    // The column less its weighted mean (taken against its first value, so
    // that an offset costs no digit), the mean given to the first factor's
    // effects.
    Centring centre(double* x, double* alpha) const {
        Centring out;
        const index_t n = p_.n;
        if (n == 0) return out;
        const double pivot = x[0];
        double sum = 0.0, total = 0.0;
        for (index_t i = 0; i < n; ++i) {
            sum += p_.weight(i) * (x[i] - pivot);
            total += p_.weight(i);
        }
        out.mean = pivot + sum / total;
        for (index_t i = 0; i < n; ++i) {
            const double d = x[i] - out.mean;
            x[i] = d;
            out.square_sum += p_.weight(i) * (d * d);
            out.spread = std::max(out.spread, std::fabs(d));
        }
        const Factor& first = p_.factors.front();
        for (index_t g = 0; g < first.levels; ++g) alpha[first.offset + g] += out.mean;
        return out;
    }

private:
    const Problem& p_;
};

// ---------------------------------------------------------------------------
// The factor of most levels eliminated exactly, the rest solved by conjugate
// gradients preconditioned by the sparse factor of their Schur complement.

// A pivot below this share of its level's weight is taken for a dependence
// among the dummies (the constant each factor repeats), and its level grounded.
constexpr double kPivotFloor = 1e-8;
// The reduction is used only when its assembly and factor cost no more than
// this many passes over the rows' levels, and its envelope holds no more values
// than this many per row's level.
constexpr double kFactorPassBudget = 32.0;
constexpr double kEnvelopePerRow = 4.0;
// A level met by more than this many times the average rows of the levels is
// ordered last (a year, met by every worker), out of the band of the others.
constexpr double kDenseLevel = 8.0;
// The diagonal method is kept where it settles the first column in this many
// iterations: the reduction's set-up costs about as many passes.
constexpr long long kProbeIterations = 16;

// Groups of items by key: the items of key k are items[start[k] .. start[k + 1]).
struct Groups {
    std::vector<std::size_t> start;
    std::vector<std::uint32_t> items;
};

// Rows (or row entries) grouped by key, in row order within a key.
template <class KeyOf>
Groups group_by(std::size_t keys, std::size_t count, KeyOf key_of, auto item_of) {
    Groups out;
    out.start.assign(keys + 1, 0);
    for (std::size_t e = 0; e < count; ++e) ++out.start[key_of(e) + 1];
    std::partial_sum(out.start.begin(), out.start.end(), out.start.begin());
    out.items.resize(count);
    std::vector<std::size_t> next(out.start.begin(), out.start.end() - 1);
    for (std::size_t e = 0; e < count; ++e) out.items[next[key_of(e)]++] = item_of(e);
    return out;
}

// The eliminated factor's levels, the other factors' levels ("kept", in the
// order of the factored envelope) and the factor of their Schur complement
// S = D2'W D2 - D2'W D1 (D1'W D1)^-1 D1'W D2 (D1 the eliminated dummies).
struct Reduction {
    std::size_t eliminated = 0;
    index_t kept = 0;  // m, the kept levels
    // The rows grouped by eliminated level (rows of level g at group[g] .. group[g + 1]), in row
    // order within a level: each row's index, its weight and the kept levels it meets (F - 1
    // each, in envelope order). The passes read them in this order.
    std::vector<std::size_t> group;
    std::vector<std::uint32_t> row_index;
    std::vector<double> row_weight;  // empty: every row weighs one
    std::vector<std::uint32_t> row_kept;
    double weight(std::size_t k) const { return row_weight.empty() ? 1.0 : row_weight[k]; }
    std::vector<index_t> position_of;  // envelope index -> position among all the levels
    std::vector<std::size_t> first;    // row i of the envelope holds columns first[i]..i
    std::vector<std::size_t> start;    // where row i begins in `values`
    std::vector<double> values;        // L (unit, below) and D (on the diagonal) of S = L D L'
    std::vector<char> grounded;        // levels whose pivot vanished
    double flops = 0.0;                // the factor's cost, as planned
};

// The kept levels in reverse Cuthill-McKee order, levels met by most rows last;
// kept levels are neighbours when they share an eliminated level.
class Ordering {
public:
    Ordering(const Problem& p, const Reduction& r, const std::vector<std::uint32_t>& kept_of_row)
        : p_(p), r_(r), kept_of_row_(kept_of_row) {
        const std::size_t others = p.factors.size() - 1;
        const std::int64_t* elim = p.factors[r.eliminated].codes;
        const auto m = static_cast<std::size_t>(r.kept);
        const std::size_t entries = static_cast<std::size_t>(p.n) * others;
        by_kept_ = group_by(
            m, entries, [&](std::size_t e) { return kept_of_row[e]; },
            [&](std::size_t e) { return static_cast<std::uint32_t>(elim[e / others]); });
        by_eliminated_ = group_by(
            static_cast<std::size_t>(p.factors[r.eliminated].levels), static_cast<std::size_t>(p.n),
            [&](std::size_t i) { return static_cast<std::size_t>(elim[i]); },
            [](std::size_t i) { return static_cast<std::uint32_t>(i); });
    }

    // Once ordered: the rows grouped by eliminated level, and the storage of the kept
    // levels' entries (as many as the rows' kept levels), both given up to the caller.
    Groups take_rows_by_eliminated() { return std::move(by_eliminated_); }
    std::vector<std::uint32_t> take_entry_storage() { return std::move(by_kept_.items); }

    // new_index[kept level]: its place in the envelope.
    std::vector<std::uint32_t> order() {
        const auto m = static_cast<std::size_t>(r_.kept);
        std::vector<char> dense(m, 0);
        const double average =
            static_cast<double>(by_kept_.items.size()) / static_cast<double>(std::max<std::size_t>(m, 1));
        for (std::size_t a = 0; a < m; ++a)
            dense[a] = static_cast<double>(by_kept_.start[a + 1] - by_kept_.start[a]) > kDenseLevel * average;
        seen_.assign(m, 0);
        expanded_.assign(by_eliminated_.start.size() - 1, 0);
        std::vector<char> placed(m, 0);
        std::vector<std::uint32_t> sequence;
        sequence.reserve(m);
        std::vector<std::uint32_t> sweep;
        for (std::size_t a = 0; a < m; ++a) {
            if (placed[a] || dense[a]) continue;
            // Two sweeps: the last level reached from `a` starts the ordering of its component.
            breadth_first(static_cast<std::uint32_t>(a), dense, sweep);
            breadth_first(sweep.back(), dense, sweep);
            for (std::uint32_t b : sweep) placed[b] = 1;
            sequence.insert(sequence.end(), sweep.begin(), sweep.end());
        }
        std::reverse(sequence.begin(), sequence.end());
        for (std::size_t a = 0; a < m; ++a)
            if (dense[a]) sequence.push_back(static_cast<std::uint32_t>(a));
        std::vector<std::uint32_t> new_index(m);
        for (std::size_t k = 0; k < m; ++k) new_index[sequence[k]] = static_cast<std::uint32_t>(k);
        return new_index;
    }

private:
    // The component of `root` among the levels not dense, in breadth-first order.
    void breadth_first(std::uint32_t root, const std::vector<char>& dense, std::vector<std::uint32_t>& out) {
        const std::size_t others = p_.factors.size() - 1;
        ++stamp_;
        out.clear();
        out.push_back(root);
        seen_[root] = stamp_;
        for (std::size_t head = 0; head < out.size(); ++head) {
            const std::uint32_t a = out[head];
            for (std::size_t e = by_kept_.start[a]; e < by_kept_.start[a + 1]; ++e) {
                const std::uint32_t g = by_kept_.items[e];
                if (expanded_[g] == stamp_) continue;
                expanded_[g] = stamp_;
                for (std::size_t k = by_eliminated_.start[g]; k < by_eliminated_.start[g + 1]; ++k) {
                    const std::size_t i = by_eliminated_.items[k];
                    for (std::size_t f = 0; f < others; ++f) {
                        const std::uint32_t b = kept_of_row_[i * others + f];
                        if (dense[b] || seen_[b] == stamp_) continue;
                        seen_[b] = stamp_;
                        out.push_back(b);
                    }
                }
            }
        }
    }

    const Problem& p_;
    const Reduction& r_;
    const std::vector<std::uint32_t>& kept_of_row_;
    Groups by_kept_, by_eliminated_;
    std::vector<std::uint32_t> seen_, expanded_;
    std::uint32_t stamp_ = 0;
};

// The envelope of S in the order found: first[i], start[i]; the planned cost
// of its assembly and factor. false where it is over the budget.
bool plan_envelope(const Problem& p, Reduction& r) {
    const std::size_t others = p.factors.size() - 1;
    const auto m = static_cast<std::size_t>(r.kept);
    r.first.resize(m);
    std::iota(r.first.begin(), r.first.end(), std::size_t{0});
    for (std::size_t g = 0; g + 1 < r.group.size(); ++g) {
        const std::uint32_t* from = &r.row_kept[r.group[g] * others];
        const std::uint32_t* to = &r.row_kept[r.group[g + 1] * others];
        const std::size_t lowest = from == to ? m : *std::min_element(from, to);
        for (const std::uint32_t* b = from; b != to; ++b) r.first[*b] = std::min(r.first[*b], lowest);
    }
    r.start.assign(m + 1, 0);
    for (std::size_t i = 0; i < m; ++i) r.start[i + 1] = r.start[i] + (i - r.first[i] + 1);
    const double passes = static_cast<double>(p.n) * static_cast<double>(p.factors.size());
    if (static_cast<double>(r.start[m]) > kEnvelopePerRow * passes) return false;
    // The factor: row i's entry j is a product over the columns both rows hold.
    double flops = 0.0;
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = r.first[i]; j < i; ++j)
            flops += static_cast<double>(j - std::max(r.first[i], r.first[j]) + 1);
    // The assembly: each eliminated level's outer product over the kept levels it meets.
    for (std::size_t g = 0; g + 1 < r.group.size(); ++g) {
        const auto met = static_cast<double>(std::min((r.group[g + 1] - r.group[g]) * others, m));
        flops += 0.5 * met * met;
    }
    r.flops = flops;
    return flops <= kFactorPassBudget * passes;
}

// S summed into the envelope: the kept levels' weights and the weight their
// rows share, less each eliminated level's outer product over its weight.
// Eliminated level by eliminated level: its rows' pairs of kept levels, then
// the outer product of the weights it shares with each kept level it meets,
// taken over those levels in envelope order so that every entry is read from
// the later level's row.
void assemble(const Problem& p, Reduction& r) {
    const std::size_t others = p.factors.size() - 1;
    const auto m = static_cast<std::size_t>(r.kept);
    r.values.assign(r.start[m], 0.0);
    const auto row_of = [&](std::size_t a) { return r.values.data() + r.start[a] - r.first[a]; };
    const Factor& e = p.factors[r.eliminated];
    std::vector<double> shared(m, 0.0), weights;
    std::vector<std::uint32_t> touched;
    for (std::size_t g = 0; g + 1 < r.group.size(); ++g) {
        touched.clear();
        for (std::size_t k = r.group[g]; k < r.group[g + 1]; ++k) {
            const double w = r.weight(k);
            const std::uint32_t* row = &r.row_kept[k * others];
            for (std::size_t f = 0; f < others; ++f) {
                const std::uint32_t b = row[f];
                for (std::size_t h = 0; h <= f; ++h) row_of(std::max(b, row[h]))[std::min(b, row[h])] += w;
                if (shared[b] == 0.0) touched.push_back(b);
                shared[b] += w;
            }
        }
        std::sort(touched.begin(), touched.end());
        weights.resize(touched.size());
        for (std::size_t u = 0; u < touched.size(); ++u) {
            weights[u] = shared[touched[u]];
            shared[touched[u]] = 0.0;
        }
        const double inverse = e.inverse_weight[g];
        for (std::size_t u = 0; u < touched.size(); ++u) {
            double* row = row_of(touched[u]);
            const double scaled = weights[u] * inverse;
            for (std::size_t v = 0; v <= u; ++v) row[touched[v]] -= scaled * weights[v];
        }
    }
}

// S = L D L' in place over its envelope, row by row; a pivot that vanishes
// (a dependence among the dummies) grounds its level: D^-1 is taken as zero
// there and its column of L left empty.
void factor_envelope(Reduction& r, const std::vector<double>& level_weight) {
    const auto m = static_cast<std::size_t>(r.kept);
    r.grounded.assign(m, 0);
    std::vector<double>& v = r.values;
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t fi = r.first[i];
        double* row = &v[r.start[i]] - fi;  // row[j] for fi <= j <= i
        for (std::size_t j = fi; j < i; ++j) {
            const std::size_t from = std::max(fi, r.first[j]);
            const double* lj = &v[r.start[j]] - r.first[j];
            double s = row[j];
            for (std::size_t k = from; k < j; ++k) s -= row[k] * lj[k];
            row[j] = s;  // L_ij d_j, until the row is done
        }
        double d = row[i];
        for (std::size_t j = fi; j < i; ++j) {
            const double pivot = v[r.start[j] + j - r.first[j]];
            const double l = r.grounded[j] ? 0.0 : row[j] / pivot;
            d -= row[j] * l;
            row[j] = l;
        }
        r.grounded[i] = !(d > kPivotFloor * level_weight[i]);
        row[i] = r.grounded[i] ? 0.0 : d;
    }
}

// z = (L D L')^- y over the envelope, zero on the grounded levels.
void solve_envelope(const Reduction& r, const double* y, double* z) {
    const auto m = static_cast<std::size_t>(r.kept);
    const std::vector<double>& v = r.values;
    for (std::size_t i = 0; i < m; ++i) {
        const double* row = &v[r.start[i]] - r.first[i];
        double s = y[i];
        for (std::size_t k = r.first[i]; k < i; ++k) s -= row[k] * z[k];
        z[i] = s;
    }
    for (std::size_t i = 0; i < m; ++i) z[i] = r.grounded[i] ? 0.0 : z[i] / v[r.start[i] + i - r.first[i]];
    for (std::size_t i = m; i-- > 0;) {
        const double* row = &v[r.start[i]] - r.first[i];
        for (std::size_t k = r.first[i]; k < i; ++k) z[k] -= row[k] * z[i];
    }
}

// The rows in eliminated-level order, their kept levels numbered in envelope order
// (written into `storage`, of as many entries: memory already in use costs no new pages).
void group_rows(const Problem& p, Reduction& r, Groups rows_of, std::vector<std::uint32_t>& kept_of_row,
                const std::vector<std::uint32_t>& new_index, std::vector<std::uint32_t> storage) {
    const std::size_t others = p.factors.size() - 1;
    const auto n = static_cast<std::size_t>(p.n);
    for (std::uint32_t& b : kept_of_row) b = new_index[b];
    r.group = std::move(rows_of.start);
    r.row_index = std::move(rows_of.items);
    storage.resize(n * others);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t* from = &kept_of_row[static_cast<std::size_t>(r.row_index[k]) * others];
        std::copy(from, from + others, &storage[k * others]);
    }
    r.row_kept = std::move(storage);
    if (!p.w) return;
    r.row_weight.resize(n);
    for (std::size_t k = 0; k < n; ++k) r.row_weight[k] = p.w[r.row_index[k]];
}

// The reduction of a problem of two factors or more when the factor of its
// Schur complement is cheap; false where it is not.
bool reduce(const Problem& p, Reduction& r) {
    const std::size_t count = p.factors.size();
    if (count < 2) return false;
    r.eliminated = 0;
    for (std::size_t f = 1; f < count; ++f)
        if (p.factors[f].levels > p.factors[r.eliminated].levels) r.eliminated = f;
    const Factor& e = p.factors[r.eliminated];
    r.kept = p.total_levels - e.levels;
    const std::size_t others = count - 1;
    // Kept levels numbered as among all the levels, the eliminated block taken out.
    std::vector<std::uint32_t> kept_of_row(static_cast<std::size_t>(p.n) * others);
    for (index_t i = 0; i < p.n; ++i) {
        std::size_t slot = 0;
        for (std::size_t f = 0; f < count; ++f) {
            if (f == r.eliminated) continue;
            index_t at = p.factors[f].offset + static_cast<index_t>(p.factors[f].codes[i]);
            if (at >= e.offset) at -= e.levels;
            kept_of_row[static_cast<std::size_t>(i) * others + slot++] = static_cast<std::uint32_t>(at);
        }
    }
    Ordering ordering(p, r, kept_of_row);
    const std::vector<std::uint32_t> new_index = ordering.order();
    group_rows(p, r, ordering.take_rows_by_eliminated(), kept_of_row, new_index, ordering.take_entry_storage());
    if (!plan_envelope(p, r)) return false;
    const auto m = static_cast<std::size_t>(r.kept);
    r.position_of.resize(m);
    std::vector<double> level_weight(m);
    for (std::size_t f = 0; f < count; ++f) {
        if (f == r.eliminated) continue;
        const Factor& factor = p.factors[f];
        for (index_t g = 0; g < factor.levels; ++g) {
            index_t at = factor.offset + g;
            const index_t global = at;
            if (at >= e.offset) at -= e.levels;
            const std::uint32_t k = new_index[static_cast<std::size_t>(at)];
            r.position_of[k] = global;
            level_weight[k] = 1.0 / factor.inverse_weight[static_cast<std::size_t>(g)];
        }
    }
    assemble(p, r);
    factor_envelope(r, level_weight);
    return true;
}

// The demeaning of one column through the reduction: the eliminated factor's
// levels averaged out exactly, conjugate gradients on the Schur complement of the
// kept levels, preconditioned by its factor. An iteration is one pass over the
// rows, eliminated level by eliminated level: D2 p gathered and averaged over the
// level's rows, then (I - P1) D2 p scattered from them.
class ReducedSolver {
public:
    ReducedSolver(const Problem& p, const Reduction& r)
        : p_(p), r_(r), e_(p.factors[r.eliminated]), others_(p.factors.size() - 1) {}

    // A column the probe left: its iterations and its spread before them carried on.
    Outcome solve(double* x, double* alpha, const Outcome& probe) {
        Outcome out;
        out.iterations = probe.iterations;
        const double left = centre(x, alpha).spread;
        const double spread = std::max(left, probe.spread);
        out.spread = spread;
        if (left == 0.0) {
            out.converged = true;
            return out;
        }
        const double threshold = std::max(p_.tol, kRoundingFloor) * spread;
        const auto m = static_cast<std::size_t>(r_.kept);
        std::vector<double> step(m, 0.0), res(m, 0.0);
        // x less its means by eliminated level, given to that level's effects; D2'W of what is left.
        for (std::size_t g = 0; g + 1 < r_.group.size(); ++g) {
            const double mean = level_mean(g, [&](std::size_t k) { return x[r_.row_index[k]]; });
            alpha[e_.offset + static_cast<index_t>(g)] += mean;
            for (std::size_t k = r_.group[g]; k < r_.group[g + 1]; ++k) {
                double& v = x[r_.row_index[k]];
                v -= mean;
                const double wv = r_.weight(k) * v;
                for (std::size_t f = 0; f < others_; ++f) res[kept(k, f)] += wv;
            }
        }
        const auto precondition = [&](const double* v, double* z) {
            solve_envelope(r_, v, z);
            double vz = 0.0;
            for (std::size_t k = 0; k < m; ++k) vz += v[k] * z[k];
            return vz;
        };
        conjugate_gradients(
            step, res, threshold, spread, p_.max_iterations, out, precondition,
            [&](const double* dir, double* product, double& largest) { return apply(dir, product, largest); },
            never_give_up);
        // x less (I - P1) D2 step; the step to the kept effects, less its means to the eliminated.
        for (std::size_t g = 0; g + 1 < r_.group.size(); ++g) {
            const double mean = level_mean(g, [&](std::size_t k) { return gather(step.data(), k); });
            alpha[e_.offset + static_cast<index_t>(g)] -= mean;
            for (std::size_t k = r_.group[g]; k < r_.group[g + 1]; ++k)
                x[r_.row_index[k]] -= gather(step.data(), k) - mean;
        }
        for (std::size_t k = 0; k < m; ++k) alpha[r_.position_of[k]] += step[k];
        return out;
    }

private:
    std::uint32_t kept(std::size_t k, std::size_t f) const { return r_.row_kept[k * others_ + f]; }

    // The sum of v over the kept levels the k-th grouped row meets.
    double gather(const double* v, std::size_t k) const {
        double s = 0.0;
        for (std::size_t f = 0; f < others_; ++f) s += v[kept(k, f)];
        return s;
    }

    // The weighted mean of value(k) over the rows of eliminated level g.
    template <class Value>
    double level_mean(std::size_t g, Value value) const {
        double s = 0.0;
        for (std::size_t k = r_.group[g]; k < r_.group[g + 1]; ++k) s += r_.weight(k) * value(k);
        return s * e_.inverse_weight[g];
    }

    // product = S dir, as D2'W (I - P1) D2 dir; dir' S dir; the largest |(I - P1) D2 dir| of a row.
    double apply(const double* dir, double* product, double& largest) const {
        std::fill(product, product + r_.kept, 0.0);
        double curvature = 0.0, top = 0.0;
        for (std::size_t g = 0; g + 1 < r_.group.size(); ++g) {
            const double mean = level_mean(g, [&](std::size_t k) { return gather(dir, k); });
            for (std::size_t k = r_.group[g]; k < r_.group[g + 1]; ++k) {
                const double u = gather(dir, k) - mean;
                const double wu = r_.weight(k) * u;
                for (std::size_t f = 0; f < others_; ++f) product[kept(k, f)] += wu;
                curvature += wu * u;
                top = std::max(top, std::fabs(u));
            }
        }
        largest = top;
        return curvature;
    }

    Centring centre(double* x, double* alpha) const { return ColumnSolver(p_).centre(x, alpha); }

    const Problem& p_;
    const Reduction& r_;
    const Factor& e_;
    const std::size_t others_;
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

    bool levels_ok = true, reduced = false;
    Reduction reduction;
    std::vector<Outcome> outcomes(static_cast<std::size_t>(c));
    std::vector<Centring> centrings(static_cast<std::size_t>(c));
    PyObject* done = run_native([&] {
        for (Factor& f : p.factors) levels_ok = levels_ok && weigh_levels(p, f);
        if (!levels_ok) return;
        index_positions(p);
        const auto column = [&](std::size_t j) {
            const auto row = static_cast<la::stride_t>(j);
            return std::pair{columns.data() + row * columns.stride(0), effects.data() + row * effects.stride(0)};
        };
        // The probe: every column by the diagonal method, a few iterations at most. The
        // columns it leaves unsettled go on from where it left them (their projection is the
        // same), by the reduction where it is cheap, else by the diagonal method.
        const long long probe_limit = std::min(kProbeIterations, p.max_iterations);
        linalg::parallel_for(
            static_cast<std::size_t>(c),
            [&](std::size_t j) {
                const auto [x, alpha] = column(j);
                outcomes[j] = ColumnSolver(p).solve(x, alpha, probe_limit, true, &centrings[j]);
            },
            false);
        const auto unsettled = [&](const Outcome& o) {
            return o.finite && !o.converged && o.iterations < p.max_iterations;
        };
        if (std::none_of(outcomes.begin(), outcomes.end(), unsettled)) return;
        reduced = reduce(p, reduction);
        linalg::parallel_for(
            static_cast<std::size_t>(c),
            [&](std::size_t j) {
                if (!unsettled(outcomes[j])) return;
                const auto [x, alpha] = column(j);
                const Outcome probe = outcomes[j];
                if (reduced) {
                    outcomes[j] = ReducedSolver(p, reduction).solve(x, alpha, probe);
                } else {
                    outcomes[j] = ColumnSolver(p).solve(x, alpha, p.max_iterations - probe.iterations);
                    outcomes[j].iterations += probe.iterations;
                }
            },
            false);
    });
    if (!done) return nullptr;
    Py_DECREF(done);
    if (!levels_ok) {
        PyErr_SetString(PyExc_ValueError, "absorb: a factor code lies outside its levels, or a level has no row");
        return nullptr;
    }
    const std::optional<Outcome> worst = worst_of(outcomes);
    if (!worst) {
        PyErr_SetString(PyExc_ValueError, models::linear::kNotFinite);
        return nullptr;
    }
    const long long eliminated = reduced ? static_cast<long long>(reduction.eliminated) : -1;
    // Each column's weighted mean and centred sum of squares, as given.
    std::vector<double> means, square_sums;
    for (const Centring& k : centrings) {
        means.push_back(k.mean);
        square_sums.push_back(k.square_sum);
    }
    const auto bytes = [](const std::vector<double>& v) {
        return binding::PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                                               static_cast<Py_ssize_t>(v.size() * sizeof(double))));
    };
    const binding::PyRef mean_bytes = bytes(means), square_bytes = bytes(square_sums);
    if (!mean_bytes || !square_bytes) return nullptr;
    return Py_BuildValue("(OLdLOO)", worst->converged ? Py_True : Py_False, worst->iterations, worst->change,
                         eliminated, mean_bytes.get(), square_bytes.get());
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

// The per-entity passes of the fixed-effects fit. The sums per entity (the
// means, the cluster scores) are single passes over the rows with per-entity
// accumulators indexed by entity index, so the summation order is rows in
// row order within each entity, and the entities in index order wherever
// they are combined. The demeaning only reads the means: it runs by chunks
// of rows on all cores, in place of the training copy. With the rows in
// random entity order every row costs a cache miss per line of the table it
// touches, so the lines of the rows a little ahead are prefetched.
#include <algorithm>
#include <new>
#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "linalg/ops.hpp"
#include "linalg/thread_pool.hpp"
#include "linalg/row_chunks.hpp"
#include "models/linear/sandwich.hpp"
#include "models/panel_data/fe/fe.hpp"

namespace ordinata::models {

namespace {

constexpr index_t kLineBytes = 64;
constexpr index_t kLineDoubles = kLineBytes / sizeof(double);
// Rows between a prefetch and the use of its line: enough misses in flight
// to hide the latency, few enough that the lines are still there.
constexpr index_t kAhead = 16;

// Fewer rows than this make one pass on one thread.
constexpr index_t kSplitRowsFrom = index_t{1} << 15;

// visit(i, g) for every row i of entity g, in row order within each entity:
// one pass over all rows, or one task per part of the entities. prefetch(g)
// is called a few rows ahead of visit.
template <class Prefetch, class Visit>
void for_rows_by_entity(const std::vector<std::uint64_t>& rows, const EntityParts& parts, const Prefetch& prefetch,
                        const Visit& visit) {
    if (parts.rows.empty()) {
        const index_t n = rows.size();
        for (index_t i = 0; i < n; ++i) {
            if (i + kAhead < n) prefetch(rows[i + kAhead]);
            visit(i, rows[i]);
        }
        return;
    }
    linalg::parallel_for(
        parts.rows.size(),
        [&](std::size_t part) {
            const std::vector<index_t>& mine = parts.rows[part];
            const index_t m = mine.size();
            for (index_t r = 0; r < m; ++r) {
                if (r + kAhead < m) prefetch(rows[mine[r + kAhead]]);
                visit(mine[r], rows[mine[r]]);
            }
        },
        false);
}

}  // namespace

EntityParts split_by_entity(const std::vector<std::uint64_t>& rows, std::uint64_t n_entities) {
    const index_t n = rows.size();
    const std::uint64_t parts = std::min<std::uint64_t>(linalg::max_threads(), n_entities);
    if (n < kSplitRowsFrom || parts <= 1) return {};
    EntityParts out;
    out.rows.resize(parts);
    // Part of entity g: floor(g * parts / N), without the branches a search
    // would mispredict on rows in random order.
    std::vector<index_t> counts(parts, 0);
    for (index_t i = 0; i < n; ++i) ++counts[rows[i] * parts / n_entities];
    for (std::uint64_t p = 0; p < parts; ++p) out.rows[p].reserve(counts[p]);
    for (index_t i = 0; i < n; ++i) out.rows[rows[i] * parts / n_entities].push_back(i);
    return out;
}

EntityTable::EntityTable(std::uint64_t n_entities, index_t width)
    : stride_(width <= kLineDoubles ? std::bit_ceil(width) : (width + kLineDoubles - 1) / kLineDoubles * kLineDoubles),
      // One spare line of room for the shift to the line boundary.
      buf_(n_entities * stride_ + kLineDoubles, 1, 0.0) {
    const auto misalignment = reinterpret_cast<std::uintptr_t>(buf_.data()) % kLineBytes;
    base_ = buf_.data() + (kLineBytes - misalignment) % kLineBytes / sizeof(double);
}

EntityIndex build_entity_index(EntityIdView ids) {
    EntityIndex out;
    const index_t n = ids.size();
    try {
        out.rows.resize(n);
    } catch (const std::bad_alloc&) {
        throw linalg::AllocationError(n, 1, linalg::Purpose{"the entity of every row"});
    }
    for (index_t i = 0; i < n; ++i) {
        try {
            const auto [it, inserted] = out.map.try_emplace(ids[i], static_cast<std::uint64_t>(out.map.size()));
            out.rows[i] = it->second;
        } catch (const std::bad_alloc&) {
            // The table failed to double: its new buckets hold a key, a value
            // and a probe distance each, about three doubles.
            throw linalg::AllocationError(static_cast<index_t>(2 * out.map.bucket_count()), 3,
                                          linalg::Purpose{"the entity map"});
        }
    }
    return out;
}

EntityTable entity_means(const Matrix& x, const VectorView* y, const std::vector<std::uint64_t>& rows,
                         std::uint64_t n_entities, const EntityParts& parts) {
    const index_t k = x.cols();
    // Per entity: the k column sums, then the y sum, then the row count (a
    // double, exact far beyond any row count, so that it shares the line).
    EntityTable acc(n_entities, k + 2);
    const double* xp = x.data();
    for_rows_by_entity(
        rows, parts, [&](std::uint64_t g) { acc.prefetch(g); },
        [&](index_t i, std::uint64_t g) {
            double* a = acc[g];
            const double* src = xp + i * k;
            for (index_t j = 0; j < k; ++j) a[j] += src[j];
            if (y) a[k] += (*y)[i];
            a[k + 1] += 1.0;
        });
    for (std::uint64_t g = 0; g < n_entities; ++g) {
        double* a = acc[g];
        const double c = a[k + 1];
        if (c == 0.0) continue;
        for (index_t j = 0; j <= k; ++j) a[j] = a[j] / c;
    }
    return acc;
}

Vector demean_in_place(Matrix& x, VectorView y, const EntityTable& means, const std::vector<std::uint64_t>& rows) {
    const index_t n = x.rows(), k = x.cols();
    Vector y_within(n, linalg::Purpose{"the demeaned target"});
    double* xp = x.data();
    linalg::map_row_chunks(n, k, [&](index_t first, index_t count) {
        const index_t end = first + count;
        for (index_t i = first; i < end; ++i) {
            if (i + kAhead < end) means.prefetch(rows[i + kAhead]);
            const double* mean = means[rows[i]];
            double* row = xp + i * k;
            for (index_t j = 0; j < k; ++j) row[j] -= mean[j];
            y_within[i] = y[i] - mean[k];
        }
        return 0;
    });
    return y_within;
}

Vector entity_effects(const EntityTable& means, std::uint64_t n_entities, VectorView beta) {
    const index_t k = beta.size();
    Vector alpha(n_entities);
    for (std::uint64_t g = 0; g < n_entities; ++g) {
        const double* mean = means[g];
        double a = mean[k];
        for (index_t j = 0; j < k; ++j) a -= mean[j] * beta[j];
        alpha[g] = a;
    }
    return alpha;
}

std::optional<Vector> compute_clustered_standard_errors(const Matrix& x_within, const Matrix& gram, VectorView e,
                                                        const std::vector<std::uint64_t>& rows,
                                                        std::uint64_t n_entities, const EntityParts& parts) {
    const index_t k = x_within.cols();
    auto factor = linear::SandwichFactor::of({x_within.view(), &gram, nullptr});
    if (!factor) return std::nullopt;
    const double* xp = x_within.data();
    if (factor->extended()) return factor->clustered_errors(e, rows.data(), n_entities);
    // All cluster scores at once: O(n k) for the pass, N k doubles of memory.
    EntityTable scores(n_entities, k);
    for_rows_by_entity(
        rows, parts, [&](std::uint64_t g) { scores.prefetch(g); },
        [&](index_t i, std::uint64_t g) {
            const double ei = e[i];
            const double* src = xp + i * k;
            double* dst = scores[g];
            for (index_t j = 0; j < k; ++j) dst[j] += ei * src[j];
        });
    Matrix sums(n_entities, k);
    for (std::uint64_t g = 0; g < n_entities; ++g) std::copy_n(scores[g], k, sums.data() + g * k);
    return factor->clustered_errors(std::move(sums));
}

}  // namespace ordinata::models

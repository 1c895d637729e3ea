// The per-entity passes of the fixed-effects fit. Each is a single pass
// over the rows with per-entity accumulators indexed by entity index, so the
// summation order is rows in row order within each entity, and the entities
// in index order wherever they are combined. With the rows in random entity
// order every row costs a cache miss per accumulator line it touches, so each
// entity's accumulators share whole cache lines, and the lines of the rows a
// little ahead are prefetched.
#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "linalg/ops.hpp"
#include "models/panel_data/fe/fe.hpp"

namespace ordinata::models {

namespace {

constexpr index_t kLineBytes = 64;
constexpr index_t kLineDoubles = kLineBytes / sizeof(double);
// Rows between a prefetch and the use of its line: enough misses in flight
// to hide the latency, few enough that the lines are still there.
constexpr index_t kAhead = 16;

// Zeroed per-entity accumulators of a given width, laid out so that no
// entity's slots straddle a cache line: widths up to a line are padded to a
// power of two, wider ones to whole lines, and the table starts on a line.
class EntityLines {
public:
    EntityLines(std::uint64_t n_entities, index_t width)
        : stride_(width <= kLineDoubles ? std::bit_ceil(width)
                                        : (width + kLineDoubles - 1) / kLineDoubles * kLineDoubles),
          // One spare line of room for the shift to the line boundary.
          buf_(n_entities * stride_ + kLineDoubles, 1, 0.0) {
        const auto misalignment = reinterpret_cast<std::uintptr_t>(buf_.data()) % kLineBytes;
        base_ = buf_.data() + (kLineBytes - misalignment) % kLineBytes / sizeof(double);
    }
    double* operator[](std::uint64_t g) { return base_ + g * stride_; }
    void prefetch(std::uint64_t g) const { __builtin_prefetch(base_ + g * stride_, 1); }

private:
    index_t stride_;
    Matrix buf_;
    double* base_ = nullptr;
};

}  // namespace

EntityIndex build_entity_index(EntityIdView ids) {
    EntityIndex out;
    const index_t n = ids.size();
    out.rows.resize(n);
    for (index_t i = 0; i < n; ++i) {
        const auto [it, inserted] = out.map.try_emplace(ids[i], static_cast<std::uint64_t>(out.map.size()));
        out.rows[i] = it->second;
    }
    return out;
}

std::vector<std::uint64_t> entity_rows(EntityIdView ids, const EntityMap& map) {
    std::vector<std::uint64_t> rows(ids.size());
    for (index_t i = 0; i < ids.size(); ++i) {
        const auto it = map.find(ids[i]);
        if (it == map.end()) throw std::logic_error("entity identifier missing from the training map");
        rows[i] = it->second;
    }
    return rows;
}

WithinData within_transform(const Matrix& x, const VectorView* y, const std::vector<std::uint64_t>& rows,
                            std::uint64_t n_entities) {
    const index_t n = x.rows(), k = x.cols();
    // Per entity: the k column sums, then the y sum, then the row count (a
    // double, exact far beyond any row count, so that it shares the line).
    EntityLines acc(n_entities, k + 2);
    const double* xp = x.data();
    for (index_t i = 0; i < n; ++i) {
        if (i + kAhead < n) acc.prefetch(rows[i + kAhead]);
        double* a = acc[rows[i]];
        const double* src = xp + i * k;
        for (index_t j = 0; j < k; ++j) a[j] += src[j];
        if (y) a[k] += (*y)[i];
        a[k + 1] += 1.0;
    }
    for (std::uint64_t g = 0; g < n_entities; ++g) {
        double* a = acc[g];
        const double c = a[k + 1];
        if (c == 0.0) continue;
        for (index_t j = 0; j <= k; ++j) a[j] = a[j] / c;
    }
    WithinData out{Matrix(n, k), y ? Vector(n) : Vector()};
    double* op = out.x.data();
    for (index_t i = 0; i < n; ++i) {
        if (i + kAhead < n) acc.prefetch(rows[i + kAhead]);
        const double* mean = acc[rows[i]];
        const double* src = xp + i * k;
        double* dst = op + i * k;
        for (index_t j = 0; j < k; ++j) dst[j] = src[j] - mean[j];
        if (y) out.y[i] = (*y)[i] - mean[k];
    }
    return out;
}

Vector compute_fixed_effects(VectorView y, VectorView xb, const std::vector<std::uint64_t>& rows,
                             std::uint64_t n_entities) {
    // Per entity: the sum of y - x.beta, then the row count.
    EntityLines acc(n_entities, 2);
    for (index_t i = 0; i < y.size(); ++i) {
        if (i + kAhead < y.size()) acc.prefetch(rows[i + kAhead]);
        double* a = acc[rows[i]];
        a[0] += y[i] - xb[i];
        a[1] += 1.0;
    }
    Vector alpha(n_entities);
    for (std::uint64_t g = 0; g < n_entities; ++g) {
        const double* a = acc[g];
        alpha[g] = a[1] != 0.0 ? a[0] / a[1] : 0.0;
    }
    return alpha;
}

Vector compute_clustered_standard_errors(const Matrix& xw, VectorView e, const Matrix& m,
                                         const std::vector<std::uint64_t>& rows, std::uint64_t n_entities) {
    const index_t n = xw.rows(), k = xw.cols();
    // All cluster scores at once: O(n k) for the pass, N k doubles of memory.
    EntityLines scores(n_entities, k);
    const double* xp = xw.data();
    for (index_t i = 0; i < n; ++i) {
        if (i + kAhead < n) scores.prefetch(rows[i + kAhead]);
        const double ei = e[i];
        const double* src = xp + i * k;
        double* dst = scores[rows[i]];
        for (index_t j = 0; j < k; ++j) dst[j] += ei * src[j];
    }
    // B = sum of s s' in entity order. s_j s_l = s_l s_j exactly, so the
    // upper triangle is accumulated and mirrored.
    Matrix b(k, k, 0.0);
    double* bp = b.data();
    for (std::uint64_t g = 0; g < n_entities; ++g) {
        const double* s = scores[g];
        for (index_t j = 0; j < k; ++j) {
            const double sj = s[j];
            double* brow = bp + j * k;
            for (index_t l = j; l < k; ++l) brow[l] += sj * s[l];
        }
    }
    for (index_t j = 0; j < k; ++j)
        for (index_t l = 0; l < j; ++l) b(j, l) = b(l, j);
    const Matrix v = linalg::dot(linalg::dot(m, b), m);
    Vector se(k);
    for (index_t j = 0; j < k; ++j) se[j] = v(j, j) >= 0.0 ? std::sqrt(v(j, j)) : 0.0;
    return se;
}

}  // namespace ordinata::models

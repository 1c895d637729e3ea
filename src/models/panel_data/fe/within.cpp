// The per-entity passes of the fixed-effects fit. Each is a single pass
// over the rows with per-entity accumulators indexed by entity index, so the
// summation order is rows in row order within each entity, and the entities
// in index order wherever they are combined.
#include <cmath>
#include <stdexcept>

#include "linalg/ops.hpp"
#include "models/panel_data/fe/fe.hpp"

namespace ordinata::models {

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
    Matrix means(n_entities, k, 0.0);
    Vector y_means(n_entities, 0.0);
    std::vector<std::uint64_t> counts(n_entities, 0);
    const double* xp = x.data();
    double* mp = means.data();
    for (index_t i = 0; i < n; ++i) {
        const std::uint64_t g = rows[i];
        const double* src = xp + i * k;
        double* dst = mp + g * k;
        for (index_t j = 0; j < k; ++j) dst[j] += src[j];
        if (y) y_means[g] += (*y)[i];
        ++counts[g];
    }
    for (std::uint64_t g = 0; g < n_entities; ++g) {
        if (counts[g] == 0) continue;
        const double c = static_cast<double>(counts[g]);
        double* row = mp + g * k;
        for (index_t j = 0; j < k; ++j) row[j] = row[j] / c;
        y_means[g] = y_means[g] / c;
    }
    WithinData out{Matrix(n, k), y ? Vector(n) : Vector()};
    double* op = out.x.data();
    for (index_t i = 0; i < n; ++i) {
        const std::uint64_t g = rows[i];
        const double* src = xp + i * k;
        const double* mean = mp + g * k;
        double* dst = op + i * k;
        for (index_t j = 0; j < k; ++j) dst[j] = src[j] - mean[j];
        if (y) out.y[i] = (*y)[i] - y_means[g];
    }
    return out;
}

Vector compute_fixed_effects(VectorView y, VectorView xb, const std::vector<std::uint64_t>& rows,
                             std::uint64_t n_entities) {
    Vector alpha(n_entities, 0.0);
    std::vector<std::uint64_t> counts(n_entities, 0);
    for (index_t i = 0; i < y.size(); ++i) {
        const std::uint64_t g = rows[i];
        alpha[g] += y[i] - xb[i];
        ++counts[g];
    }
    for (std::uint64_t g = 0; g < n_entities; ++g)
        alpha[g] = counts[g] != 0 ? alpha[g] / static_cast<double>(counts[g]) : 0.0;
    return alpha;
}

Vector compute_clustered_standard_errors(const Matrix& xw, VectorView e, const Matrix& m,
                                         const std::vector<std::uint64_t>& rows, std::uint64_t n_entities) {
    const index_t n = xw.rows(), k = xw.cols();
    // All cluster scores at once: O(n k) for the pass, N k doubles of memory.
    Matrix scores(n_entities, k, 0.0);
    const double* xp = xw.data();
    double* sp = scores.data();
    for (index_t i = 0; i < n; ++i) {
        const double ei = e[i];
        const double* src = xp + i * k;
        double* dst = sp + rows[i] * k;
        for (index_t j = 0; j < k; ++j) dst[j] += ei * src[j];
    }
    // B = sum of s s' in entity order. s_j s_l = s_l s_j exactly, so the
    // upper triangle is accumulated and mirrored.
    Matrix b(k, k, 0.0);
    double* bp = b.data();
    for (std::uint64_t g = 0; g < n_entities; ++g) {
        const double* s = sp + g * k;
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

// Fixed-effects (within) estimator for panel data: slopes from the
// entity-demeaned data, one intercept per entity from its means, classical
// or entity-clustered standard errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tsl/robin_map.h>

#include "models/fit_results.hpp"
#include "models/once_cell.hpp"

namespace ordinata::models {

// Read-only strided view of the caller's entity identifiers.
using EntityIdView = linalg::IntVectorView;

// Identifiers are arbitrary 64-bit integers (often multiples of a round
// number, or huge); a bit-mixing hash keeps them spread over the buckets of
// the power-of-two table, where the identity hash would pile them up.
struct EntityHash {
    std::size_t operator()(std::int64_t id) const noexcept {
        std::uint64_t z = static_cast<std::uint64_t>(id);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return static_cast<std::size_t>(z ^ (z >> 31));
    }
};

// Identifier -> entity index, indices in order of first appearance.
using EntityMap = tsl::robin_map<std::int64_t, std::uint64_t, EntityHash>;

// The map of a sample, and the entity index of every row (so that later
// passes need no further lookups).
struct EntityIndex {
    EntityMap map;
    std::vector<std::uint64_t> rows;
};
EntityIndex build_entity_index(EntityIdView ids);

// Per-entity values of a fixed width, laid out so that no entity's slots
// straddle a cache line (widths up to a line padded to a power of two,
// wider ones to whole lines, the table starting on a line): with rows in
// random entity order each row then costs one miss per line it touches.
class EntityTable {
public:
    EntityTable(std::uint64_t n_entities, index_t width);
    // The buffer moves with its heap storage, so base_ stays valid; a copy
    // would point into the original.
    EntityTable(EntityTable&&) = default;
    EntityTable& operator=(EntityTable&&) = default;
    EntityTable(const EntityTable&) = delete;
    EntityTable& operator=(const EntityTable&) = delete;
    double* operator[](std::uint64_t g) { return base_ + g * stride_; }
    const double* operator[](std::uint64_t g) const { return base_ + g * stride_; }
    void prefetch(std::uint64_t g) const { __builtin_prefetch(base_ + g * stride_, 1); }

private:
    index_t stride_;
    Matrix buf_;
    double* base_ = nullptr;
};

// The rows of each of a few contiguous ranges of entities, in row order.
// The per-entity passes give each range to one task: every entity's rows are
// still summed by one thread in row order, whatever the thread count. Empty
// (one pass over all rows) for short samples or a single thread.
struct EntityParts {
    std::vector<std::vector<index_t>> rows;
};
EntityParts split_by_entity(const std::vector<std::uint64_t>& rows, std::uint64_t n_entities);

// Each entity's column means of x, then its mean of y (when y is given):
// sums in row order, then divided by the count.
EntityTable entity_means(const Matrix& x, const VectorView* y, const std::vector<std::uint64_t>& rows,
                         std::uint64_t n_entities, const EntityParts& parts = {});

// X~ in place of x (each row less its entity's means) and y~, the demeaned
// target, returned; by chunks of rows on all cores.
Vector demean_in_place(Matrix& x, VectorView y, const EntityTable& means, const std::vector<std::uint64_t>& rows);

// alpha_g = ybar_g - xbar_g.beta, the entity's mean of y - x.beta.
Vector entity_effects(const EntityTable& means, std::uint64_t n_entities, VectorView beta);

// Entity-clustered sandwich M B M with B = sum_g s_g s_g', s_g = sum over the
// entity's rows of e_i x~_i, M = (X~'X~)^-1; no small-sample factor. Formed
// from a factor of X~ (gram is X~'X~ as the fit formed it), see
// linear/sandwich.hpp. Negative or NaN variances give 0; empty when X~
// cannot be factored.
std::optional<Vector> compute_clustered_standard_errors(const Matrix& x_within, const Matrix& gram, VectorView e,
                                                        const std::vector<std::uint64_t>& rows,
                                                        std::uint64_t n_entities, const EntityParts& parts = {});

// Inference degrees of freedom count no intercept and no entities.
class FE : public FittedModel {
public:
    explicit FE(bool robust) : FittedModel(false), robust_(robust) {}

    Result<void> fit(MatrixView x, VectorView y, EntityIdView entity_id, bool may_rescale = true);
    Result<Vector> predict(MatrixView x, EntityIdView entity_id) const;

    std::optional<Matrix> covariance_matrix();
    std::string repr() const;
    std::string summary() const;

    bool robust() const { return robust_; }
    const std::optional<double>& within_r_squared() const { return within_r_squared_; }
    const std::optional<std::uint64_t>& n_entities() const { return n_entities_; }
    const std::optional<Vector>& fixed_effects() const { return fixed_effects_; }
    // X~, the design the slopes were fitted on, kept for the report.
    const Matrix* design() const { return training_x_ ? &*training_x_ : nullptr; }

private:
    // The same fit on columns scaled by powers of two, its results scaled back.
    Result<void> fit_rescaled(MatrixView x, VectorView y, EntityIdView entity_id);
    bool robust_;
    std::optional<double> within_r_squared_;
    std::optional<std::uint64_t> n_entities_;
    EntityMap entity_map_;
    std::optional<Vector> fixed_effects_;
    std::optional<Matrix> xtx_inv_;
    std::optional<Matrix> training_x_;  // X~
    OnceCell<Matrix> covariance_cache_;
};

}  // namespace ordinata::models

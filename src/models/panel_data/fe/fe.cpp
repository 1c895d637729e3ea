#include "models/panel_data/fe/fe.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "linalg/factor.hpp"
#include "linalg/magnitudes.hpp"
#include "linalg/ops.hpp"
#include "models/linear/design_system.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/residuals.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

constexpr const char* kNotFitted = "Model not fitted. Call fit() first.";
constexpr const char* kTooFewClusters =
    "Clustered standard errors need at least two entities with more than one observation";

std::string count(std::uint64_t v) { return std::to_string(v); }

// R of the rows sqrt(n_g) xbar_g / raw (n_entities x k; padded with zero
// rows to k when there are fewer entities), so that R'R = X'D (D'D)^-1 D'X
// on the raw-length columns.
Matrix between_factor(const EntityTable& means, std::uint64_t n_entities, VectorView raw) {
    const index_t k = raw.size();
    const index_t m = std::max<index_t>(static_cast<index_t>(n_entities), k);
    Matrix b(m, k, 0.0);
    for (std::uint64_t g = 0; g < n_entities; ++g) {
        const double root = std::sqrt(means[g][k + 1]);  // the entity's row count
        for (index_t j = 0; j < k; ++j) b(g, j) = raw[j] > 0.0 ? root * means[g][j] / raw[j] : 0.0;
    }
    auto f = linalg::qr(b.view(), Vector(m, 0.0).view());
    if (!f) return Matrix(k, k, std::numeric_limits<double>::quiet_NaN());  // judged singular
    return std::move(f->r);
}

// Whether some column lies mostly in the span of the effects: its entity
// means carry more than 1 - 2^-8 of its squared length (its within part is
// under 1/16 of it).
bool offset_columns(const EntityTable& means, std::uint64_t n_entities, VectorView raw) {
    const index_t k = raw.size();
    for (index_t j = 0; j < k; ++j) {
        double between = 0.0;
        for (std::uint64_t g = 0; g < n_entities; ++g) between += means[g][k + 1] * means[g][j] * means[g][j];
        if (between > (1.0 - 0x1p-8) * raw[j] * raw[j]) return true;
    }
    return false;
}

}  // namespace

Result<void> FE::fit(MatrixView x, VectorView y, EntityIdView entity_id, bool may_rescale) {
    const index_t n = x.rows(), k = x.cols();
    if (n * k == 0 || y.size() == 0 || entity_id.size() == 0) return value_error("Input arrays cannot be empty");
    if (n != y.size() || n != entity_id.size())
        return value_error("Array length mismatch: X has " + count(n) + " rows, y has " + count(y.size()) +
                           " elements, entity_id has " + count(entity_id.size()) + " elements");
    // The training copy and the input checks in one pass; an input too large
    // for memory fails at once, before any scan.
    linalg::MagnitudeRange range;
    std::optional<Matrix> copied = linalg::copy_if_finite(x, &range);
    range.add(linalg::magnitudes(y));
    if (!copied || !range.finite()) return value_error(linear::kNotFinite);

    EntityIndex index = build_entity_index(entity_id);
    const std::uint64_t n_ent = index.map.size();
    if (n_ent >= n)
        return value_error(
            "Insufficient degrees of freedom: number of entities must be less than number of observations");
    if (n <= k + n_ent) return value_error("Insufficient degrees of freedom for Fixed Effects estimation");
    const std::uint64_t df = n - k - n_ent;
    if (range.extreme() && may_rescale) return fit_rescaled(x, y, entity_id);

    // The training copy becomes X~; the means keep what the effects need.
    Matrix x_within = std::move(*copied);
    const std::vector<std::uint64_t>& rows = index.rows;
    const EntityParts parts = split_by_entity(rows, n_ent);
    EntityTable means = entity_means(x_within, &y, rows, n_ent, parts);
    if (robust_) {
        // The scores of all clusters sum to X~'e = 0 at the solution: with
        // one entity of several rows (the others singletons, whose scores
        // are zero) the clustered meat is zero, and the errors with it.
        std::uint64_t clusters = 0;
        for (std::uint64_t g = 0; g < n_ent && clusters < 2; ++g) clusters += means[g][k + 1] > 1.0 ? 1 : 0;
        if (clusters < 2) return value_error(kTooFewClusters);
    }
    // Singularity is judged against the regressors before demeaning: a
    // regressor constant within every entity leaves only rounding noise.
    const Vector raw_norms = linalg::column_norms(x_within.view());
    Vector y_within = demean_in_place(x_within, y, means, rows);
    // A column demeaned at its rounded means keeps a constant of about
    // eps |mean| per entity, which the effects no longer absorb: beside an
    // offset (a year, a date) that is a large share of what is left. A
    // second pass takes out the rest, its own means rounded at eps of the
    // within spread; the effects then count both.
    if (offset_columns(means, n_ent, raw_norms.view())) {
        const VectorView within_view = y_within.view();
        const EntityTable rest = entity_means(x_within, &within_view, rows, n_ent, parts);
        y_within = demean_in_place(x_within, within_view, rest, rows);
        for (std::uint64_t g = 0; g < n_ent; ++g)
            for (index_t j = 0; j <= k; ++j) means[g][j] += rest[g][j];
    }
    const auto explicit_within = [&] {
        return std::pair<Matrix, Vector>(Matrix::from(x_within.view()), Vector::from(y_within.view()));
    };
    Vector within_lengths;
    Matrix within_gram;
    const auto within_system = [&] {
        linear::DesignSystem sys = linear::plain_system(x_within.view(), y_within.view());
        within_lengths = Vector::from(sys.column_lengths().view());
        if (robust_) within_gram = sys.g;
        sys.raw_norms = raw_norms;
        return sys;
    };
    // The rank is judged on [D | X] with unit columns, D the entities'
    // indicators, as on [1 | X] for a regression with an intercept (the
    // same design when there is one entity): the effects stand in the rank
    // factor as the R of the rows sqrt(n_g) xbar_g / |x_j|.
    const auto entity_border = [&] { return between_factor(means, n_ent, raw_norms.view()); };
    linear::RoutedProblem problem{.n = n, .q = k + n_ent, .columns = k};
    problem.border = entity_border;
    problem.system = within_system;
    problem.materialise = explicit_within;
    auto sol = linear::solve_routed(problem, linear::kFeRoute);
    if (!sol) return std::unexpected(sol.error());
    const Vector& beta = sol->beta;
    Matrix& m = sol->inverse;

    const TotalSum tss_w = total_sum_of_squares(y_within);
    auto [e, ssr] =
        linear::accurate_residuals(x_within, y_within, beta, false, within_lengths.view(), std::sqrt(tss_w.sum_sq));
    if (sol->ssr) ssr = std::min(ssr, *sol->ssr);
    Vector alpha = entity_effects(means, n_ent, beta);
    const TotalSum tss = total_sum_of_squares(y);
    const double mse = ssr / static_cast<double>(df);
    if (!std::isfinite(mse)) return value_error(linear::kOverflow);

    Vector se(k);
    if (robust_) {
        auto clustered = compute_clustered_standard_errors(x_within, within_gram, e, rows, n_ent, parts);
        if (!clustered) return runtime_error(linear::kFeRoute.svd_singular);
        se = std::move(*clustered);
    } else {
        for (index_t j = 0; j < k; ++j) se[j] = std::sqrt(mse * m(j, j));
    }

    // y - x.beta - alpha is the within residual: one sum of squares for both R^2.
    FitResults r =
        FitResults::of_fit(n, k, beta, se, false, std::move(e), mse, r_squared_from(ssr, tss.tss, tss.noise, true));
    // Nothing above touched the model: it changes only now, all at once.
    r_ = std::move(r);
    within_r_squared_ = r_squared_from(ssr, tss_w.tss, tss_w.noise, true);
    n_entities_ = n_ent;
    entity_map_ = std::move(index.map);
    fixed_effects_ = std::move(alpha);
    xtx_inv_ = std::move(m);
    training_x_ = std::move(x_within);
    covariance_cache_.reset();
    return {};
}

Result<void> FE::fit_rescaled(MatrixView x, VectorView y, EntityIdView entity_id) {
    const linear::ColumnScaling scaled(x);
    const linear::TargetScaling target(y);
    FE inner(robust_);
    if (auto ok = inner.fit(scaled.x, target.view(y), entity_id, false); !ok) return ok;
    if (auto ok = linear::unscale_results(inner.r_, scaled.factor, target.factor); !ok) return ok;
    linear::rescale_inverse(*inner.xtx_inv_, scaled.factor, false);
    // X~ on the original scale: the same powers of two, undone.
    Matrix& x_within = *inner.training_x_;
    for (index_t j = 0; j < x_within.cols(); ++j) {
        const int back = -std::ilogb(scaled.factor[j]);
        for (index_t i = 0; i < x_within.rows(); ++i) x_within(i, j) = std::ldexp(x_within(i, j), back);
    }
    // The entity effects are in y's units.
    if (inner.fixed_effects_)
        for (index_t i = 0; i < inner.fixed_effects_->size(); ++i)
            (*inner.fixed_effects_)[i] = std::ldexp((*inner.fixed_effects_)[i], -std::ilogb(target.factor));
    r_ = std::move(inner.r_);
    within_r_squared_ = inner.within_r_squared_;
    n_entities_ = inner.n_entities_;
    entity_map_ = std::move(inner.entity_map_);
    fixed_effects_ = std::move(inner.fixed_effects_);
    xtx_inv_ = std::move(inner.xtx_inv_);
    training_x_ = std::move(inner.training_x_);
    covariance_cache_.reset();
    return {};
}

Result<Vector> FE::predict(MatrixView x, EntityIdView entity_id) const {
    if (!r_.coefficients || !fixed_effects_) return runtime_error(kNotFitted);
    const Vector& coef = *r_.coefficients;
    const Vector& alpha = *fixed_effects_;
    if (x.cols() != coef.size())
        return value_error("Feature count mismatch: expected " + count(coef.size()) + ", got " + count(x.cols()));
    if (x.rows() != entity_id.size())
        return value_error("Row count mismatch between X and entity_id: " + count(x.rows()) + " vs " +
                           count(entity_id.size()));
    // The effects are looked up while adding them: no per-row index array
    // as large as the output.
    const index_t n = x.rows();
    Vector yhat(n, linalg::Purpose{"the predictions"});
    linalg::dot_rows(x, coef.view(), yhat.data());
    for (index_t i = 0; i < n; ++i) {
        const auto it = entity_map_.find(entity_id[i]);
        if (it == entity_map_.end())
            return value_error("Unknown entity ID: " + std::to_string(entity_id[i]) +
                               ". This entity was not present in training data.");
        assert(it->second < alpha.size());  // the map and the effects come from one fit
        yhat[i] += alpha[it->second];
    }
    return yhat;
}

std::optional<Matrix> FE::covariance_matrix() { return cached_covariance(covariance_cache_, xtx_inv_, r_.mse); }

std::string FE::summary() const {
    report::ReportInput in;
    in.title = "Fixed Effects Regression Results";
    in.model_text = in.title;
    in.method_text = "Within Estimator (Fixed Effects)";
    in.covariance_text = robust_ ? "clustered" : "nonrobust";
    in.fit_intercept = false;
    in.intercept_row = false;
    in.fit = r_.report_fit();
    in.within_r_squared = within_r_squared_;
    if (r_.is_fitted()) {
        assert(r_.residuals->size() == training_x_->rows());  // the residuals and the design come from one fit
        in.diagnostics_design = design();
    }
    return report::render(in);
}

std::string FE::repr() const { return std::string("FE(robust=") + (robust_ ? "True" : "False") + ")"; }

}  // namespace ordinata::models

#include "models/panel_data/fe/fe.hpp"

#include <cassert>
#include <cmath>

#include "linalg/ops.hpp"
#include "linalg/row_chunks.hpp"
#include "linalg/factor.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

constexpr const char* kNotFitted = "Model not fitted. Call fit() first.";

std::string count(std::uint64_t v) { return std::to_string(v); }

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

    Matrix x_copy = std::move(*copied);
    const std::vector<std::uint64_t>& rows = index.rows;
    const EntityParts parts = split_by_entity(rows, n_ent);
    const EntityTable means = entity_means(x_copy, &y, rows, n_ent, parts);
    const auto explicit_within = [&] {
        WithinData w = within_transform(x_copy, &y, means, rows);
        return std::pair<Matrix, Vector>(std::move(w.x), std::move(w.y));
    };

    // Singularity is judged against the regressors before demeaning: a
    // regressor constant within every entity leaves only rounding noise.
    Vector raw_norms = linalg::column_norms(x_copy.view());
    const auto within_system = [&](const Matrix* svd_design) {
        // Few rows per entity: the inverse from the cross-products of the
        // explicit demeaned data the SVD route solves.
        if (svd_design) return linear::given_system(linalg::gram(svd_design->view()), Vector(), raw_norms);
        WithinCrossProducts cp = within_cross_products(x_copy, y, means, rows);
        return linear::given_system(std::move(cp.g), std::move(cp.c), raw_norms);
    };
    linear::RoutedProblem problem{.n = n, .q = k + n_ent, .columns = k};
    problem.system = within_system;
    problem.materialise = explicit_within;
    problem.svd_design = explicit_within;
    auto sol = linear::solve_routed(problem, linear::kFeRoute);
    if (!sol) return std::unexpected(sol.error());
    const Vector& beta = sol->beta;
    Matrix& m = sol->inverse;

    WithinResiduals res = within_residuals(x_copy, y, means, rows, beta.view());
    Vector alpha = compute_fixed_effects(res.v, rows, n_ent, parts);
    const double ssr_w = res.ssr;
    double ssr = 0.0;
    // Then v is spent: it takes y~ for the within total sum of squares.
    for (const double part : linalg::map_row_chunks(n, 1, [&](index_t first, index_t count) {
             double sum = 0.0;
             for (index_t i = first; i < first + count; ++i) {
                 const double u = res.v[i] - alpha[rows[i]];
                 sum += u * u;
                 res.v[i] = y[i] - means[rows[i]][k];
             }
             return sum;
         }))
        ssr += part;
    const TotalSum tss_w = total_sum_of_squares(res.v);
    const TotalSum tss = total_sum_of_squares(y);
    const double mse = ssr_w / static_cast<double>(df);
    if (!std::isfinite(mse)) return value_error(linear::kOverflow);

    Vector se(k);
    if (robust_) {
        se = compute_clustered_standard_errors(x_copy, means, res.e, m, rows, n_ent, parts);
    } else {
        for (index_t j = 0; j < k; ++j) se[j] = std::sqrt(mse * m(j, j));
    }

    Vector e = std::move(res.e);
    FitResults r =
        FitResults::of_fit(n, k, beta, se, false, std::move(e), mse, r_squared_from(ssr, tss.tss, tss.noise, true));
    // Nothing above touched the model: it changes only now, all at once.
    r_ = std::move(r);
    within_r_squared_ = r_squared_from(ssr_w, tss_w.tss, tss_w.noise, true);
    n_entities_ = n_ent;
    entity_map_ = std::move(index.map);
    fixed_effects_ = std::move(alpha);
    xtx_inv_ = std::move(m);
    training_x_ = std::move(x_copy);
    training_entity_rows_ = std::move(index.rows);
    covariance_cache_.reset();
    design_cache_.reset();
    return {};
}

Result<void> FE::fit_rescaled(MatrixView x, VectorView y, EntityIdView entity_id) {
    const linear::ColumnScaling scaled(x);
    const linear::TargetScaling target(y);
    FE inner(robust_);
    if (auto ok = inner.fit(scaled.x, target.view(y), entity_id, false); !ok) return ok;
    if (auto ok = linear::unscale_results(inner.r_, scaled.factor, target.factor); !ok) return ok;
    Matrix original = Matrix::from(x);
    linear::rescale_inverse(*inner.xtx_inv_, scaled.factor, false);
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
    training_x_ = std::move(original);
    training_entity_rows_ = std::move(inner.training_entity_rows_);
    covariance_cache_.reset();
    design_cache_.reset();
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

const Matrix* FE::design() const {
    if (!training_x_ || !training_entity_rows_) return nullptr;
    return &design_cache_.get_or_init([&] {
        const std::vector<std::uint64_t>& rows = *training_entity_rows_;
        const EntityTable means = entity_means(*training_x_, nullptr, rows, entity_map_.size());
        return within_transform(*training_x_, nullptr, means, rows).x;
    });
}

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

#include "models/panel_data/fe/fe.hpp"

#include <cmath>

#include "linalg/ops.hpp"
#include "models/linear/normal_equations.hpp"
#include "report/report.hpp"

namespace ordinata::models {

namespace {

using linear::CholeskyStep;

constexpr const char* kNotFitted = "Model not fitted. Call fit() first.";

struct Solution {
    Vector beta;
    std::optional<Matrix> inverse;  // absent on the SVD route until the standard errors
};

Result<Solution> solve_normal_equations(const Matrix& g, const Vector& c) {
    auto s = linear::cholesky_solve(g, c);
    if (s) return Solution{std::move(s->beta), std::move(s->inverse)};
    switch (s.error()) {
        case CholeskyStep::Factor: {
            // G not positive definite: the LU inverse takes over silently.
            auto m = linalg::inv(g);
            if (!m) return runtime_error("Matrix is singular");
            Vector beta = linalg::dot(*m, c.view());
            return Solution{std::move(beta), std::move(*m)};
        }
        case CholeskyStep::ForwardSolve: return runtime_error("Cholesky forward solve failed");
        case CholeskyStep::BackSolve: return runtime_error("Cholesky back solve failed");
        case CholeskyStep::InverseForward:
            return runtime_error("Failed to compute triangular solve for matrix inverse");
        case CholeskyStep::InverseBack: return runtime_error("Failed to compute matrix inverse from Cholesky");
    }
    return runtime_error("Matrix is singular");
}

std::string count(std::uint64_t v) { return std::to_string(v); }

}  // namespace

Result<void> FE::fit(MatrixView x, VectorView y, EntityIdView entity_id) {
    const index_t n = x.rows(), k = x.cols();
    if (n * k == 0 || y.size() == 0 || entity_id.size() == 0) return value_error("Input arrays cannot be empty");
    if (n != y.size() || n != entity_id.size())
        return value_error("Array length mismatch: X has " + count(n) + " rows, y has " + count(y.size()) +
                           " elements, entity_id has " + count(entity_id.size()) + " elements");
    if (!linalg::all_finite(x) || !linalg::all_finite(y)) return value_error("Input contains NaN or infinite values");

    EntityIndex index = build_entity_index(entity_id);
    const std::uint64_t n_ent = index.map.size();
    if (n_ent >= n)
        return value_error(
            "Insufficient degrees of freedom: number of entities must be less than number of observations");
    if (n <= k + n_ent) return value_error("Insufficient degrees of freedom for Fixed Effects estimation");
    const std::uint64_t df = n - k - n_ent;

    // From here on the counts, the training copies and the map describe the
    // new data even if the solve below fails.
    r_.n_samples = n;
    r_.n_features = k;
    n_entities_ = n_ent;
    training_x_ = Matrix::from(x);
    std::vector<std::int64_t> ids(n);
    for (index_t i = 0; i < n; ++i) ids[i] = entity_id[i];
    training_entity_ids_ = std::move(ids);
    entity_map_ = std::move(index.map);
    covariance_cache_.reset();
    design_cache_.reset();
    const Matrix& xs = *training_x_;
    const std::vector<std::uint64_t>& rows = index.rows;

    const WithinData w = within_transform(xs, &y, rows, n_ent);
    const Matrix g = linalg::gram(w.x);
    const Vector c = linalg::dot(w.x.t(), w.y.view());

    const bool normal_route = n > 2 * (k + n_ent) && k <= 999;
    Result<Solution> sol = [&]() -> Result<Solution> {
        if (normal_route) return solve_normal_equations(g, c);
        auto ls = linalg::least_squares(w.x, w.y);
        if (!ls) return runtime_error("SVD failed: " + ls.error().debug());
        return Solution{std::move(ls->solution), std::nullopt};
    }();
    if (!sol) return std::unexpected(sol.error());
    const Vector& beta = sol->beta;

    Vector e = linalg::sub(w.y, linalg::dot(w.x, beta.view()));

    // X beta on the untransformed data serves both the effects and the fit.
    const Vector xb = linalg::dot(xs, beta.view());
    Vector alpha = compute_fixed_effects(y, xb, rows, n_ent);

    const double ssr_w = linalg::dot(e.view(), e.view());
    const double ybar_w = linalg::sum(w.y) / static_cast<double>(n);
    const double r2_w = r_squared_from(ssr_w, linalg::sum_sq_dev(w.y, ybar_w), true);

    double ssr = 0.0;
    for (index_t i = 0; i < n; ++i) {
        const double u = y[i] - (xb[i] + alpha[rows[i]]);
        ssr += u * u;
    }
    const double ybar = linalg::sum(y) / static_cast<double>(n);
    const double r2 = r_squared_from(ssr, linalg::sum_sq_dev(y, ybar), true);
    const double mse = ssr_w / static_cast<double>(df);

    if (!sol->inverse) {
        auto inv = linalg::inv(g);
        if (!inv) return runtime_error("Cannot compute standard errors: matrix is singular");
        sol->inverse = std::move(*inv);
    }
    const Matrix& m = *sol->inverse;

    Vector se(k);
    if (robust_) {
        se = compute_clustered_standard_errors(w.x, e, m, rows, n_ent);
    } else {
        for (index_t j = 0; j < k; ++j) se[j] = std::sqrt(mse * m(j, j));
    }

    r_.coefficients = std::move(sol->beta);
    r_.coef_std_errors = std::move(se);
    r_.residuals = std::move(e);
    r_.mse = mse;
    r_.r_squared = r2;
    within_r_squared_ = r2_w;
    fixed_effects_ = std::move(alpha);
    xtx_inv_ = std::move(sol->inverse);
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
        // After a failed refit the map can be newer than the stored effects:
        // an index without an effect is as unknown as a missing key.
        if (it == entity_map_.end() || it->second >= alpha.size())
            return value_error("Unknown entity ID: " + std::to_string(entity_id[i]) +
                               ". This entity was not present in training data.");
        yhat[i] += alpha[it->second];
    }
    return yhat;
}

std::optional<Matrix> FE::covariance_matrix() {
    return cached_covariance(covariance_cache_, xtx_inv_, r_.mse);
}

const Matrix* FE::design() const {
    if (!training_x_ || !training_entity_ids_) return nullptr;
    return &design_cache_.get_or_init([&] {
        const std::vector<std::int64_t>& ids = *training_entity_ids_;
        const auto rows = entity_rows(EntityIdView{ids.data(), ids.size(), 1}, entity_map_);
        return within_transform(*training_x_, nullptr, rows, entity_map_.size()).x;
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
    in.results = &r_;
    in.within_r_squared = within_r_squared_;
    // After a failed refit the residuals belong to the previous data; pairing
    // them with the new design would read past one of the two.
    if (r_.residuals && training_x_ && training_entity_ids_ && r_.residuals->size() == training_x_->rows())
        in.diagnostics_design = design();
    return report::render(in);
}

std::string FE::repr() const { return std::string("FE(robust=") + (robust_ ? "True" : "False") + ")"; }

}  // namespace ordinata::models

// What OLS and Ridge share beyond the common inference surface: the
// training copy of x and the inverse of the factored cross-products, the
// covariance and the report's design cached from them, and the commit of a
// fit (or of a fit on rescaled columns) to the model.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "models/fit_results.hpp"
#include "models/linear/design_system.hpp"
#include "models/linear/validation.hpp"
#include "models/once_cell.hpp"
#include "report/report.hpp"

namespace ordinata::models {

class LeastSquaresModel : public FittedModel {
public:
    std::optional<Matrix> covariance_matrix() { return cached_covariance(covariance_cache_, inverse_, r_.mse); }
    // Xd rebuilt from the training copy, kept for the report.
    const Matrix* design() const {
        if (!training_x_) return nullptr;
        return &design_cache_.get_or_init([&] { return linear::design_matrix(*training_x_, fit_intercept_); });
    }
    const std::optional<Matrix>& training_x() const { return training_x_; }
    const std::optional<Matrix>& inverse() const { return inverse_; }

protected:
    using FittedModel::FittedModel;

    // Makes a successful fit the model's own, all at once.
    void commit(FitResults r, Matrix inverse, Matrix training_x) {
        r_ = std::move(r);
        inverse_ = std::move(inverse);
        training_x_ = std::move(training_x);
        covariance_cache_.reset();
        design_cache_.reset();
    }

    // The same, from a fit of inner on x's columns multiplied by f.
    // and y by target_factor; fails, leaving the model as it was, when a
    // result does not fit in a double on the original scale.
    Result<void> commit_rescaled(LeastSquaresModel&& inner, VectorView f, double target_factor, MatrixView x) {
        if (auto ok = linear::unscale_results(inner.r_, f, target_factor); !ok) return ok;
        Matrix original = Matrix::from(x);
        linear::rescale_inverse(*inner.inverse_, f, fit_intercept_);
        commit(std::move(inner.r_), std::move(*inner.inverse_), std::move(original));
        return {};
    }

    std::string render_summary(std::string_view title, std::string_view method, std::string_view covariance) const {
        report::ReportInput in;
        in.title = title;
        in.model_text = title;
        in.method_text = method;
        in.covariance_text = covariance;
        in.fit_intercept = fit_intercept_;
        in.fit = r_.report_fit();
        if (r_.residuals && training_x_) in.diagnostics_design = design();
        return report::render(in);
    }

    std::optional<Matrix> inverse_;  // (Xd'Xd)^-1, or (X'X + alpha D)^-1 for Ridge
    std::optional<Matrix> training_x_;
    OnceCell<Matrix> covariance_cache_;
    OnceCell<Matrix> design_cache_;
};

}  // namespace ordinata::models

// What IV and TSLS share beyond the common inference surface: the
// covariance their fit stores, prediction from the regressors, the report,
// and the fit on rescaled columns.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "models/fit_results.hpp"
#include "models/linear/validation.hpp"
#include "report/report.hpp"

namespace ordinata::models {

template <class Derived>
class InstrumentalModel : public FittedModel {
public:
    const std::optional<Matrix>& covariance_matrix() const { return covariance_; }

    Result<Vector> predict(MatrixView regressors) const {
        if (!r_.coefficients) return value_error("Model not fitted");
        if (auto ok = r_.check_feature_count(regressors); !ok) return std::unexpected(ok.error());
        return r_.linear_prediction(regressors);
    }

protected:
    using FittedModel::FittedModel;

    std::string render_summary(std::string_view title, std::string_view method) const {
        report::ReportInput in;
        in.title = title;
        in.model_text = title;
        in.method_text = method;
        in.covariance_text = "nonrobust";
        in.fit_intercept = fit_intercept_;
        in.fit = r_.report_fit();
        return report::render(in);
    }

    // The instruments' scale cancels from the estimates; x's and y's remain.
    Result<void> fit_rescaled(MatrixView z, MatrixView x, VectorView y) {
        const linear::ColumnScaling zs(z), xs(x);
        const linear::TargetScaling target(y);
        Derived inner(fit_intercept_);
        if (auto ok = inner.fit(zs.x, xs.x, target.view(y), false); !ok) return ok;
        if (auto ok = linear::unscale_results(inner.r_, xs.factor, target.factor); !ok) return ok;
        linear::rescale_inverse(*inner.covariance_, xs.factor, fit_intercept_);
        linear::rescale_covariance(*inner.covariance_, target.factor);
        r_ = std::move(inner.r_);
        covariance_ = std::move(inner.covariance_);
        return {};
    }

    std::optional<Matrix> covariance_;
};

}  // namespace ordinata::models

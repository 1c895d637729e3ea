// The result fields every linear estimator stores after a fit, and the
// inference methods that read them.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/estimator_error.hpp"
#include "models/once_cell.hpp"
#include "report/report.hpp"
#include "stats/inference.hpp"

namespace ordinata::models {

using linalg::index_t;
using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// Every estimator commits a fit at once (its fields are computed aside and
// moved in only when the fit has succeeded), so a model holds either nothing
// or all the fields of one fit, never a mixture of two.
struct FitResults {
    std::optional<double> intercept;
    std::optional<Vector> coefficients;
    std::optional<Vector> coef_std_errors;
    std::optional<double> intercept_std_error;
    std::optional<Vector> residuals;
    std::optional<double> mse;
    std::optional<double> r_squared;
    std::optional<std::uint64_t> n_samples;
    std::optional<std::uint64_t> n_features;

    // The results of a fit of n rows on p regressors: the parameters and
    // their standard errors (intercept first when fitted), the residuals,
    // their mean square and R^2.
    static FitResults of_fit(index_t n, index_t p, VectorView params, VectorView std_errors, bool intercept,
                             Vector residuals, double mse, double r_squared) {
        FitResults r;
        r.n_samples = n;
        r.n_features = p;
        r.store_split(stats::split_intercept_and_coefs(params, std_errors, intercept));
        r.residuals = std::move(residuals);
        r.mse = mse;
        r.r_squared = r_squared;
        return r;
    }

    bool is_fitted() const { return coefficients.has_value(); }

    // n - (p + intercept) in unsigned arithmetic, absent counts taken as 0.
    std::uint64_t dof(bool fit_intercept) const {
        return n_samples.value_or(0) - (n_features.value_or(0) + (fit_intercept ? 1u : 0u));
    }

    bool has_inference() const {
        assert(!coefficients || (coef_std_errors && coef_std_errors->size() == coefficients->size()));
        return coefficients.has_value();
    }

    std::optional<Vector> t_statistics() const {
        if (!has_inference()) return std::nullopt;
        return stats::t_statistics(*coefficients, *coef_std_errors);
    }
    std::optional<Vector> p_values(std::uint64_t nu) const {
        if (!has_inference()) return std::nullopt;
        return stats::p_values(*coefficients, *coef_std_errors, nu);
    }
    Result<std::optional<Matrix>> confidence_intervals(std::uint64_t nu, double alpha) const {
        if (!has_inference()) return std::optional<Matrix>{};
        auto ci = stats::confidence_intervals(*coefficients, *coef_std_errors, nu, alpha);
        if (!ci) return value_error(std::move(ci.error()));
        return std::optional<Matrix>(std::move(*ci));
    }

    // 1 - (1 - R^2)(n - 1)/(n - k), when n >= 2 and n > k.
    std::optional<double> r_squared_adj(bool fit_intercept) const {
        if (!r_squared || !n_samples || !n_features) return std::nullopt;
        const std::uint64_t n = *n_samples, k = *n_features + (fit_intercept ? 1u : 0u);
        if (n < 2 || n <= k) return std::nullopt;
        return 1.0 - (1.0 - *r_squared) * static_cast<double>(n - 1) / static_cast<double>(n - k);
    }

    // The column check shared by the predict methods: one column per slope.
    Result<void> check_feature_count(MatrixView x) const {
        const index_t p = coefficients ? coefficients->size() : 0;
        if (x.cols() == p) return {};
        return value_error("Feature count mismatch: expected " + std::to_string(p) + ", got " +
                           std::to_string(x.cols()));
    }

    // The numbers the report prints, read from these results.
    report::ReportFit report_fit() const {
        return {n_samples,
                n_features,
                r_squared,
                mse,
                intercept,
                intercept_std_error,
                coefficients ? &*coefficients : nullptr,
                coef_std_errors ? &*coef_std_errors : nullptr,
                residuals ? &*residuals : nullptr};
    }

    // x * coefficients, plus the intercept when one is stored. x is read
    // where it lies (see linalg::dot_rows): only the output is allocated.
    Vector linear_prediction(MatrixView x) const;
    // The same, or nothing when x holds a NaN or an infinity; one pass.
    std::optional<Vector> finite_linear_prediction(MatrixView x) const;

    void store_split(stats::SplitParams s) {
        intercept = s.intercept;
        intercept_std_error = s.intercept_std_error;
        coefficients = std::move(s.coefficients);
        coef_std_errors = std::move(s.coef_std_errors);
    }
};

// The inference surface every estimator shares, read from the results of
// its latest successful fit. The degrees of freedom count the intercept
// when one is fitted.
class FittedModel {
public:
    std::optional<Vector> standard_errors() const { return r_.coef_std_errors; }
    std::optional<Vector> t_statistics() const { return r_.t_statistics(); }
    std::optional<Vector> p_values() const { return r_.p_values(dof()); }
    Result<std::optional<Matrix>> confidence_intervals(double alpha) const {
        return r_.confidence_intervals(dof(), alpha);
    }
    std::optional<double> r_squared_adj() const { return r_.r_squared_adj(fit_intercept_); }
    bool fit_intercept() const { return fit_intercept_; }
    const FitResults& results() const { return r_; }
    std::uint64_t dof() const { return r_.dof(fit_intercept_); }

protected:
    explicit FittedModel(bool fit_intercept) : fit_intercept_(fit_intercept) {}

    bool fit_intercept_;
    FitResults r_;
};

// The cached covariance mse * inverse, filled on first request after a fit.
std::optional<Matrix> cached_covariance(OnceCell<Matrix>& cell, const std::optional<Matrix>& inverse,
                                        std::optional<double> mse);

// The total sum of squares of y (weighted by w when given) about its mean,
// with the cut-off R^2 reads it against: a total at the level of the
// rounding noise of the mean, (n eps)^2 sum w y^2, counts as a constant
// target and gives 0.
struct TotalSum {
    double tss = 0.0;
    double noise = 0.0;
    double sum_sq = 0.0;  // sum w y^2
};
TotalSum total_sum_of_squares(VectorView y, const VectorView* w = nullptr);

// R^2 = 1 - SSR/TSS, 0 for a constant target (TSS not above the rounding
// noise level given); optionally clamped to [-1, 1] (a NaN ratio then
// becomes -1).
double r_squared_from(double ssr, double tss, double noise, bool clamp);

}  // namespace ordinata::models

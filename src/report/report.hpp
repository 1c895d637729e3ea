// The plain-text results report shared by every estimator's summary().
// An estimator supplies its values; the layout, the header statistics, the
// coefficient rows with their inference and the diagnostics are built here.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linalg/matrix.hpp"
#include "stats/diagnostics.hpp"

namespace ordinata::report {

// The numbers of one fit as the report prints them; what is absent prints
// as for an estimator that was never fitted.
struct ReportFit {
    std::optional<std::uint64_t> n_samples;
    std::optional<std::uint64_t> n_features;
    std::optional<double> r_squared;
    std::optional<double> mse;
    std::optional<double> intercept;
    std::optional<double> intercept_std_error;
    const linalg::Vector* coefficients = nullptr;
    const linalg::Vector* std_errors = nullptr;
    const linalg::Vector* residuals = nullptr;
};

// One coefficient row as a caller has computed it (its own names, its own
// covariance and degrees of freedom).
struct CoefficientRow {
    std::string_view name;
    double estimate, std_error, t, p_value, lower, upper;
};

struct ReportInput {
    std::string_view title;            // line 1 (after 28 spaces)
    std::string_view model_text;       // value of "Model:"
    std::string_view method_text;      // value of "Method:"
    std::string_view covariance_text;  // value of "Covariance Type:"
    // p = k + 1 in the header statistics and degrees of freedom when set, else p = k.
    bool fit_intercept = true;
    // Whether a "const" row is printed (when intercept and its error are present).
    bool intercept_row = true;
    ReportFit fit;
    // Diagnostics matrix for the residual diagnostics; null: no diagnostics.
    const linalg::Matrix* diagnostics_design = nullptr;
    // Or the diagnostics themselves, from residuals the report never sees.
    std::optional<stats::DiagnosticStats> diagnostics;
    // Fixed effects only: the "Within R-squared:" line inserted after "Model:".
    std::optional<double> within_r_squared;

    // What a caller with named terms supplies; absent, the estimator's own
    // report: "y", the rows "const", "x1", ... from `fit`, the header
    // figures from R-squared and n - p.
    std::string_view dependent = "y";
    const std::vector<CoefficientRow>* rows = nullptr;  // in place of the fit's rows
    // Figures the caller has in place of those derived from R-squared and
    // n - p: a Wald F under its covariance, the degrees of freedom left by
    // absorbed effects. They change the printed fields only.
    std::optional<double> f_statistic, f_p_value, r_squared_adj;
    std::optional<std::uint64_t> df_residuals;
    // A fit merged from partitions: the "Partitions merged:" line after
    // "Covariance Type:".
    std::optional<std::uint64_t> partitions;
};

// Statistics of the header block (lines 3 to 9).
struct HeaderStats {
    std::uint64_t n = 0, k = 0, p = 0;
    // n - p, or 0 when n < p (an unfitted estimator with an intercept).
    std::uint64_t nu = 0;
    double r_squared = 0.0, r_squared_adj = 0.0, f_statistic = 0.0, f_p_value = 1.0;
    double log_likelihood = 0.0, aic = 0.0, bic = 0.0;
};
HeaderStats header_stats(const ReportInput& input);

// Texts of the diagnostic notes.
std::string_view durbin_watson_note(double d);
std::string_view normality_note(double jb_p_value);
std::string_view condition_note(double c);

// Renders the report, reading the local clock once.
std::string render(const ReportInput& input);
// Renders the report for a given local time (tests inject the time here).
std::string render(const ReportInput& input, const std::tm& local_time);

}  // namespace ordinata::report

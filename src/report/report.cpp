#include "report/report.hpp"

#include <charconv>
#include <cmath>

#include "stats/diagnostics.hpp"
#include "stats/inference.hpp"
#include "report/format.hpp"

namespace ordinata::report {

namespace {

namespace su = stats;

constexpr double kTwoPi = 6.283185307179586;
constexpr double kAlpha = 0.05;

void rule(std::string& out, char c) { out.append(78, c).push_back('\n'); }

// Lines 3 to 9: label L25, value L25, label L25, number R12.
LineWriter header(std::string& out, std::string_view label, std::string_view value, std::string_view label2) {
    LineWriter w(out);
    w.left(label, 25).left(value, 25).left(label2, 25);
    return w;
}

void coefficient_row(std::string& out, const CoefficientRow& row) {
    LineWriter(out)
        .left(cut(row.name, 15), 15)
        .fixed(row.estimate, 4, 10)
        .fixed(row.std_error, 3, 10)
        .fixed(row.t, 3, 10)
        .fixed(row.p_value, 3, 10)
        .fixed(row.lower, 3, 7)
        .fixed(row.upper, 3, 7)
        .end();
}

// A row of the estimator's own fit, its inference at n - p.
void coefficient_row(std::string& out, std::string_view name, double b, double s, std::uint64_t nu, double q) {
    const double t = b / s;
    const double margin = q * s;
    coefficient_row(out, {name, b, s, t, su::p_value(t, nu), b - margin, margin + b});
}

void pair_line(std::string& out, std::string_view l1, double v1, std::string_view l2, double v2) {
    LineWriter(out).left(l1, 25).fixed(v1, 3, 12).left(l2, 25).fixed(v2, 3, 12).end();
}

}  // namespace

HeaderStats header_stats(const ReportInput& input) {
    const ReportFit& r = input.fit;
    HeaderStats h;
    h.n = r.n_samples.value_or(0);
    h.k = r.n_features.value_or(0);
    h.p = h.k + (input.fit_intercept ? 1u : 0u);
    h.nu = h.n >= h.p ? h.n - h.p : 0;
    const double n = static_cast<double>(h.n), k = static_cast<double>(h.k), p = static_cast<double>(h.p),
                 v = static_cast<double>(h.nu);
    if (r.r_squared) {
        const double r2 = *r.r_squared;
        h.r_squared = r2;
        const double n_minus_1 = h.n >= 1 ? static_cast<double>(h.n - 1) : 0.0;
        h.r_squared_adj = 1.0 - ((1.0 - r2) * n_minus_1) / v;
        if (h.k != 0 && h.n != h.p) h.f_statistic = (r2 / k) / ((1.0 - r2) / v);
    }
    h.f_p_value = su::f_sf(h.f_statistic, h.k, h.nu);
    if (r.mse) {
        const double half = -0.5 * n;
        h.log_likelihood = half * std::log(*r.mse * kTwoPi) + half;
        h.aic = (p + p) + (-2.0 * h.log_likelihood);
        h.bic = std::log(n) * p + (-2.0 * h.log_likelihood);
    }
    return h;
}

std::string_view durbin_watson_note(double d) {
    if (d < 1.5) return "positive autocorrelation";
    if (d > 2.5) return "negative autocorrelation";
    return "no significant autocorrelation";
}

std::string_view normality_note(double jb_p_value) {
    return jb_p_value < 0.05 ? "reject normality hypothesis" : "fail to reject normality hypothesis";
}

std::string_view condition_note(double c) {
    if (c > 30.0) return "potential multicollinearity issues";
    if (c > 15.0) return "moderate condition number";
    return "well-conditioned";
}

std::string render(const ReportInput& input) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return render(input, local);
}

std::string render(const ReportInput& input, const std::tm& local_time) {
    const ReportFit& r = input.fit;
    const HeaderStats h = header_stats(input);

    std::string out;
    out.reserve(2048);
    out.append(28, ' ').append(input.title).push_back('\n');
    rule(out, '=');
    header(out, "Dep. Variable:", cut(input.dependent, 25), "R-squared:").fixed(h.r_squared, 3, 12).end();
    header(out, "Model:", input.model_text, "Adj. R-squared:")
        .fixed(input.r_squared_adj.value_or(h.r_squared_adj), 3, 12)
        .end();
    // Inserted directly below the "Model:" line.
    if (input.within_r_squared)
        LineWriter(out)
            .left("", 25)
            .left("", 25)
            .left("Within R-squared:", 25)
            .fixed(*input.within_r_squared, 3, 12)
            .end();
    header(out, "Method:", input.method_text, "F-statistic:")
        .fixed(input.f_statistic.value_or(h.f_statistic), 3, 12)
        .end();
    header(out, "Date:", date_text(local_time), "Prob (F-statistic):")
        .exp(input.f_p_value.value_or(h.f_p_value), 2, 12)
        .end();
    header(out, "Time:", time_text(local_time), "Log-Likelihood:").fixed(h.log_likelihood, 2, 12).end();
    LineWriter(out).left("No. Observations:", 25).count(h.n, 25).left("AIC:", 25).fixed(h.aic, 2, 12).end();
    LineWriter(out)
        .left("Df Residuals:", 25)
        .count(input.df_residuals.value_or(h.nu), 25)
        .left("BIC:", 25)
        .fixed(h.bic, 2, 12)
        .end();
    LineWriter(out).left("Df Model:", 25).count(h.k, 25).end();
    LineWriter(out).left("Covariance Type:", 25).left(cut(input.covariance_text, 25), 25).end();
    if (input.partitions) LineWriter(out).left("Partitions merged:", 25).count(*input.partitions, 0).end();
    rule(out, '=');
    LineWriter(out)
        .left("", 15)
        .right("coef", 10)
        .right("std err", 10)
        .right("t", 10)
        .right("P>|t|", 10)
        .right("[0.025      0.975]", 15)
        .end();
    rule(out, '-');

    const bool intercept_row = input.intercept_row && r.intercept && r.intercept_std_error;
    const bool slope_rows = r.coefficients && r.std_errors;
    if (input.rows) {
        for (const CoefficientRow& row : *input.rows) coefficient_row(out, row);
    } else if (intercept_row || slope_rows) {
        // alpha is fixed and valid, so the critical value always exists.
        const double q = su::critical_value(kAlpha, h.nu).value_or(std::nan(""));
        if (intercept_row) coefficient_row(out, "const", *r.intercept, *r.intercept_std_error, h.nu, q);
        if (slope_rows) {
            const auto& b = *r.coefficients;
            const auto& s = *r.std_errors;
            const linalg::index_t rows = b.size() < s.size() ? b.size() : s.size();
            char name[24] = "x";
            for (linalg::index_t i = 0; i < rows; ++i) {
                const auto end = std::to_chars(name + 1, name + sizeof(name), i + 1).ptr;
                coefficient_row(out, std::string_view(name, end), b[i], s[i], h.nu, q);
            }
        }
    }
    rule(out, '=');

    if (r.mse) pair_line(out, "Mean Squared Error:", *r.mse, "Root MSE:", std::sqrt(*r.mse));
    std::optional<su::DiagnosticStats> diagnostics = input.diagnostics;
    if (!diagnostics && input.diagnostics_design && r.residuals)
        diagnostics = su::DiagnosticStats::compute(*r.residuals, *input.diagnostics_design);
    if (diagnostics) {
        const su::DiagnosticStats& d = *diagnostics;
        const auto finite = [](double a, double b) { return std::isfinite(a) && std::isfinite(b); };
        if (finite(d.omnibus, d.omnibus_p_value))
            pair_line(out, "Omnibus:", d.omnibus, "Prob(Omnibus):", d.omnibus_p_value);
        if (finite(d.jarque_bera, d.jarque_bera_p_value))
            pair_line(out, "Jarque-Bera (JB):", d.jarque_bera, "Prob(JB):", d.jarque_bera_p_value);
        if (finite(d.skew, d.kurtosis)) pair_line(out, "Skew:", d.skew, "Kurtosis:", d.kurtosis);
        if (finite(d.durbin_watson, d.condition_number))
            pair_line(out, "Durbin-Watson:", d.durbin_watson, "Cond. No.:", d.condition_number);
        rule(out, '=');
        out.append("Diagnostic Notes:\n");
        if (std::isfinite(d.durbin_watson))
            out.append("- Durbin-Watson suggests ").append(durbin_watson_note(d.durbin_watson)).push_back('\n');
        if (std::isfinite(d.jarque_bera_p_value))
            out.append("- Jarque-Bera test: ").append(normality_note(d.jarque_bera_p_value)).append(" (\u03b1=0.05)\n");
        if (std::isfinite(d.condition_number))
            out.append("- Condition number indicates: ").append(condition_note(d.condition_number)).push_back('\n');
        rule(out, '=');
    } else {
        rule(out, '=');
    }
    return out;
}

}  // namespace ordinata::report

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report/format.hpp"
#include "report/report.hpp"

using namespace ordinata;

namespace {

// One field as the report writes it, without padding.
std::string format_fixed(double v, int digits) {
    std::string out;
    report::LineWriter(out).fixed(v, digits, 0);
    return out;
}

std::string format_exp(double v, int digits) {
    std::string out;
    report::LineWriter(out).exp(v, digits, 0);
    return out;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

const std::string* find_line(const std::vector<std::string>& ls, const std::string& prefix) {
    for (const auto& l : ls)
        if (l.starts_with(prefix)) return &l;
    return nullptr;
}

std::tm fixed_time() {
    std::tm t{};
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 5, t.tm_wday = 6;
    t.tm_hour = 6, t.tm_min = 10, t.tm_sec = 0;
    return t;
}

linalg::Vector vec(const std::vector<double>& v) {
    linalg::Vector out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i];
    return out;
}

}  // namespace

TEST(Format, FixedMatchesCLibraryIncludingTies) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1e6, 1e6);
    std::vector<double> values{
        0.125, 0.375,        2.5,  3.5,  0.0625, 1.0005, 2.675,  -0.0005,
        1e22,  123456.78125, 1e20, kInf, -kInf,  -0.0,   5e-324, std::numeric_limits<double>::max()};
    for (int i = 0; i < 2000; ++i) values.push_back(std::round(u(rng) * 8) / 8 * std::pow(10.0, i % 5 - 2));
    char buf[400];
    for (double v : values)
        for (int d : {0, 2, 3, 4}) {
            std::snprintf(buf, sizeof buf, "%.*f", d, v);
            ASSERT_EQ(format_fixed(v, d), buf) << v << " F" << d;
        }
}

TEST(Format, FixedNaNHasNoSign) {
    EXPECT_EQ(format_fixed(std::nan(""), 3), "NaN");
    EXPECT_EQ(format_fixed(-std::nan(""), 3), "NaN");
}

TEST(Format, Exponent) {
    EXPECT_EQ(format_exp(1e-10, 2), "1.00e-10");
    EXPECT_EQ(format_exp(1.0, 2), "1.00e0");
    EXPECT_EQ(format_exp(0.0, 2), "0.00e0");
    EXPECT_EQ(format_exp(9.996e-5, 2), "1.00e-4");
    EXPECT_EQ(format_exp(-2.5e-7, 2), "-2.50e-7");
    EXPECT_EQ(format_exp(12345.0, 2), "1.23e4");
    EXPECT_EQ(format_exp(1.5e300, 2), "1.50e300");
    EXPECT_EQ(format_exp(5e-324, 2), "4.94e-324");
}

TEST(Format, WidthsCountCharactersNotBytes) {
    // "größe" is 5 characters in 7 bytes; the ellipsis is 3 bytes.
    std::string out;
    report::LineWriter(out).left("gr\u00f6\u00dfe", 8).right("\u00e9", 3).end();
    EXPECT_EQ(out, "gr\u00f6\u00dfe      \u00e9\n");
    EXPECT_EQ(report::cut("abcdef", 6), "abcdef");
    EXPECT_EQ(report::cut("abcdefg", 6), "abcde\u2026");
    EXPECT_EQ(report::cut("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", 4), "\u00e9\u00e9\u00e9\u2026");
    EXPECT_EQ(report::text_width(report::cut("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", 4)), 4u);
}

TEST(Format, ClockTextsAndLocale) {
    const std::tm t = fixed_time();
    EXPECT_EQ(report::date_text(t), "Sat, 05 Dec 2026");
    EXPECT_EQ(report::time_text(t), "06:10:00");
    std::tm jan = t;
    jan.tm_mon = 0, jan.tm_wday = 0, jan.tm_mday = 31, jan.tm_hour = 23, jan.tm_min = 59, jan.tm_sec = 60;
    EXPECT_EQ(report::date_text(jan), "Sun, 31 Jan 2026");
    EXPECT_EQ(report::time_text(jan), "23:59:60");
}

TEST(Notes, ThresholdsAreInclusiveWhereStated) {
    EXPECT_EQ(report::durbin_watson_note(std::nextafter(1.5, 0.0)), "positive autocorrelation");
    EXPECT_EQ(report::durbin_watson_note(1.5), "no significant autocorrelation");
    EXPECT_EQ(report::durbin_watson_note(2.5), "no significant autocorrelation");
    EXPECT_EQ(report::durbin_watson_note(std::nextafter(2.5, 3.0)), "negative autocorrelation");
    EXPECT_EQ(report::normality_note(std::nextafter(0.05, 0.0)), "reject normality hypothesis");
    EXPECT_EQ(report::normality_note(0.05), "fail to reject normality hypothesis");
    EXPECT_EQ(report::condition_note(15.0), "well-conditioned");
    EXPECT_EQ(report::condition_note(std::nextafter(15.0, 16.0)), "moderate condition number");
    EXPECT_EQ(report::condition_note(30.0), "moderate condition number");
    EXPECT_EQ(report::condition_note(std::nextafter(30.0, 31.0)), "potential multicollinearity issues");
}

TEST(Report, RowsWithZeroErrorsWithinLineAndNoIntercept) {
    const auto b = vec({2.0, -3.0, 0.0}), s = vec({0.0, 0.0});
    const report::ReportFit r{12, 2, 1.0, 0.25, 1.0, 0.5, &b, &s, nullptr};
    report::ReportInput in{
        "Fixed Effects Regression Results", "FE", "W", "clustered", false, false, r, nullptr, std::nullopt, 0.875};
    const auto ls = lines(report::render(in, fixed_time()));
    EXPECT_EQ(ls[4], std::string(52, ' ') + "Within R-squared:                0.875");
    EXPECT_TRUE(ls[5].starts_with("Method:"));
    EXPECT_EQ(find_line(ls, "const"), nullptr);
    // R^2 = 1 gives F = inf and a p-value of exactly 0.
    EXPECT_TRUE(find_line(ls, "Method:")->ends_with("inf"));
    EXPECT_TRUE(find_line(ls, "Date:")->ends_with(" 0.00e0"));
    EXPECT_EQ(*find_line(ls, "x1"), "x1                  2.0000      0.000        inf      0.000   2.000   2.000");
    EXPECT_EQ(*find_line(ls, "x2"), "x2                 -3.0000      0.000       -inf      0.000  -3.000  -3.000");
    EXPECT_EQ(find_line(ls, "x3"), nullptr);  // rows stop at the shorter vector
    EXPECT_EQ(find_line(ls, "Mean Squared Error:")->size(), 77u);
}

TEST(Report, ConditionalDiagnosticLines) {
    const auto b = vec({2.0}), s = vec({1.0}), e = vec({1, -1, 2, -2, 0.5, -0.5, 1, 0, -1, 0});
    const report::ReportFit r{10, 1, 0.5, 1.0, 1.0, 0.5, &b, &s, &e};
    linalg::Matrix design(10, 2, 1.0);
    for (std::size_t i = 0; i < 10; ++i) design(i, 1) = 0.0;  // a zero column: infinite condition number
    report::ReportInput in{"OLS", "OLS", "LS", "nonrobust", true, true, r, &design, std::nullopt, std::nullopt};
    const auto ls = lines(report::render(in, fixed_time()));
    for (const char* absent :
         {"Omnibus:", "Jarque-Bera (JB):", "- Jarque-Bera test:", "Durbin-Watson:", "- Condition number"})
        EXPECT_EQ(find_line(ls, absent), nullptr) << absent;
    // Moments of e with divisor n: m3 = 0, m4 / m2^2 - 3 = 3.6125 / 1.5625 - 3.
    EXPECT_EQ(*find_line(ls, "Skew:"), "Skew:                            0.000 Kurtosis:                       -0.688");
    EXPECT_EQ(*find_line(ls, "- Durbin-Watson"), "- Durbin-Watson suggests negative autocorrelation");
    EXPECT_EQ(ls.back(), std::string(78, '='));
    for (const auto& l : ls) {
        if (l.starts_with("const") || l.starts_with("x1")) EXPECT_EQ(l.size(), 75u);
        if (l.starts_with("Df Model:") || l.starts_with("Covariance")) EXPECT_EQ(l.size(), 51u);
    }
}

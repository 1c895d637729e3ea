// Residual diagnostics printed in the lower block of the summary report.
#pragma once

#include "linalg/matrix.hpp"

namespace ordinata::stats {

// Sums of a residual series that merge across consecutive pieces of it, so
// that the pieces of a partitioned series give the statistics of the whole:
// the count, the mean and the central power sums (merged by Pebay's update),
// the raw sum of squares, the squared steps within the pieces and the end
// values that join a piece to the next.
struct ResidualSums {
    double n = 0.0, mean = 0.0, m2 = 0.0, m3 = 0.0, m4 = 0.0;
    double sum_sq = 0.0, squared_steps = 0.0, first = 0.0, last = 0.0;

    static ResidualSums of(linalg::VectorView e);
    // The sums of the series a followed by b.
    static ResidualSums merge(const ResidualSums& a, const ResidualSums& b);
};

// Eight statistics; one that cannot be computed for the input is NaN.
struct DiagnosticStats {
    double durbin_watson;
    double jarque_bera;
    double jarque_bera_p_value;
    double omnibus;
    double omnibus_p_value;
    double skew;
    double kurtosis;
    double condition_number;

    // Never fails. The condition number depends on
    // `matrix` only (the 2-norm condition number of its unit-length
    // columns); the other seven on the residuals only.
    static DiagnosticStats compute(linalg::VectorView residuals, linalg::MatrixView matrix);
    // The same from the merged sums of the residuals and the condition number.
    static DiagnosticStats from_sums(const ResidualSums& sums, double condition_number);
};

// Upper tail of the chi-squared distribution with 2 degrees of freedom,
// NaN for an infinite or NaN statistic.
double chi2_2_sf(double x);

}  // namespace ordinata::stats

// Residual diagnostics printed in the lower block of the summary report.
#pragma once

#include "linalg/matrix.hpp"

namespace ordinata::stats {

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
};

// Upper tail of the chi-squared distribution with 2 degrees of freedom,
// NaN for an infinite or NaN statistic.
double chi2_2_sf(double x);

}  // namespace ordinata::stats

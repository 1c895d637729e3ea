// Householder QR in extended precision for small ill-conditioned least-squares
// problems: the digits the working-precision QR loses to rounding (about
// cond * eps) are kept, and the results are the same on every CPU, since no
// BLAS kernel takes part.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "linalg/matrix.hpp"

namespace ordinata::linalg {

// Problems up to this many multiply-adds (rows x cols^2) are small enough
// for the extended-precision factorisation to cost a few milliseconds.
inline constexpr index_t kExtendedQrWork = index_t{1} << 22;

// For min || b - A x || with A (m x n, m > n) of full column rank:
struct ExtendedQr {
    Matrix r;          // n x n upper triangle, rounded to working precision
    Vector solution;   // x
    Matrix inverse;    // (A'A)^-1 = R^-1 R^-T
    double ssr = 0.0;  // || b - A x ||^2, from the tail of Q'b
    // For a border vector u when one is given: u'(A'A)^-1 u and
    // (A'A)^-1 u, in extended precision before rounding (the intercept's
    // entries of the inverse of a centred design, where m'S^-1 m would
    // otherwise cancel digits away).
    double border_quadratic = 0.0;
    Vector border_solution;
    // R before rounding, row-major n x n (zeros below the diagonal): the
    // sandwich's coordinates R^-T a_i keep its digits.
    std::vector<long double> r_extended;
};
// Row i of [A | b] (n + 1 values), written by the caller in extended
// precision, so that the digits of a design formed from the data (centred,
// weighted) are not rounded away before the factorisation.
using ExtendedRow = std::function<void(index_t i, long double* row)>;
// Nothing when a column is annihilated (a zero pivot) or A holds a value
// that is not finite.
std::optional<ExtendedQr> extended_qr(index_t m, index_t n, const ExtendedRow& fill, const double* border = nullptr);

}  // namespace ordinata::linalg

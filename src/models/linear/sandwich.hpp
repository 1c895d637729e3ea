// Heteroskedasticity-robust (HC0) and clustered sandwiches from a factor of
// the design. (Xd'Xd)^-1 B (Xd'Xd)^-1 with B = sum e_i^2 x_i x_i' formed on
// its own cancels like the square of the design's condition (and far worse
// on uncentred columns with large offsets). Here the design is taken in
// centred form beside its intercept, its columns scaled by powers of two,
// and factored, A D^-1 = Q R; the meat is summed over the coordinates
// q_i = R^-T a_i / D, which are orthonormal, so the errors grow like the
// condition itself and no more:
//   V = T^-1 D^-1 R^-1 (sum e_i^2 q_i q_i') R^-T D^-1 T^-T
// with T the change from [1 | X] to [1 | X - 1 m'], for a pivot m (the fit's
// column means; the ones column need not be exactly orthogonal to the
// centred ones: the factor carries what is left).
//
// The factor: on well-conditioned designs the Cholesky factor of the
// centred, equilibrated cross-products the fit formed, whose inverse turns
// the meat of the scaled rows into the sandwich (cheap: nothing but the one
// pass over the rows, and no worse than the fit's own normal equations); on
// ill-conditioned ones the R of a Householder QR of the scaled design, in
// extended precision for the small designs the core also factors that way
// (the coordinates, the meat and the residuals' last digits then in
// extended precision too), by LAPACK otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "linalg/matrix.hpp"

namespace ordinata::models::linear {

using linalg::index_t;
using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// The design of a sandwich: X as the fit read it and the cross-products it
// factored, X'X, or with an intercept (pivot set) the centred
// sum (x_i - xbar)(x_i - xbar)' about the exact means xbar = pivot +
// pivot_error. Borrowed: the caller's objects outlive the factor.
struct SandwichDesign {
    MatrixView x;
    const Matrix* gram = nullptr;
    const Vector* pivot = nullptr;
    const Vector* pivot_error = nullptr;  // zero when not given
};

class SandwichFactor {
public:
    // Empty when the design cannot be factored (a zero column, or values
    // that are not finite): the fit refuses such a design before.
    static std::optional<SandwichFactor> of(const SandwichDesign& design);

    // sqrt(diag V) for V = (Xd'Xd)^-1 Xd' diag(e^2) Xd (Xd'Xd)^-1, in one
    // pass over the rows; the intercept first when there is one.
    Vector hc0_errors(VectorView e) const;
    // Whether the factor is the extended-precision one of a small design,
    // which forms the clustered sums itself.
    bool extended() const { return kind_ == Kind::ExtendedQr; }
    // The same with the meat sum_g s_g s_g' of a design without intercept:
    // from the caller's per-cluster sums t_g = sum over the cluster's rows
    // of e_i x_i (groups x p, row-major), or, when extended(), from the
    // rows' clusters 0..groups-1 themselves.
    Vector clustered_errors(Matrix sums) const;
    Vector clustered_errors(VectorView e, const std::uint64_t* group, index_t groups) const;

private:
    enum class Kind { Cholesky, Qr, ExtendedQr };
    SandwichFactor(const SandwichDesign& design, Kind kind) : design_(design), kind_(kind) {}
    bool try_cholesky();
    bool factor_by_qr();
    // sqrt(diag(A C A')) with A = T^-1 D^-1 R^-1, for the meat C in the
    // coordinates of R (the extended factor's, in the second form).
    Vector errors(const Matrix& r, const Matrix& c) const;
    Vector errors(const std::vector<long double>& c) const;
    // The same from the meat B of the scaled rows a_i and the inverse
    // (A'A)^-1 of the Cholesky route: A = T^-1 D^-1 (A'A)^-1.
    Vector errors_from_inverse(const Matrix& b) const;
    // sqrt(diag(A C A')) for A = T^-1 D^-1 a.
    Vector quadratic_diagonal(Matrix a, const Matrix& c) const;
    // a_ij / d_j: row i of the scaled design in extended precision.
    long double scaled(index_t i, index_t j) const;
    // Rows first.. of |e_i - shift| [1 | x_i - m] (the ones without an
    // intercept), unscaled, into out (rows x k).
    template <bool Intercept>
    void centred_rows(index_t first, index_t rows, VectorView e, double shift, double* out) const;
    // The small designs' residuals are made orthogonal to the design before
    // they enter the meat, e - A v with v = (A'A)^-1 A'e: the least-squares
    // residuals of the data as given, whatever digits the rounded
    // parameters lost (an intercept's rounding beside large offsets, a
    // slope's on a near-collinear design). row receives the scaled a_i.
    std::vector<long double> residual_correction(VectorView e) const;
    long double orthogonal_residual(index_t i, VectorView e, const std::vector<long double>& v, long double* row) const;

    SandwichDesign design_;
    Kind kind_;
    index_t n_ = 0, p_ = 0, off_ = 0, k_ = 0;
    Vector inv_d_;                         // 1 / D, exact (powers of two), intercept first
    Vector pivot_;                         // m, zeros without an intercept
    Matrix r_;                             // k x k upper, of the QR routes
    Matrix inverse_;                       // (A'A)^-1 for the scaled design A, of the Cholesky route
    std::vector<long double> r_extended_;  // k x k row-major (ExtendedQr)
};

}  // namespace ordinata::models::linear

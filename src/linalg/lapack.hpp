// Every BLAS and LAPACK prototype the layer calls, in one place. The library
// is OpenBLAS built with 32-bit integers (LP64). Trailing std::size_t
// parameters are the hidden Fortran lengths of the character arguments.
//
// Symbol names: the PyPI OpenBLAS (scipy-openblas32) exports every routine
// with a prefix (scipy_dgetrf_, scipy_cblas_dgemm), a system OpenBLAS without
// one. CMake defines ORDINATA_BLAS_PREFIX as a string literal ("scipy_" or
// ""), and each prototype keeps its plain name for the call sites but binds
// to the exported one through an asm label. Every prototype added here ends
// with ORDINATA_BLAS_SYMBOL("its plain name"), e.g.
//   void dgeqrf_(...) ORDINATA_BLAS_SYMBOL("dgeqrf_");
// (check the library's real names with nm -D).
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef ORDINATA_BLAS_PREFIX
#error "ORDINATA_BLAS_PREFIX is defined by CMake: the BLAS symbol prefix, \"scipy_\" or \"\""
#endif
#define ORDINATA_BLAS_SYMBOL(name) __asm__(ORDINATA_BLAS_PREFIX name)

namespace ordinata::linalg::lapack {

using lapack_int = std::int32_t;

// Whether a dimension fits LAPACK's 32-bit integers, and the narrowing once
// it is known to.
inline bool fits_int(std::uint64_t v) { return v <= static_cast<std::uint64_t>(INT32_MAX); }
inline lapack_int as_int(std::uint64_t v) { return static_cast<lapack_int>(v); }

enum CblasOrder { RowMajor = 101, ColMajor = 102 };
enum CblasTranspose { NoTrans = 111, Trans = 112 };
enum CblasUplo { Upper = 121, Lower = 122 };
enum CblasDiag { NonUnit = 131, Unit = 132 };
enum CblasSide { Left = 141, Right = 142 };

extern "C" {
void cblas_dgemm(int order, int trans_a, int trans_b, lapack_int m, lapack_int n, lapack_int k, double alpha,
                 const double* a, lapack_int lda, const double* b, lapack_int ldb, double beta, double* c,
                 lapack_int ldc) ORDINATA_BLAS_SYMBOL("cblas_dgemm");
void cblas_dgemv(int order, int trans, lapack_int m, lapack_int n, double alpha, const double* a, lapack_int lda,
                 const double* x, lapack_int incx, double beta, double* y, lapack_int incy)
    ORDINATA_BLAS_SYMBOL("cblas_dgemv");
void cblas_dsyrk(int order, int uplo, int trans, lapack_int n, lapack_int k, double alpha, const double* a,
                 lapack_int lda, double beta, double* c, lapack_int ldc) ORDINATA_BLAS_SYMBOL("cblas_dsyrk");
// Overwrites B with the solution of op(A) X = alpha B (SIDE = Left).
void cblas_dtrsm(int order, int side, int uplo, int trans_a, int diag, lapack_int m, lapack_int n, double alpha,
                 const double* a, lapack_int lda, double* b, lapack_int ldb) ORDINATA_BLAS_SYMBOL("cblas_dtrsm");
double cblas_ddot(lapack_int n, const double* x, lapack_int incx, const double* y, lapack_int incy)
    ORDINATA_BLAS_SYMBOL("cblas_ddot");

// Overwrites A with its LU factors.
void dgetrf_(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda, lapack_int* ipiv,
             lapack_int* info) ORDINATA_BLAS_SYMBOL("dgetrf_");
// Overwrites the UPLO triangle of A with the Cholesky factor.
void dpotrf_(const char* uplo, const lapack_int* n, double* a, const lapack_int* lda, lapack_int* info,
             std::size_t uplo_len) ORDINATA_BLAS_SYMBOL("dpotrf_");
// Overwrites B with the solution.
void dtrtrs_(const char* uplo, const char* trans, const char* diag, const lapack_int* n, const lapack_int* nrhs,
             const double* a, const lapack_int* lda, double* b, const lapack_int* ldb, lapack_int* info,
             std::size_t uplo_len, std::size_t trans_len, std::size_t diag_len) ORDINATA_BLAS_SYMBOL("dtrtrs_");
// Overwrites A and B (solution in the first N rows of B).
void dgelsd_(const lapack_int* m, const lapack_int* n, const lapack_int* nrhs, double* a, const lapack_int* lda,
             double* b, const lapack_int* ldb, double* s, const double* rcond, lapack_int* rank, double* work,
             const lapack_int* lwork, lapack_int* iwork, lapack_int* info) ORDINATA_BLAS_SYMBOL("dgelsd_");
// Factor solves, orthogonal and spectral factorisations for the numerical
// rank decisions.
// Overwrites B with the solution from the Cholesky factor in A.
void dpotrs_(const char* uplo, const lapack_int* n, const lapack_int* nrhs, const double* a, const lapack_int* lda,
             double* b, const lapack_int* ldb, lapack_int* info, std::size_t uplo_len) ORDINATA_BLAS_SYMBOL("dpotrs_");
// Overwrites B with the solution from the LU factors in A.
void dgetrs_(const char* trans, const lapack_int* n, const lapack_int* nrhs, const double* a, const lapack_int* lda,
             const lapack_int* ipiv, double* b, const lapack_int* ldb, lapack_int* info, std::size_t trans_len)
    ORDINATA_BLAS_SYMBOL("dgetrs_");
// Overwrites A with R (upper triangle) and the Householder vectors below it.
void dgeqrf_(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda, double* tau, double* work,
             const lapack_int* lwork, lapack_int* info) ORDINATA_BLAS_SYMBOL("dgeqrf_");
// Overwrites C with Q'C (SIDE = 'L', TRANS = 'T') from dgeqrf's output.
void dormqr_(const char* side, const char* trans, const lapack_int* m, const lapack_int* n, const lapack_int* k,
             const double* a, const lapack_int* lda, const double* tau, double* c, const lapack_int* ldc, double* work,
             const lapack_int* lwork, lapack_int* info, std::size_t side_len, std::size_t trans_len)
    ORDINATA_BLAS_SYMBOL("dormqr_");
// Overwrites A; singular values in S (JOBU = JOBVT = 'N').
void dgesvd_(const char* jobu, const char* jobvt, const lapack_int* m, const lapack_int* n, double* a,
             const lapack_int* lda, double* s, double* u, const lapack_int* ldu, double* vt, const lapack_int* ldvt,
             double* work, const lapack_int* lwork, lapack_int* info, std::size_t jobu_len, std::size_t jobvt_len)
    ORDINATA_BLAS_SYMBOL("dgesvd_");
// Overwrites A; eigenvalues in ascending order in W (JOBZ = 'N').
void dsyev_(const char* jobz, const char* uplo, const lapack_int* n, double* a, const lapack_int* lda, double* w,
            double* work, const lapack_int* lwork, lapack_int* info, std::size_t jobz_len, std::size_t uplo_len)
    ORDINATA_BLAS_SYMBOL("dsyev_");

// OpenBLAS's thread count, set while the library's own threads run. Weak: a
// BLAS without them (another implementation, or one built single-threaded)
// leaves both null and the library leaves that BLAS's threading alone.
int openblas_get_num_threads() ORDINATA_BLAS_SYMBOL("openblas_get_num_threads") __attribute__((weak));
void openblas_set_num_threads(int threads) ORDINATA_BLAS_SYMBOL("openblas_set_num_threads") __attribute__((weak));
}

}  // namespace ordinata::linalg::lapack

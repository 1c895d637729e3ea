// The named operations the estimators call. Every operation reads its inputs
// through views, never modifies them, and returns a fresh owned result.
#pragma once

#include <cstdint>
#include <optional>

#include "linalg/error.hpp"
#include "linalg/matrix.hpp"

namespace ordinata::linalg {

enum class Triangle { Lower, Upper };

// Products. Shapes must agree; the callers check them beforehand.
Matrix dot(MatrixView a, MatrixView b);
Vector dot(MatrixView a, VectorView x);
double dot(VectorView a, VectorView b);
// y = A x into a caller's buffer of A.rows() entries, for inputs of any
// size. A view BLAS can address is read where it lies, as dot() does; any
// other (a broadcast row, a strided slice) is copied one cache-sized block
// of rows at a time, never as a whole. With check_finite, returns false as
// soon as A holds a NaN or an infinity, leaving y partly written.
bool dot_rows(MatrixView a, VectorView x, double* y, bool check_finite = false);
// X'X through the symmetric rank-k update; both triangles filled.
Matrix gram(MatrixView x);
// C += A B (both may be transposed or strided views).
void dot_accumulate(MatrixView a, MatrixView b, Matrix& c);
// C = A B into a caller's row-major buffer with leading dimension ldc (at
// least B's columns), so that a pass's chunks of any size share one buffer.
void dot_into(MatrixView a, MatrixView b, double* c, index_t ldc);
// C += A'A on the upper triangle of C only (callers mirror once at the end).
// Up to kSmallProduct multiply-adds, each entry is a plain sum over the rows
// in order.
void gram_accumulate_upper(MatrixView a, Matrix& c);
// Below this many multiply-adds a plain loop beats the BLAS call overhead.
inline constexpr index_t kSmallProduct = 16384;
// Column sums of x, one pass over the rows.
Vector column_sums(MatrixView x);
// Copies the upper triangle into the lower one.
void mirror_upper(Matrix& c);

Matrix identity(index_t n);

// Solves T X = B for every column of B in one level-3 call (dtrsm). T is
// read where it lies when BLAS can address it, so a large factor is never
// copied. Like dtrtrs, an exactly zero diagonal entry i fails with INFO = i.
LinalgResult<Matrix> solve_triangular_many(MatrixView t, Triangle tri, MatrixView b);
LinalgResult<Vector> solve_triangular_many(MatrixView t, Triangle tri, VectorView b);
// B := B U^-1 in place for the rows of B (rows x n, row-major, leading
// dimension ld) and the upper-triangular U (n x n): each row b' becomes
// (U^-T b)'. A block of rows is one level-3 call (dtrsm); below
// kSmallProduct multiply-adds a plain forward substitution per row. U's
// diagonal must be nonzero (the caller's factor guarantees it).
void solve_rows_upper_in_place(const Matrix& u, double* b, index_t rows, index_t ld);

}  // namespace ordinata::linalg

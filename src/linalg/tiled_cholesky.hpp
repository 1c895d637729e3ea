// The Cholesky factorisation of a large matrix (GLS's n x n Sigma) on the
// library's own threads, with the same bits on any number of them.
#pragma once

#include "linalg/error.hpp"
#include "linalg/matrix.hpp"

namespace ordinata::linalg {

// Lower L with A = L L', in the buffer of a (taken over; on failure it is
// released), reading only the lower triangle of A. Fails with INFO = i when
// the leading minor of order i is not positive. The matrix is cut into
// square tiles whose size depends on n alone; each step factors one
// diagonal tile, solves the tiles below it and updates the trailing ones,
// every tile by one single-threaded BLAS call, the tiles of a step spread
// over the threads. A threaded BLAS would instead split its sums by its own
// thread count.
LinalgResult<Matrix> cholesky_tiled_in_place(Matrix&& a);

}  // namespace ordinata::linalg

// Cross products of a matrix that is never held whole: its rows are written
// block by block into a buffer, and each chunk of rows accumulates its own
// product with the kernels of ops.
#pragma once

#include "linalg/matrix.hpp"
#include "linalg/thread_pool.hpp"

namespace ordinata::linalg {

// Writes rows [first, first + rows) of an n x w matrix A into dst (row-major,
// w values a row); called with at most block_rows rows at a time, possibly
// from several threads at once for disjoint rows.
using RowFill = FunctionRef<void(index_t first, index_t rows, double* dst)>;

// The upper triangle of A'A for the A that fill describes, block by block.
// Each chunk of row_chunks(n, w, block_rows) has its own rank-k accumulator;
// the chunks' sums are added in chunk order.
Matrix row_block_gram_upper(index_t n, index_t w, index_t block_rows, RowFill fill);
// The same for the product of A's first left columns with all of A (left x w).
Matrix row_block_cross(index_t n, index_t w, index_t left, index_t block_rows, RowFill fill);

}  // namespace ordinata::linalg

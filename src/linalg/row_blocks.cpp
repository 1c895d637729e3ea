#include "linalg/row_blocks.hpp"

#include <algorithm>

#include "linalg/ops.hpp"
#include "linalg/row_chunks.hpp"

namespace ordinata::linalg {

namespace {

// The sum over the chunks of accumulate(block, partial) for every block of
// rows that fill writes, each chunk into its own out_rows x w partial.
template <class Accumulate>
Matrix chunked_sum(index_t n, index_t w, index_t out_rows, index_t block_rows, RowFill fill,
                   const Accumulate& accumulate) {
    block_rows = std::max<index_t>(1, std::min(block_rows, n));
    return sum_over_chunks(row_chunks(n, w, block_rows), n, out_rows, w,
                           [&](index_t first, index_t count, Matrix& part) {
                               Matrix buf(block_rows, w);
                               for (index_t start = first; start < first + count; start += block_rows) {
                                   const index_t rows = std::min(block_rows, first + count - start);
                                   fill(start, rows, buf.data());
                                   accumulate(buf.view().row_range(0, rows), part);
                               }
                           });
}

}  // namespace

Matrix row_block_gram_upper(index_t n, index_t w, index_t block_rows, RowFill fill) {
    return chunked_sum(n, w, w, block_rows, fill, [](MatrixView a, Matrix& c) { gram_accumulate_upper(a, c); });
}

Matrix row_block_cross(index_t n, index_t w, index_t left, index_t block_rows, RowFill fill) {
    return chunked_sum(n, w, left, block_rows, fill,
                       [left](MatrixView a, Matrix& c) { dot_accumulate(a.col_range(0, left).t(), a, c); });
}

}  // namespace ordinata::linalg

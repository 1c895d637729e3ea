// Passes over rows, cut into chunks for the thread pool.
//
// A pass over n rows is cut into chunks whose size depends on the data's
// shape only (row_chunks), each chunk accumulates into its own partial
// result, and the partials are combined in chunk order. The thread count
// therefore decides only who computes a chunk, never what is summed in which
// order: results are bit-for-bit the same on one thread or many.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "linalg/matrix.hpp"
#include "linalg/thread_pool.hpp"

namespace ordinata::linalg {

// Chunks of rows of at least kChunkElements elements (whole blocks of
// block_rows rows), so that a chunk's start-up costs little beside its work.
struct RowChunks {
    index_t rows = 0;        // rows per chunk, the last one shorter
    index_t count = 0;       // number of chunks (1 for a short pass)
    bool hold_blas = false;  // the pass is long enough for the BLAS to thread its calls
    index_t first(index_t chunk) const { return chunk * rows; }
    index_t size(index_t chunk, index_t n) const { return std::min(rows, n - chunk * rows); }
};
inline constexpr index_t kChunkElements = index_t{1} << 18;
// Below this many elements a pass's BLAS calls are too small to be threaded,
// and the pass skips holding the BLAS to one thread.
inline constexpr index_t kBlasHoldFrom = index_t{1} << 13;
// parallel_for over the chunks.
void for_each_chunk(const RowChunks& chunks, FunctionRef<void(std::size_t)> task);
RowChunks row_chunks(index_t n, index_t cols, index_t block_rows);

// part(first, rows) for every chunk of a pass over n rows of cols values,
// the results in chunk order (for the caller to combine in that order).
template <class Part>
auto map_row_chunks(index_t n, index_t cols, const Part& part) {
    using R = decltype(part(index_t{}, index_t{}));
    const RowChunks chunks = row_chunks(n, cols, 1);
    std::vector<R> out(chunks.count);
    for_each_chunk(chunks, [&](std::size_t c) { out[c] = part(chunks.first(c), chunks.size(c, n)); });
    return out;
}

// The sum over the chunks of accumulate(first, count, partial), each chunk
// into its own zeroed rows x cols partial, added in chunk order.
Matrix sum_over_chunks(const RowChunks& chunks, index_t n, index_t rows, index_t cols,
                       FunctionRef<void(index_t, index_t, Matrix&)> accumulate);

}  // namespace ordinata::linalg

#include "linalg/row_chunks.hpp"

#include <optional>
#include <utility>

#include "linalg/blas_threads.hpp"

namespace ordinata::linalg {

void for_each_chunk(const RowChunks& chunks, FunctionRef<void(std::size_t)> task) {
    parallel_for(chunks.count, task, chunks.hold_blas);
}

RowChunks row_chunks(index_t n, index_t cols, index_t block_rows) {
    block_rows = std::max<index_t>(block_rows, 1);
    const index_t blocks = std::max<index_t>(1, kChunkElements / std::max<index_t>(cols * block_rows, 1));
    const index_t rows = std::max<index_t>(blocks * block_rows, 1);
    return {rows, n == 0 ? 0 : (n + rows - 1) / rows, n * cols >= kBlasHoldFrom};
}

Matrix sum_over_chunks(const RowChunks& chunks, index_t n, index_t rows, index_t cols,
                       FunctionRef<void(index_t, index_t, Matrix&)> accumulate) {
    if (chunks.count <= 1) {
        // A short pass: no partials, no task to dispatch.
        Matrix total(rows, cols, 0.0);
        if (chunks.count == 1) {
            std::optional<SingleThreadedBlas> blas;
            if (chunks.hold_blas) blas.emplace();
            accumulate(0, n, total);
        }
        return total;
    }
    std::vector<Matrix> partial;
    partial.reserve(chunks.count);
    for (index_t c = 0; c < chunks.count; ++c) partial.emplace_back(rows, cols, 0.0);
    for_each_chunk(chunks, [&](std::size_t c) { accumulate(chunks.first(c), chunks.size(c, n), partial[c]); });
    Matrix total = std::move(partial[0]);
    for (index_t c = 1; c < chunks.count; ++c) {
        const double* src = partial[c].data();
        double* dst = total.data();
        for (index_t i = 0; i < rows * cols; ++i) dst[i] += src[i];
    }
    return total;
}

}  // namespace ordinata::linalg

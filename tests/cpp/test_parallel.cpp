// The row-parallel pool: what Python cannot reach (exceptions thrown by
// tasks, passes inside passes) and the chunked sums against plain ones.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "linalg/ops.hpp"
#include "linalg/parallel.hpp"

using namespace ordinata::linalg;

TEST(Parallel, EveryTaskRunsOnceAndPassesNest) {
    std::vector<std::atomic<int>> runs(257);
    parallel_for(runs.size(), [&](std::size_t i) {
        // A pass inside a pass finds the pool busy and runs on its caller.
        parallel_for(3, [&](std::size_t) { runs[i].fetch_add(1); });
    });
    for (const auto& r : runs) EXPECT_EQ(r.load(), 3);
}

TEST(Parallel, FirstTaskExceptionIsRethrownAfterTheOthers) {
    std::atomic<int> finished{0};
    EXPECT_THROW(parallel_for(64,
                              [&](std::size_t i) {
                                  if (i == 5) throw std::runtime_error("task failed");
                                  finished.fetch_add(1);
                              }),
                 std::runtime_error);
    EXPECT_LE(finished.load(), 63);
    // The pool is usable afterwards.
    std::atomic<int> again{0};
    parallel_for(16, [&](std::size_t) { again.fetch_add(1); });
    EXPECT_EQ(again.load(), 16);
}

TEST(Parallel, ChunkedProductsAgreeWithOneBlasCall) {
    // Many chunks: n x 6 with n well above kChunkElements / 6.
    const index_t n = 3 * kChunkElements / 6 + 17, k = 6;
    Matrix x(n, k);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < k; ++j) x(i, j) = static_cast<double>((i * 7 + j * 13) % 101) / 50.0 - 1.0;
    ASSERT_GT(row_chunks(n, k, 1).count, 1);
    const Matrix g = gram(x.view());
    Matrix direct(k, k, 0.0);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < k; ++j)
            for (index_t l = 0; l < k; ++l) direct(j, l) += x(i, j) * x(i, l);
    // Sums of n = 1.3e5 products of magnitude <= 1: both orders are within
    // n eps of the exact value, relative to the sum of |products|.
    for (index_t j = 0; j < k; ++j)
        for (index_t l = 0; l < k; ++l) EXPECT_NEAR(g(j, l), direct(j, l), 1e-9 * static_cast<double>(n));
    EXPECT_EQ(g(1, 4), g(4, 1));
}

// The row-parallel pool: what Python cannot reach (exceptions thrown by
// tasks, passes inside passes).
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "linalg/lapack.hpp"
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

TEST(Parallel, BlasHoldGivesBackTheCountTheCallerLastSet) {
    namespace lapack = ordinata::linalg::lapack;
    if (!lapack::openblas_get_num_threads) GTEST_SKIP() << "not OpenBLAS";
    const int before = lapack::openblas_get_num_threads();
    lapack::openblas_set_num_threads(2);
    {
        const SingleThreadedBlas hold;
        EXPECT_EQ(lapack::openblas_get_num_threads(), 1);
        lapack::openblas_set_num_threads(3);  // the caller, from another thread
        // The next task of a pass holds the BLAS again.
        parallel_for(4, [](std::size_t) { EXPECT_EQ(lapack::openblas_get_num_threads(), 1); });
    }
    EXPECT_EQ(lapack::openblas_get_num_threads(), 3);
    lapack::openblas_set_num_threads(before);
}

// The row-parallel pool: what Python cannot reach (exceptions thrown by
// tasks, passes inside passes).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "linalg/lapack.hpp"
#include "linalg/blas_threads.hpp"
#include "linalg/thread_pool.hpp"

using namespace ordinata::linalg;

TEST(Parallel, EveryTaskRunsOnceAndPassesNest) {
    std::vector<std::atomic<int>> runs(257);
    parallel_for(runs.size(), [&](std::size_t i) {
        // A pass inside a pass finds the pool busy and runs on its caller.
        parallel_for(3, [&](std::size_t) { runs[i].fetch_add(1); });
    });
    for (const auto& r : runs) EXPECT_EQ(r.load(), 3);
}

// Several threads on any machine, so that the tasks of a pass overlap.
const bool four_threads = set_thread_count_for_tests(4);

TEST(Parallel, FirstTaskExceptionIsRethrownAfterTheOthers) {
    ASSERT_TRUE(four_threads);
    // The caller's first task throws once another thread's task is under
    // way; that task is still running when the caller has skipped the rest,
    // so a rethrow that did not wait for it would be caught with it unfinished.
    const auto caller = std::this_thread::get_id();
    std::atomic<int> started{0}, finished{0};
    std::atomic<bool> thrown{false};
    try {
        parallel_for(64, [&](std::size_t) {
            started.fetch_add(1);
            if (std::this_thread::get_id() == caller && !thrown.exchange(true)) {
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                while (started.load() < 2 && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
                throw std::runtime_error("task failed");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished.fetch_add(1);
        });
        ADD_FAILURE() << "the task's exception was not rethrown";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "task failed");
        EXPECT_GE(started.load(), 2);
        EXPECT_EQ(finished.load(), started.load() - 1);
    }
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

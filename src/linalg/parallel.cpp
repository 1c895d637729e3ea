#include "linalg/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "linalg/lapack.hpp"
#include "linalg/ops.hpp"

namespace ordinata::linalg {

namespace {

// A positive count at the start of an environment variable ("4", or the
// first level of an OpenMP list such as "4,2"); 0 when unset or unreadable.
unsigned env_count(const char* name) {
    const char* text = std::getenv(name);
    if (!text) return 0;
    const std::string_view s(text);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || (end != s.data() + s.size() && *end != ',')) return 0;
    return value;
}

unsigned available_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    return std::max(1u, std::thread::hardware_concurrency());
}

// More threads than this buy nothing on passes that memory bandwidth bounds.
constexpr unsigned kMostThreads = 64;

unsigned configured_threads() {
    unsigned n = env_count("ORDINATA_NUM_THREADS");
    if (n == 0) n = env_count("OMP_NUM_THREADS");
    if (n == 0) n = available_cpus();
    return std::clamp(n, 1u, kMostThreads);
}

// Holds and releases alive, and the BLAS's own thread count, saved by the
// first hold. The BLAS runs single-threaded while some hold and no release
// is alive; every change of that state is applied at once.
std::mutex blas_mutex;
unsigned blas_holds = 0, blas_releases = 0;
int blas_saved_threads = 0;
bool blas_single = false;

void update_blas_threads() {
    if (!lapack::openblas_set_num_threads || !lapack::openblas_get_num_threads) return;
    const bool single = blas_holds > 0 && blas_releases == 0;
    if (single == blas_single) return;
    if (single) {
        blas_saved_threads = lapack::openblas_get_num_threads();
        if (blas_saved_threads > 1) lapack::openblas_set_num_threads(1);
    } else if (blas_saved_threads > 1) {
        lapack::openblas_set_num_threads(blas_saved_threads);
    }
    blas_single = single;
}

void change_blas(unsigned& counter, bool up) {
    const std::lock_guard lock(blas_mutex);
    counter = up ? counter + 1 : counter - 1;
    update_blas_threads();
}

// Workers sleep on a condition variable between passes; a pass wakes them
// all, and every participant claims task indices from one counter.
class Pool {
public:
    // As many workers as the system lets it start (none: the passes run on
    // their callers' threads).
    explicit Pool(unsigned workers) {
        for (unsigned i = 0; i < workers; ++i) {
            try {
                std::thread([this] { serve(); }).detach();
            } catch (const std::system_error&) {
                break;
            }
            ++workers_;
        }
    }
    bool empty() const { return workers_ == 0; }

    // False when another pass holds the pool.
    bool try_run(std::size_t count, FunctionRef<void(std::size_t)> task) {
        const std::unique_lock busy(busy_, std::try_to_lock);
        if (!busy) return false;
        const SingleThreadedBlas blas;
        {
            const std::lock_guard lock(mutex_);
            task_ = &task;
            count_ = count;
            next_.store(0);
            failed_.store(false);
            error_ = nullptr;
            active_ = workers_;
            ++generation_;
        }
        wake_.notify_all();
        claim();
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return active_ == 0; });
        if (error_) std::rethrow_exception(error_);
        return true;
    }

private:
    void serve() {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            lock.unlock();
            claim();
            lock.lock();
            if (--active_ == 0) finished_.notify_one();
        }
    }

    void claim() {
        for (;;) {
            const std::size_t i = next_.fetch_add(1);
            if (i >= count_) return;
            if (failed_.load()) continue;
            try {
                (*task_)(i);
            } catch (...) {
                const std::lock_guard lock(mutex_);
                if (!error_) error_ = std::current_exception();
                failed_.store(true);
            }
        }
    }

    unsigned workers_ = 0;
    std::mutex busy_;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::uint64_t generation_ = 0;
    unsigned active_ = 0;
    const FunctionRef<void(std::size_t)>* task_ = nullptr;
    std::size_t count_ = 0;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

// The pool lives for the process (its threads are detached and never
// joined). A forked child has none of the parent's threads: it abandons the
// parent's pool and builds its own on first use.
std::mutex pool_mutex;
Pool* the_pool = nullptr;

void before_fork() {
    pool_mutex.lock();
    blas_mutex.lock();
}
void after_fork_in_parent() {
    blas_mutex.unlock();
    pool_mutex.unlock();
}
void after_fork_in_child() {
    // No hold of the parent's threads survives; the state it left (the BLAS
    // perhaps at one thread, its own count saved) is undone when the
    // child's first hold ends.
    the_pool = nullptr;
    blas_holds = blas_releases = 0;
    blas_mutex.unlock();
    pool_mutex.unlock();
}

Pool* shared_pool() {
    static const unsigned threads = configured_threads();
    if (threads <= 1) return nullptr;
    const std::lock_guard lock(pool_mutex);
    static const bool registered = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    if (!registered) return nullptr;
    if (!the_pool) the_pool = new Pool(threads - 1);
    return the_pool->empty() ? nullptr : the_pool;
}

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() { change_blas(blas_holds, true); }
SingleThreadedBlas::~SingleThreadedBlas() { change_blas(blas_holds, false); }
ThreadedBlas::ThreadedBlas() { change_blas(blas_releases, true); }
ThreadedBlas::~ThreadedBlas() { change_blas(blas_releases, false); }

unsigned max_threads() {
    static const unsigned threads = configured_threads();
    return threads;
}

void parallel_for(std::size_t count, FunctionRef<void(std::size_t)> task, bool hold_blas) {
    if (count > 1)
        if (Pool* pool = shared_pool(); pool && pool->try_run(count, task)) return;
    std::optional<SingleThreadedBlas> blas;
    if (hold_blas) blas.emplace();
    for (std::size_t i = 0; i < count; ++i) task(i);
}

void for_each_chunk(const RowChunks& chunks, FunctionRef<void(std::size_t)> task) {
    parallel_for(chunks.count, task, chunks.hold_blas);
}

RowChunks row_chunks(index_t n, index_t cols, index_t block_rows) {
    block_rows = std::max<index_t>(block_rows, 1);
    const index_t blocks = std::max<index_t>(1, kChunkElements / std::max<index_t>(cols * block_rows, 1));
    const index_t rows = std::max<index_t>(blocks * block_rows, 1);
    return {rows, n == 0 ? 0 : (n + rows - 1) / rows, n * cols >= kBlasHoldFrom};
}

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

Matrix row_block_gram_upper(index_t n, index_t w, index_t block_rows, RowFill fill) {
    return chunked_sum(n, w, w, block_rows, fill, [](MatrixView a, Matrix& c) { gram_accumulate_upper(a, c); });
}

Matrix row_block_cross(index_t n, index_t w, index_t left, index_t block_rows, RowFill fill) {
    return chunked_sum(n, w, left, block_rows, fill,
                       [left](MatrixView a, Matrix& c) { dot_accumulate(a.col_range(0, left).t(), a, c); });
}

}  // namespace ordinata::linalg

#include "linalg/parallel.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
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

// Holds alive, and the thread count to give the BLAS back when the last one
// ends (empty while no hold is on). Every change of the count the library
// did not make is the caller's, kept to be given back.
std::mutex blas_mutex;
unsigned blas_holds = 0;
std::optional<int> blas_callers_threads;

bool blas_threads_known() { return lapack::openblas_set_num_threads && lapack::openblas_get_num_threads; }

// Under blas_mutex: holds the BLAS at one thread again when the caller
// changed the count during a hold, and keeps the caller's count.
void reclaim_blas_locked() {
    const int now = lapack::openblas_get_num_threads();
    if (now == 1) return;
    blas_callers_threads = now;
    lapack::openblas_set_num_threads(1);
}

void take_blas_hold() {
    if (!blas_threads_known()) return;
    const std::lock_guard lock(blas_mutex);
    if (blas_holds++ > 0 || blas_callers_threads) {
        reclaim_blas_locked();
        return;
    }
    blas_callers_threads = lapack::openblas_get_num_threads();
    if (*blas_callers_threads > 1) lapack::openblas_set_num_threads(1);
}

void end_blas_hold() {
    if (!blas_threads_known()) return;
    const std::lock_guard lock(blas_mutex);
    reclaim_blas_locked();
    if (--blas_holds > 0) return;
    if (*blas_callers_threads > 1) lapack::openblas_set_num_threads(*blas_callers_threads);
    blas_callers_threads.reset();
}

// Within a hold: a count the caller set since the hold began is taken back
// before the next task, so that no task's BLAS calls see it. Reading the
// count is a load of one integer.
void keep_blas_held() {
    if (blas_threads_known() && lapack::openblas_get_num_threads() != 1) {
        const std::lock_guard lock(blas_mutex);
        if (blas_holds > 0) reclaim_blas_locked();
    }
}

// Working memory the BLAS takes for each thread that calls it at the same
// time as others (32 MiB in the OpenBLAS builds measured), with as much
// again for that thread's own buffers.
constexpr std::size_t kBlasThreadBytes = std::size_t{64} << 20;

// Whether bytes of address space can be mapped now: an RLIMIT_AS limit
// makes the BLAS's own allocation fail, and it ends the process when it does.
bool address_space_available(std::size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    munmap(p, bytes);
    return true;
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

    // False when another pass holds the pool, or when the BLAS could not
    // have working memory for every worker at once.
    bool try_run(std::size_t count, FunctionRef<void(std::size_t)> task) {
        const std::unique_lock busy(busy_, std::try_to_lock);
        if (!busy) return false;
        if (!address_space_available(workers_ * kBlasThreadBytes)) return false;
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
                keep_blas_held();
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

// Sections open, and whether a fork waits for them to end. The condition
// variable is rebuilt in a child: waiters copied from the parent's threads
// would otherwise stay counted in it.
std::mutex section_mutex;
std::condition_variable section_change;
unsigned sections_open = 0;
bool fork_waiting = false;
std::atomic<std::uint64_t> forks_descended{0};

// Holds a fork until no section is open, then takes the pool's and the
// BLAS's locks so that the child gets them free and consistent. Run before
// the BLAS's own fork handler (handlers registered later run first), so
// that no call of the library is inside the BLAS when it stops its threads.
void before_fork() {
    std::unique_lock lock(section_mutex);
    fork_waiting = true;
    section_change.wait(lock, [] { return sections_open == 0; });
    lock.release();
    pool_mutex.lock();
    blas_mutex.lock();
}

void after_fork_in_parent() {
    blas_mutex.unlock();
    pool_mutex.unlock();
    fork_waiting = false;
    section_mutex.unlock();
    section_change.notify_all();
}

void after_fork_in_child() {
    // No hold of the parent's threads survives; a count the parent's holds
    // left at one thread is given back when the child's first hold ends.
    the_pool = nullptr;
    blas_holds = 0;
    blas_mutex.unlock();
    pool_mutex.unlock();
    fork_waiting = false;
    new (&section_change) std::condition_variable;
    section_mutex.unlock();
    forks_descended.fetch_add(1);
}

// Registered at load, before any thread of the library exists.
[[maybe_unused]] const bool fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;

Pool* shared_pool() {
    static const unsigned threads = configured_threads();
    if (threads <= 1) return nullptr;
    const std::lock_guard lock(pool_mutex);
    if (!the_pool) the_pool = new Pool(threads - 1);
    return the_pool->empty() ? nullptr : the_pool;
}

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() { take_blas_hold(); }
SingleThreadedBlas::~SingleThreadedBlas() { end_blas_hold(); }

ComputeSection::ComputeSection() {
    std::unique_lock lock(section_mutex);
    section_change.wait(lock, [] { return !fork_waiting; });
    if (sections_open > 0 && !address_space_available(kBlasThreadBytes))
        throw AllocationError(kBlasThreadBytes / sizeof(double), 1, Purpose{"the BLAS's working memory"});
    ++sections_open;
}

ComputeSection::~ComputeSection() {
    const std::lock_guard lock(section_mutex);
    if (--sections_open == 0 && fork_waiting) section_change.notify_all();
}

std::uint64_t fork_generation() noexcept { return forks_descended.load(std::memory_order_relaxed); }

unsigned max_threads() {
    static const unsigned threads = configured_threads();
    return threads;
}

void parallel_for(std::size_t count, FunctionRef<void(std::size_t)> task, bool hold_blas) {
    if (count > 1)
        if (Pool* pool = shared_pool(); pool && pool->try_run(count, task)) return;
    std::optional<SingleThreadedBlas> blas;
    if (hold_blas) blas.emplace();
    for (std::size_t i = 0; i < count; ++i) {
        if (hold_blas) keep_blas_held();
        task(i);
    }
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

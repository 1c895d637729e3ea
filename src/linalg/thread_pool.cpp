#include "linalg/thread_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "linalg/blas_threads.hpp"

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

std::atomic<unsigned> threads_for_tests{0};
std::atomic<bool> threads_read{false};

unsigned configured_threads() {
    threads_read.store(true);
    unsigned n = threads_for_tests.load();
    if (n == 0) n = env_count("ORDINATA_NUM_THREADS");
    if (n == 0) n = env_count("OMP_NUM_THREADS");
    if (n == 0) n = available_cpus();
    return std::clamp(n, 1u, kMostThreads);
}

// Workers sleep on a condition variable between passes; a pass wakes them
// all, and every participant claims task indices from one counter.
class Pool {
public:
    // As many workers as the system lets it start and the BLAS can be made
    // ready on (none: the passes run on their callers' threads). Each worker
    // makes its first BLAS call before the next one starts, so that they
    // take one working buffer between them: the caller's, admitted (by the
    // caller, before it takes the pool's lock) and not in use while it
    // builds the pool.
    explicit Pool(unsigned workers) {
        for (unsigned i = 0; i < workers; ++i) {
            std::unique_lock lock(mutex_);
            starting_ = Start::Waiting;
            try {
                std::thread([this] { serve(); }).detach();
            } catch (const std::system_error&) {
                break;
            }
            started_.wait(lock, [this] { return starting_ != Start::Waiting; });
            if (starting_ == Start::Failed) break;
            ++workers_;
        }
    }
    bool empty() const { return workers_ == 0; }

    // False when another pass holds the pool, or when the BLAS has not been
    // seen holding working buffers for every worker besides, and there is
    // no room to see it.
    bool try_run(std::size_t count, FunctionRef<void(std::size_t)> task) {
        const std::unique_lock busy(busy_, std::try_to_lock);
        if (!busy) return false;
        const BlasCallers callers(workers_);
        if (!callers.admitted()) return false;
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
        const bool ready = prepare_blas_thread();
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        starting_ = ready ? Start::Ready : Start::Failed;
        started_.notify_one();
        if (!ready) return;
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

    enum class Start { Waiting, Ready, Failed };

    unsigned workers_ = 0;
    std::mutex busy_;
    std::mutex mutex_;
    std::condition_variable wake_, finished_, started_;
    Start starting_ = Start::Waiting;
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

// Registered at load, before any thread of the library exists.
[[maybe_unused]] const bool fork_hooks_set = [] {
    set_fork_hooks({.prepare = [] { pool_mutex.lock(); },
                    .parent = [] { pool_mutex.unlock(); },
                    .child =
                        [] {
                            the_pool = nullptr;
                            pool_mutex.unlock();
                        }});
    return true;
}();

Pool* shared_pool() {
    if (max_threads() <= 1) return nullptr;
    {
        const std::lock_guard lock(pool_mutex);
        if (the_pool) return the_pool->empty() ? nullptr : the_pool;
    }
    // The caller is admitted as a BLAS caller before the pool's lock is
    // taken: a fork takes the admissions' lock first, then the pool's. Not
    // admitted now (other callers hold the buffers seen), it builds the pool
    // another time.
    const BlasCallers caller(0);
    if (!caller.admitted()) return nullptr;
    const std::lock_guard lock(pool_mutex);
    if (!the_pool) the_pool = new Pool(max_threads() - 1);
    return the_pool->empty() ? nullptr : the_pool;
}

}  // namespace

unsigned max_threads() {
    static const unsigned threads = configured_threads();
    return threads;
}

bool set_thread_count_for_tests(unsigned threads) {
    threads_for_tests.store(threads);
    return !threads_read.load();
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

}  // namespace ordinata::linalg

#include "linalg/blas_threads.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>

#include "linalg/lapack.hpp"
#include "linalg/matrix.hpp"

namespace ordinata::linalg {

namespace {

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

// Working memory the BLAS takes for each thread that calls it at the same
// time as others (32 MiB in the OpenBLAS builds measured), with as much
// again for that thread's own buffers.
constexpr std::size_t kBlasThreadBytes = std::size_t{64} << 20;

// Whether bytes of address space can be mapped now.
bool address_space_available(std::size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    munmap(p, bytes);
    return true;
}

// Sections open, and whether a fork waits for them to end. The condition
// variable is rebuilt in a child: waiters copied from the parent's threads
// would otherwise stay counted in it.
std::mutex section_mutex;
std::condition_variable section_change;
unsigned sections_open = 0;
bool fork_waiting = false;
std::atomic<std::uint64_t> forks_descended{0};
constinit ForkHooks fork_hooks{};

// Holds a fork until no section is open, then takes the hooked layer's and
// the BLAS's locks so that the child gets them free and consistent. Run
// before the BLAS's own fork handler (handlers registered later run first),
// so that no call of the library is inside the BLAS when it stops its
// threads.
void before_fork() {
    std::unique_lock lock(section_mutex);
    fork_waiting = true;
    section_change.wait(lock, [] { return sections_open == 0; });
    lock.release();
    if (fork_hooks.prepare) fork_hooks.prepare();
    blas_mutex.lock();
}

void after_fork_in_parent() {
    blas_mutex.unlock();
    if (fork_hooks.parent) fork_hooks.parent();
    fork_waiting = false;
    section_mutex.unlock();
    section_change.notify_all();
}

void after_fork_in_child() {
    // No hold of the parent's threads survives; a count the parent's holds
    // left at one thread is given back when the child's first hold ends.
    blas_holds = 0;
    blas_mutex.unlock();
    if (fork_hooks.child) fork_hooks.child();
    fork_waiting = false;
    new (&section_change) std::condition_variable;
    section_mutex.unlock();
    forks_descended.fetch_add(1);
}

// Registered at load, before any thread of the library exists.
[[maybe_unused]] const bool fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() { take_blas_hold(); }
SingleThreadedBlas::~SingleThreadedBlas() { end_blas_hold(); }

void keep_blas_held() {
    if (blas_threads_known() && lapack::openblas_get_num_threads() != 1) {
        const std::lock_guard lock(blas_mutex);
        if (blas_holds > 0) reclaim_blas_locked();
    }
}

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

bool blas_memory_for_threads(unsigned threads) { return address_space_available(threads * kBlasThreadBytes); }

std::uint64_t fork_generation() noexcept { return forks_descended.load(std::memory_order_relaxed); }

void set_fork_hooks(ForkHooks hooks) noexcept { fork_hooks = hooks; }

}  // namespace ordinata::linalg

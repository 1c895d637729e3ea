#include "linalg/blas_threads.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

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
// again for the transient mapping it trims that buffer from.
constexpr std::size_t kBlasThreadBytes = std::size_t{64} << 20;
constexpr Purpose kBlasMemory{"the BLAS's working memory"};

// Whether bytes of address space can be mapped now.
bool address_space_available(std::size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    munmap(p, bytes);
    return true;
}

// OpenBLAS (the PyPI build, like any built without USE_TLS) keeps its
// working buffers in one table for the process: each call takes the first
// free one and frees it on return, a buffer once mapped stays mapped, and a
// call that finds none free maps one more. When that mapping fails it prints
// and ends the process. So the library lets no more of its threads call the
// BLAS at once than it has seen hold buffers at once: those buffers exist,
// and no call of the library ever maps one. The BLAS's own threads keep
// buffers of their own besides, never these (held to one thread, it starts
// none of them for the library's calls).
//
// Seeing k buffers held at once: k threads each make a series of products
// C = A B (beta = 0) of ones, each into a C of its own filled with -1. The
// BLAS takes its buffer before it first writes C (it scales C by beta
// first, C[0] first) and frees it after its last write, once C[last] holds
// its final value, the depth. An observer that finds a started call on
// every thread and then each of those calls unfinished has seen, at the
// instant between the two sweeps, k calls inside the BLAS, so k buffers.
// Each thread makes several calls so that one started late still finds the
// others inside. The observer reads C while the BLAS writes it: aligned
// loads of doubles, atomic on every platform built for.
enum class Seen { Held, NoRoom, Unseen };

// Products of order 64 (C is small) and of a depth that makes them take a
// buffer (small-matrix paths stop at 100^3 products) and, in a series, last
// long enough for every thread to start (0.4 ms each at 40 GFLOP/s).
constexpr lapack::lapack_int kOrder = 64;
constexpr lapack::lapack_int kFirstDepth = 512;
constexpr lapack::lapack_int kSeriesDepth = 2048;
constexpr std::size_t kCDoubles = std::size_t{kOrder} * kOrder;
constexpr std::size_t kOnes = std::size_t{kOrder} * kSeriesDepth;
constexpr unsigned kCallsEach = 32;
constexpr std::size_t kThreadStackBytes = std::size_t{8} << 20;

// Whether this thread has called the BLAS's level-3 routines: the first
// such call sets up the BLAS's thread-local block (140 KiB in the PyPI
// build), a malloc the C library aborts the process on when it fails.
thread_local bool blas_thread_ready = false;

double read_written(const double& x) { return std::atomic_ref(const_cast<double&>(x)).load(std::memory_order_acquire); }

// C (kOrder x kOrder) = A B, from ones laid out as A (kOrder x depth) and as
// B (depth x kOrder) alike.
void product(lapack::lapack_int depth, const double* ones, double* c) {
    lapack::cblas_dgemm(lapack::ColMajor, lapack::NoTrans, lapack::NoTrans, kOrder, kOrder, depth, 1.0, ones, kOrder,
                        ones, depth, 0.0, c, kOrder);
}

// Scratch for the series: the ones, then each thread's Cs.
std::size_t series_doubles(unsigned callers) { return kOnes + callers * kCallsEach * kCDoubles; }

// `callers` threads making their series; true once all were seen inside the
// BLAS at once.
bool held_together(unsigned callers, double* scratch) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer reports the observer's loads of C beside the BLAS's own
    // stores into it (the probe reads them on purpose). Under it the series
    // is not run and the room check alone decides (sanitized runs set no
    // limit on memory, and their passes must still run on the pool).
    (void)callers;
    (void)scratch;
    return true;
#endif
    const double* ones = scratch;
    double* c = scratch + kOnes;
    std::fill(scratch, scratch + kOnes, 1.0);
    std::fill(c, c + callers * kCallsEach * kCDoubles, -1.0);
    const auto cs = [&](unsigned thread, unsigned call) { return c + (thread * kCallsEach + call) * kCDoubles; };
    std::atomic<bool> seen{false};
    std::atomic<unsigned> done{0};
    std::vector<std::thread> threads;
    threads.reserve(callers);
    for (unsigned i = 0; i < callers; ++i) {
        try {
            threads.emplace_back([&, i] {
                for (unsigned call = 0; call < kCallsEach && !seen.load(); ++call)
                    product(kSeriesDepth, ones, cs(i, call));
                done.fetch_add(1);
            });
        } catch (const std::system_error&) {
            break;
        }
    }
    std::vector<unsigned> latest(callers);
    const auto started = [&](unsigned i) {
        for (unsigned call = kCallsEach; call-- > 0;) {
            if (read_written(cs(i, call)[0]) == -1.0) continue;
            latest[i] = call;
            return true;
        }
        return false;
    };
    const auto unfinished = [&](unsigned i) { return read_written(cs(i, latest[i])[kCDoubles - 1]) != kSeriesDepth; };
    while (threads.size() == callers && !seen.load() && done.load() < callers) {
        bool inside = true;
        for (unsigned i = 0; inside && i < callers; ++i) inside = started(i);
        for (unsigned i = 0; inside && i < callers; ++i) inside = unfinished(i);
        if (inside)
            seen.store(true);
        else
            std::this_thread::yield();
    }
    for (auto& t : threads) t.join();
    return seen.load();
}

// Rounds of the series tried before a count is given up as unseen: on a
// loaded machine the observer may miss the instant every thread is inside.
constexpr unsigned kRounds = 3;

// Makes the BLAS's table hold `callers` buffers (`seen` of them already
// seen), while there is room for those it may have to map. The caller makes
// sure that no other thread of the library maps memory meanwhile: the room
// is measured once, before the BLAS maps what it needs.
Seen see_buffers(unsigned callers, unsigned seen) {
    const std::size_t doubles = callers == 1 ? kOnes + kCDoubles : series_doubles(callers);
    const std::size_t stacks = callers == 1 ? 0 : callers * kThreadStackBytes;
    if (!address_space_available((callers - seen) * kBlasThreadBytes + stacks + doubles * sizeof(double)))
        return Seen::NoRoom;
    const std::unique_ptr<double[]> scratch(new (std::nothrow) double[doubles]);
    if (!scratch) return Seen::NoRoom;
    const SingleThreadedBlas blas;  // the BLAS's own threads would take buffers of their own
    if (callers > 1) {
        for (unsigned round = 0; round < kRounds; ++round)
            if (held_together(callers, scratch.get())) return Seen::Held;
        return Seen::Unseen;
    }
    std::fill(scratch.get(), scratch.get() + doubles, 1.0);
    product(kFirstDepth, scratch.get(), scratch.get() + kOnes);
    blas_thread_ready = true;
    return Seen::Held;
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

// Under section_mutex: threads of the library that may be inside the BLAS
// now (one for each section, and a pass's workers), the buffers seen held
// at once, the smallest count whose probe missed (not tried again), and how
// many times callers left (what a waiting section waits for).
unsigned blas_callers = 0;
unsigned buffers_seen = 0;
unsigned buffers_unseen = std::numeric_limits<unsigned>::max();
std::uint64_t callers_left = 0;
thread_local unsigned sections_here = 0;

enum class Admission { Admitted, Busy, NoRoom };

// Under section_mutex: admits `more` callers when the buffers seen cover
// them all. A count beyond them is probed only while this thread's sections
// are all the library admits: a probe measures the room and then lets the
// BLAS map into it, which is sound only while no other thread of the
// library allocates. Otherwise the count is Busy, and the caller waits for
// callers to leave (a section) or goes without (a pass, on its caller's
// thread). A probe that misses is not admitted on room alone: the buffers
// it did not see may be mapped by a later call, when the room is gone.
Admission admit_blas_callers_locked(unsigned more) {
    const unsigned wanted = blas_callers + more;
    if (wanted > buffers_seen) {
        if (blas_callers != sections_here || wanted >= buffers_unseen) return Admission::Busy;
        switch (see_buffers(wanted, buffers_seen)) {
            case Seen::Held:
                buffers_seen = wanted;
                break;
            case Seen::NoRoom:
                return Admission::NoRoom;
            case Seen::Unseen:
                buffers_unseen = wanted;
                return Admission::Busy;
        }
    }
    blas_callers = wanted;
    return Admission::Admitted;
}

// Under section_mutex: `count` callers leave.
void release_blas_callers_locked(unsigned count) {
    blas_callers -= count;
    ++callers_left;
    section_change.notify_all();
}

// The first buffer, seen at load: a limit set after the import leaves every
// call on one thread free of the BLAS's mapping.
[[maybe_unused]] const bool first_buffer_seen = [] {
    const std::lock_guard lock(section_mutex);
    if (see_buffers(1, 0) != Seen::Held) return false;
    buffers_seen = 1;
    return true;
}();

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
    blas_callers = 0;
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
    for (;;) {
        section_change.wait(lock, [] { return !fork_waiting; });
        const Admission admission = admit_blas_callers_locked(1);
        if (admission == Admission::Admitted) break;
        if (admission == Admission::NoRoom) throw AllocationError(kBlasThreadBytes / sizeof(double), 1, kBlasMemory);
        const std::uint64_t left = callers_left;
        section_change.wait(lock, [&] { return callers_left != left || fork_waiting; });
    }
    if (!prepare_blas_thread()) {
        release_blas_callers_locked(1);
        throw AllocationError(kBlasThreadBytes / sizeof(double), 1, kBlasMemory);
    }
    ++sections_open;
    ++sections_here;
}

ComputeSection::~ComputeSection() {
    const std::lock_guard lock(section_mutex);
    --sections_here;
    --sections_open;
    release_blas_callers_locked(1);
}

bool prepare_blas_thread() {
    if (blas_thread_ready) return true;
    if (!address_space_available(kBlasThreadBytes)) return false;
    const std::unique_ptr<double[]> scratch(new (std::nothrow) double[kOnes + kCDoubles]);
    if (!scratch) return false;
    std::fill(scratch.get(), scratch.get() + kOnes + kCDoubles, 1.0);
    const SingleThreadedBlas blas;
    product(kFirstDepth, scratch.get(), scratch.get() + kOnes);
    blas_thread_ready = true;
    return true;
}

BlasCallers::BlasCallers(unsigned threads) : threads_(threads + (sections_here == 0 ? 1 : 0)) {
    const std::lock_guard lock(section_mutex);
    admitted_ = admit_blas_callers_locked(threads_) == Admission::Admitted;
}

BlasCallers::~BlasCallers() {
    if (!admitted_) return;
    const std::lock_guard lock(section_mutex);
    release_blas_callers_locked(threads_);
}

std::uint64_t fork_generation() noexcept { return forks_descended.load(std::memory_order_relaxed); }

void set_fork_hooks(ForkHooks hooks) noexcept { fork_hooks = hooks; }

}  // namespace ordinata::linalg

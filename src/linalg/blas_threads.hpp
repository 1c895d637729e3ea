// The BLAS-thread governor: how many threads the BLAS may use while the
// library computes, which calls a fork waits for, and the fork handlers that
// hand a child consistent state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ordinata::linalg {

// While alive, the BLAS runs single-threaded. Besides keeping the cores
// for the library's own passes, this makes results independent of the
// BLAS's thread count: a threaded BLAS splits some sums (dot products,
// matrix-vector products, factorisations) by its thread count. Holds nest
// and may be taken by several threads at once; the last to end gives the
// BLAS back the thread count its caller last set, also when the caller set
// one meanwhile (threadpoolctl, say). A caller's limit of exactly one
// thread set during a hold cannot be told from the hold and is undone.
class SingleThreadedBlas {
public:
    SingleThreadedBlas();
    ~SingleThreadedBlas();
    SingleThreadedBlas(const SingleThreadedBlas&) = delete;
    SingleThreadedBlas& operator=(const SingleThreadedBlas&) = delete;
};

// Within a hold: a count the caller set since the hold began is taken back
// before the next task, so that no task's BLAS calls see it. Reading the
// count is a load of one integer.
void keep_blas_held();

// While alive, the calling thread computes for a caller: a fork waits until
// every section has ended (so that a child inherits no half-done call, lock
// taken or BLAS call in flight), and a section opened meanwhile waits for
// the fork. Each section may call the BLAS at the same time as the others,
// and the BLAS then needs working memory for one more thread: a section
// that opens beside others refuses with AllocationError when that memory
// is not to be had, instead of the BLAS ending the process.
class ComputeSection {
public:
    ComputeSection();
    ~ComputeSection();
    ComputeSection(const ComputeSection&) = delete;
    ComputeSection& operator=(const ComputeSection&) = delete;
};

// Whether the BLAS could have working memory for this many more threads
// calling it at once: an RLIMIT_AS limit makes the BLAS's own allocation
// fail, and it ends the process when it does.
bool blas_memory_for_threads(unsigned threads);

// Counts the forks this process descends from; a state stamped with another
// count was copied from a parent and belongs to no thread of this process.
std::uint64_t fork_generation() noexcept;

// Steps of a layer above (the thread pool) inside the fork handlers, where
// their order is safe: prepare once no section is open and before the
// BLAS's lock is taken, parent and child after it is given back.
struct ForkHooks {
    void (*prepare)() = nullptr;
    void (*parent)() = nullptr;
    void (*child)() = nullptr;
};
// Set once, at load, before any thread of the library exists.
void set_fork_hooks(ForkHooks hooks) noexcept;

}  // namespace ordinata::linalg

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
// and the BLAS ends the process when it cannot map the working buffer such
// a call needs. So a section opens only once the BLAS has been seen holding
// a buffer for every thread of the library that may call it at once. When
// it has not, the section waits for other callers to leave; alone, it sees
// one more mapped when there is room, and otherwise refuses with
// AllocationError.
class ComputeSection {
public:
    ComputeSection();
    ~ComputeSection();
    ComputeSection(const ComputeSection&) = delete;
    ComputeSection& operator=(const ComputeSection&) = delete;
};

// While admitted, this many more threads (a pass's workers; and the caller,
// outside a section) may call the BLAS at once, under the same rule, except
// that it does not wait: not admitted, the pass runs on its caller's thread.
class BlasCallers {
public:
    explicit BlasCallers(unsigned threads);
    ~BlasCallers();
    BlasCallers(const BlasCallers&) = delete;
    BlasCallers& operator=(const BlasCallers&) = delete;
    bool admitted() const { return admitted_; }

private:
    unsigned threads_;
    bool admitted_ = false;
};

// Makes this thread's first call into the BLAS, once, while there is room
// for what that call sets up (the BLAS's thread-local block, whose failed
// malloc aborts the process); false when there is none. The call takes a
// working buffer: the thread must be one the library admitted (a section's,
// or a pass's worker while its caller is admitted and out of the BLAS).
bool prepare_blas_thread();

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

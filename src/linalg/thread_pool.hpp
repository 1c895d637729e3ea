// The library's own small thread pool, for passes whose tasks are
// independent.
//
// The number of threads is read once, at first use: ORDINATA_NUM_THREADS,
// else OMP_NUM_THREADS (the variable the rest of the scientific stack
// honours), else the CPUs this process may run on. While a pass runs on
// several threads, the BLAS is held to one thread so that the cores are not
// oversubscribed. A pass that finds the pool busy (another Python thread's
// fit, or a pass inside a pass), or that could not be sure of the BLAS's
// working buffers for the pool's threads (blas_threads.hpp), runs on its
// caller's thread alone.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace ordinata::linalg {

// A non-owning reference to a callable, for the tasks of a pass: unlike
// std::function it never allocates, whatever the lambda captures. The
// callable must outlive the reference (a pass's tasks live on its caller's
// stack).
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f) noexcept  // NOLINT: converts implicitly, like std::function
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

// Threads a pass may use, the caller's included (at least 1).
unsigned max_threads();

// For tests: the thread count to use instead of the environment's, so that
// a pass runs on several threads on any machine. Takes effect only before
// the count is first read; returns whether it did.
bool set_thread_count_for_tests(unsigned threads);

// Runs task(i) once for every i in [0, count), on up to max_threads()
// threads including the caller's. The first exception a task throws is
// rethrown here once every task has finished or been skipped. With
// hold_blas the BLAS runs single-threaded meanwhile, also when the tasks run
// on the caller's thread alone: a pass makes many small BLAS calls, and
// waking the BLAS's own threads for each costs more than it brings.
void parallel_for(std::size_t count, FunctionRef<void(std::size_t)> task, bool hold_blas = true);

}  // namespace ordinata::linalg

// Row-parallel passes: the library's own small thread pool.
//
// A pass over n rows is cut into chunks whose size depends on the data's
// shape only (row_chunks), each chunk accumulates into its own partial
// result, and the partials are combined in chunk order. The thread count
// therefore decides only who computes a chunk, never what is summed in which
// order: results are bit-for-bit the same on one thread or many.
//
// The number of threads is read once, at first use: ORDINATA_NUM_THREADS,
// else OMP_NUM_THREADS (the variable the rest of the scientific stack
// honours), else the CPUs this process may run on. While a pass runs on
// several threads, the BLAS is held to one thread so that the cores are not
// oversubscribed. A pass that finds the pool busy (another Python thread's
// fit, or a pass inside a pass), or too little address space for the BLAS
// working memory of the pool's threads, runs on its caller's thread alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "linalg/matrix.hpp"

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

// Counts the forks this process descends from; a state stamped with another
// count was copied from a parent and belongs to no thread of this process.
std::uint64_t fork_generation() noexcept;

// Threads a pass may use, the caller's included (at least 1).
unsigned max_threads();

// Runs task(i) once for every i in [0, count), on up to max_threads()
// threads including the caller's. The first exception a task throws is
// rethrown here once every task has finished or been skipped. With
// hold_blas the BLAS runs single-threaded meanwhile, also when the tasks run
// on the caller's thread alone: a pass makes many small BLAS calls, and
// waking the BLAS's own threads for each costs more than it brings.
void parallel_for(std::size_t count, FunctionRef<void(std::size_t)> task, bool hold_blas = true);

// Chunks of rows of at least kChunkElements elements (whole blocks of
// block_rows rows), so that a chunk's start-up costs little beside its work.
struct RowChunks {
    index_t rows = 0;        // rows per chunk, the last one shorter
    index_t count = 0;       // number of chunks (1 for a short pass)
    bool hold_blas = false;  // the pass is long enough for the BLAS to thread its calls
    index_t first(index_t chunk) const { return chunk * rows; }
    index_t size(index_t chunk, index_t n) const { return std::min(rows, n - chunk * rows); }
};
inline constexpr index_t kChunkElements = index_t{1} << 18;
// Below this many elements a pass's BLAS calls are too small to be threaded,
// and the pass skips holding the BLAS to one thread.
inline constexpr index_t kBlasHoldFrom = index_t{1} << 13;
// parallel_for over the chunks.
void for_each_chunk(const RowChunks& chunks, FunctionRef<void(std::size_t)> task);
RowChunks row_chunks(index_t n, index_t cols, index_t block_rows);

// part(first, rows) for every chunk of a pass over n rows of cols values,
// the results in chunk order (for the caller to combine in that order).
template <class Part>
auto map_row_chunks(index_t n, index_t cols, const Part& part) {
    using R = decltype(part(index_t{}, index_t{}));
    const RowChunks chunks = row_chunks(n, cols, 1);
    std::vector<R> out(chunks.count);
    for_each_chunk(chunks, [&](std::size_t c) { out[c] = part(chunks.first(c), chunks.size(c, n)); });
    return out;
}

// The sum over the chunks of accumulate(first, count, partial), each chunk
// into its own zeroed rows x cols partial, added in chunk order.
Matrix sum_over_chunks(const RowChunks& chunks, index_t n, index_t rows, index_t cols,
                       FunctionRef<void(index_t, index_t, Matrix&)> accumulate);

// Writes rows [first, first + rows) of an n x w matrix A into dst (row-major,
// w values a row); called with at most block_rows rows at a time, possibly
// from several threads at once for disjoint rows.
using RowFill = FunctionRef<void(index_t first, index_t rows, double* dst)>;

// The upper triangle of A'A for the A that fill describes, block by block:
// A is never held whole. Each chunk of rows_chunks(n, w, block_rows) has its
// own rank-k accumulator; the chunks' sums are added in chunk order.
Matrix row_block_gram_upper(index_t n, index_t w, index_t block_rows, RowFill fill);
// The same for the product of A's first left columns with all of A (left x w).
Matrix row_block_cross(index_t n, index_t w, index_t left, index_t block_rows, RowFill fill);

}  // namespace ordinata::linalg

#include "linalg/tiled_cholesky.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "linalg/lapack.hpp"
#include "linalg/blas_threads.hpp"
#include "linalg/thread_pool.hpp"

namespace ordinata::linalg {

namespace {

using lapack::lapack_int;

// Large enough for the BLAS's kernels to run near their peak on one tile,
// small enough for a step to have tiles for every thread: below 1,536 rows
// tiles of 256 would leave the last steps too few. The size depends on n
// alone, so the bits do not depend on the thread count.
index_t tile_size(index_t n) { return n < 1536 ? 128 : 256; }

// Square tiles of a row-major n x n matrix, which LAPACK sees column-major,
// transposed: the row-major lower triangle is its upper one.
class Tiles {
public:
    Tiles(double* a, index_t n) : a_(a), n_(n), tile_(tile_size(n)), count_((n + tile_ - 1) / tile_) {}
    index_t tile() const { return tile_; }
    index_t count() const { return count_; }
    lapack_int ld() const { return static_cast<lapack_int>(n_); }
    lapack_int size(index_t i) const { return static_cast<lapack_int>(std::min(tile_, n_ - i * tile_)); }
    double* at(index_t i, index_t j) const { return a_ + (i * tile_) * n_ + j * tile_; }

    // Factors tile (k, k): L_kk with A_kk = L_kk L_kk'.
    lapack_int factor_diagonal(index_t k) const {
        const lapack_int order = size(k), lda = ld();
        lapack_int info = 0;
        lapack::dpotrf_("U", &order, at(k, k), &lda, &info, 1);
        return info;
    }
    // A_ik <- A_ik L_kk^-T.
    void solve_below(index_t i, index_t k) const {
        lapack::cblas_dtrsm(lapack::RowMajor, lapack::Right, lapack::Lower, lapack::Trans, lapack::NonUnit, size(i),
                            size(k), 1.0, at(k, k), ld(), at(i, k), ld());
    }
    // A_ij <- A_ij - A_ik A_jk' (the lower triangle only when i = j).
    void update(index_t i, index_t j, index_t k) const {
        if (i == j) {
            lapack::cblas_dsyrk(lapack::RowMajor, lapack::Lower, lapack::NoTrans, size(i), size(k), -1.0, at(i, k),
                                ld(), 1.0, at(i, i), ld());
            return;
        }
        lapack::cblas_dgemm(lapack::RowMajor, lapack::NoTrans, lapack::Trans, size(i), size(j), size(k), -1.0, at(i, k),
                            ld(), at(j, k), ld(), 1.0, at(i, j), ld());
    }

private:
    double* a_;
    index_t n_;
    index_t tile_;
    index_t count_;
};

// The p-th (row, column) pair of the lower triangle of an m x m grid of
// tiles, row by row: (0, 0), (1, 0), (1, 1), (2, 0), ...
std::pair<index_t, index_t> lower_pair(index_t p) {
    index_t row = 0;
    while ((row + 1) * (row + 2) / 2 <= p) ++row;
    return {row, p - row * (row + 1) / 2};
}

}  // namespace

LinalgResult<Matrix> cholesky_tiled_in_place(Matrix&& a) {
    Matrix m = std::move(a);
    const index_t n = m.rows();
    if (m.cols() != n)
        return std::unexpected(LinalgError{LinalgError::Kind::NotSquare, static_cast<std::int64_t>(n),
                                           static_cast<std::int64_t>(m.cols())});
    if (n == 0) return m;
    if (n > static_cast<index_t>(std::numeric_limits<lapack_int>::max()))
        return std::unexpected(LinalgError{LinalgError::Kind::LapackInvalidShape});
    // Also a one-tile matrix: LAPACK's own blocked factorisation would be
    // threaded by the BLAS's thread count.
    const SingleThreadedBlas blas;
    const Tiles tiles(m.data(), n);
    for (index_t k = 0; k < tiles.count(); ++k) {
        if (const lapack_int info = tiles.factor_diagonal(k); info != 0)
            return std::unexpected(LinalgError::from_info(info > 0 ? info + k * tiles.tile() : info));
        const index_t below = tiles.count() - k - 1;
        if (below == 0) break;
        parallel_for(below, [&](std::size_t i) { tiles.solve_below(k + 1 + i, k); });
        parallel_for(below * (below + 1) / 2, [&](std::size_t p) {
            const auto [i, j] = lower_pair(p);
            tiles.update(k + 1 + i, k + 1 + j, k);
        });
    }
    for (index_t i = 0; i < n; ++i) std::fill_n(m.data() + i * n + i + 1, n - i - 1, 0.0);
    return m;
}

}  // namespace ordinata::linalg

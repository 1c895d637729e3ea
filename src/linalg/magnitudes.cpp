#include "linalg/magnitudes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "linalg/row_chunks.hpp"

namespace ordinata::linalg {

namespace {
constexpr std::uint64_t kExpMask = 0x7ff0000000000000ULL;

// Copies n contiguous doubles, recording their exponents.
void copy_block_scan(const double* src, double* dst, index_t n, MagnitudeRange& range) {
    MagnitudeRange local;
    for (index_t i = 0; i < n; ++i) {
        local.add(src[i]);
        dst[i] = src[i];
    }
    range.add(local);
}
}  // namespace

std::optional<Matrix> copy_if_finite(MatrixView a, MagnitudeRange* range) {
    Matrix out(a.rows(), a.cols());
    const index_t m = a.cols();
    const auto parts = map_row_chunks(a.rows(), m, [&](index_t first, index_t rows) {
        MagnitudeRange seen;
        const MatrixView src = a.row_range(first, rows);
        double* dst = out.data() + first * m;
        if (src.col_stride == 1 && src.row_stride == static_cast<stride_t>(m)) {
            copy_block_scan(src.base, dst, rows * m, seen);
            return seen;
        }
        for (index_t i = 0; i < rows; ++i, dst += m) {
            const VectorView r = src.row(i);
            if (r.stride == 1) {
                copy_block_scan(r.base, dst, m, seen);
            } else {
                for (index_t j = 0; j < m; ++j) dst[j] = r[j];
                seen.add(magnitudes(VectorView{dst, m, 1}));
            }
        }
        return seen;
    });
    MagnitudeRange seen;
    for (const MagnitudeRange& part : parts) seen.add(part);
    if (!seen.finite()) return std::nullopt;
    if (range) range->add(seen);
    return out;
}

MagnitudeRange magnitudes(VectorView v) {
    MagnitudeRange range;
    if (v.stride != 1) {
        for (index_t i = 0; i < v.len; ++i) range.add(v[i]);
        return range;
    }
    // Packed compares of the magnitudes, OR-ed into three lanes: two values
    // an instruction on every x86-64 (the compiler will not vectorise the
    // flags of double compares itself).
    constexpr double largest = std::numeric_limits<double>::max(), huge = 0x1p480, tiny = 0x1p-480;
    std::int64_t bad = 0, big = 0, small = 0;
    const double* __restrict p = v.base;
    index_t i = 0;
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0), zero = _mm_setzero_pd();
    const __m128d top = _mm_set1_pd(largest), high = _mm_set1_pd(huge), low = _mm_set1_pd(tiny);
    __m128d any_bad = zero, any_big = zero, any_small = zero;
    for (; i + 2 <= v.len; i += 2) {
        const __m128d a = _mm_andnot_pd(sign, _mm_loadu_pd(p + i));
        any_bad = _mm_or_pd(any_bad, _mm_cmpnle_pd(a, top));  // NaN or infinite
        any_big = _mm_or_pd(any_big, _mm_cmpge_pd(a, high));
        any_small = _mm_or_pd(any_small, _mm_and_pd(_mm_cmplt_pd(a, low), _mm_cmpneq_pd(a, zero)));
    }
    bad = _mm_movemask_pd(any_bad);
    big = _mm_movemask_pd(any_big);
    small = _mm_movemask_pd(any_small);
#endif
    for (; i < v.len; ++i) {
        const double a = std::fabs(p[i]);
        bad |= static_cast<std::int64_t>(!(a <= largest));
        big |= static_cast<std::int64_t>(a >= huge);
        small |= static_cast<std::int64_t>(a < tiny) & static_cast<std::int64_t>(a != 0.0);
    }
    range.not_finite = static_cast<std::uint8_t>(bad != 0);
    range.huge = static_cast<std::uint8_t>(big != 0);
    range.tiny = static_cast<std::uint8_t>(small != 0);
    return range;
}

MagnitudeRange magnitudes(MatrixView a) {
    const auto parts = map_row_chunks(a.rows(), a.cols(), [&](index_t first, index_t rows) {
        const MatrixView part = a.row_range(first, rows);
        // One flat scan when the rows lie back to back.
        if (part.col_stride == 1 && part.row_stride == static_cast<stride_t>(part.cols()))
            return magnitudes(VectorView{part.base, rows * part.cols(), 1});
        MagnitudeRange range;
        for (index_t i = 0; i < rows; ++i) range.add(magnitudes(part.row(i)));
        return range;
    });
    MagnitudeRange range;
    for (const MagnitudeRange& part : parts) range.add(part);
    return range;
}

bool all_finite(VectorView v) {
    for (index_t i = 0; i < v.len; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

bool all_finite(MatrixView a) {
    if (a.row_major() && a.row_stride == static_cast<stride_t>(a.cols())) {
        // Integer test of the exponent bits: one branch-free, vectorisable
        // pass per block, then an early exit.
        const double* p = a.base;
        const index_t n = a.size();
        for (index_t start = 0; start < n; start += 1024) {
            const index_t end = std::min(n, start + 1024);
            std::uint64_t bad = 0;
            for (index_t i = start; i < end; ++i) {
                std::uint64_t bits;
                std::memcpy(&bits, p + i, sizeof bits);
                bad |= static_cast<std::uint64_t>((bits & kExpMask) == kExpMask);
            }
            if (bad) return false;
        }
        return true;
    }
    for (index_t i = 0; i < a.rows(); ++i)
        if (!all_finite(a.row(i))) return false;
    return true;
}

}  // namespace ordinata::linalg

#include "linalg/matrix.hpp"

#include "linalg/row_chunks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <iterator>
#include <new>
#include <string>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ordinata::linalg {

void Buffer::Free::operator()(double* p) const { std::free(p); }

namespace {

// Decimal units, one decimal place: "8.0 GB".
std::string byte_size(double bytes) {
    static constexpr const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
    char text[64];
    if (bytes < 1000.0) {
        std::snprintf(text, sizeof text, "%.0f bytes", bytes);
        return text;
    }
    std::size_t u = 0;
    bytes /= 1000.0;
    while (bytes >= 999.95 && u + 1 < std::size(units)) {
        bytes /= 1000.0;
        ++u;
    }
    std::snprintf(text, sizeof text, "%.1f %s", bytes, units[u]);
    return text;
}

std::string allocation_message(index_t rows, index_t cols, Purpose purpose) {
    const char* what = purpose.text ? purpose.text : (cols == 1 ? "a vector" : "a matrix");
    // In floating point: the byte count itself may not fit in 64 bits.
    const double bytes = static_cast<double>(rows) * static_cast<double>(cols) * sizeof(double);
    return "Cannot allocate " + byte_size(bytes) + " for " + what + " (" + std::to_string(rows) + " x " +
           std::to_string(cols) + " doubles)";
}

}  // namespace

AllocationError::AllocationError(index_t rows, index_t cols, Purpose purpose)
    : rows_(rows), cols_(cols), message_(allocation_message(rows, cols, purpose)) {}

double* Buffer::allocate_checked(index_t rows, index_t cols, Purpose purpose) {
    const std::size_t n = rows * cols;
    // Checked before the empty case: a wrapped count can be exactly 0.
    if (cols != 0 && n / cols != rows) throw AllocationError(rows, cols, purpose);
    if (n == 0) return nullptr;
    constexpr std::size_t huge = std::size_t{1} << 21;
    if (n > (std::numeric_limits<std::size_t>::max() - huge) / sizeof(double))
        throw AllocationError(rows, cols, purpose);
    const std::size_t bytes = n * sizeof(double);
    if (bytes < 2 * huge) {
        void* p = std::malloc(bytes);
        if (!p) throw AllocationError(rows, cols, purpose);
        return static_cast<double*>(p);
    }
    const std::size_t rounded = (bytes + huge - 1) / huge * huge;
    void* p = std::aligned_alloc(huge, rounded);
    if (!p) throw AllocationError(rows, cols, purpose);
    madvise(p, rounded, MADV_HUGEPAGE);
    return static_cast<double*>(p);
}

void Buffer::fill(double v) { std::fill_n(data_.get(), size_, v); }

void Buffer::copy_from(const double* src) {
    if (size_) std::memcpy(data_.get(), src, size_ * sizeof(double));
}

Vector Vector::from(VectorView v) {
    Vector out(v.size());
    double* dst = out.data();
    if (v.stride == 1) {
        if (v.len) std::memcpy(dst, v.base, v.len * sizeof(double));
    } else {
        for (index_t i = 0; i < v.len; ++i) dst[i] = v[i];
    }
    return out;
}

Matrix Matrix::from(MatrixView v) {
    Matrix out(v.rows(), v.cols());
    double* dst = out.data();
    const index_t n = v.rows(), m = v.cols();
    if (v.col_stride == 1 && v.row_stride == static_cast<stride_t>(m)) {
        if (n != 0 && m != 0) std::memcpy(dst, v.base, n * m * sizeof(double));
        return out;
    }
    for (index_t i = 0; i < n; ++i) {
        const VectorView r = v.row(i);
        if (r.stride == 1) {
            if (m) std::memcpy(dst + i * m, r.base, m * sizeof(double));
        } else {
            for (index_t j = 0; j < m; ++j) dst[i * m + j] = r[j];
        }
    }
    return out;
}

double sum(VectorView v) {
    double s = 0.0;
    for (index_t i = 0; i < v.len; ++i) s += v[i];
    return s;
}

namespace {
template <class Op>
Vector zip(VectorView a, VectorView b, Op op) {
    Vector out(a.size());
    for (index_t i = 0; i < a.size(); ++i) out[i] = op(a[i], b[i]);
    return out;
}
}  // namespace

Vector sub(VectorView a, VectorView b) {
    return zip(a, b, [](double x, double y) { return x - y; });
}
Vector div(VectorView a, VectorView b) {
    return zip(a, b, [](double x, double y) { return x / y; });
}

Vector scale(VectorView a, double s) {
    Vector out(a.size());
    for (index_t i = 0; i < a.size(); ++i) out[i] = a[i] * s;
    return out;
}

Matrix scale(MatrixView a, double s) {
    Matrix out(a.rows(), a.cols());
    for (index_t i = 0; i < a.rows(); ++i)
        for (index_t j = 0; j < a.cols(); ++j) out(i, j) = a(i, j) * s;
    return out;
}

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

void copy_into(MatrixView a, Matrix& out) {
    for (index_t i = 0; i < a.rows(); ++i) {
        const VectorView r = a.row(i);
        double* dst = out.data() + i * a.cols();
        if (r.stride == 1)
            std::copy_n(r.base, a.cols(), dst);
        else
            for (index_t j = 0; j < a.cols(); ++j) dst[j] = r[j];
    }
}

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
        constexpr std::uint64_t exp_mask = 0x7ff0000000000000ULL;
        const double* p = a.base;
        const index_t n = a.size();
        for (index_t start = 0; start < n; start += 1024) {
            const index_t end = std::min(n, start + 1024);
            std::uint64_t bad = 0;
            for (index_t i = start; i < end; ++i) {
                std::uint64_t bits;
                std::memcpy(&bits, p + i, sizeof bits);
                bad |= static_cast<std::uint64_t>((bits & exp_mask) == exp_mask);
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

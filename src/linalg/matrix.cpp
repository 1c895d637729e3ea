#include "linalg/matrix.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <iterator>
#include <new>
#include <string>

#include <sys/mman.h>

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

}  // namespace ordinata::linalg

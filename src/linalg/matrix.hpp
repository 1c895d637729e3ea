// Dense row-major Matrix and Vector, and the read-only strided views every
// operation accepts. Views never own memory and nothing writes through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>

namespace ordinata::linalg {

using index_t = std::uint64_t;
using stride_t = std::int64_t;

// One-dimensional read-only view: element i lives at base[i * stride].
struct VectorView {
    const double* base = nullptr;
    index_t len = 0;
    stride_t stride = 1;

    double operator[](index_t i) const { return base[static_cast<stride_t>(i) * stride]; }
    index_t size() const { return len; }
    bool contiguous() const { return stride == 1 || len <= 1; }
    VectorView sub(index_t start, index_t count) const {
        return {base + static_cast<stride_t>(start) * stride, count, stride};
    }
};

// One-dimensional read-only view of 64-bit integers (entity identifiers).
struct IntVectorView {
    const std::int64_t* base = nullptr;
    index_t len = 0;
    stride_t stride = 1;

    std::int64_t operator[](index_t i) const { return base[static_cast<stride_t>(i) * stride]; }
    index_t size() const { return len; }
};

// Two-dimensional read-only view: element (i, j) lives at
// base[i * row_stride + j * col_stride]. Strides may be negative.
struct MatrixView {
    const double* base = nullptr;
    index_t n_rows = 0;
    index_t n_cols = 0;
    stride_t row_stride = 0;
    stride_t col_stride = 1;

    double operator()(index_t i, index_t j) const {
        return base[static_cast<stride_t>(i) * row_stride + static_cast<stride_t>(j) * col_stride];
    }
    index_t rows() const { return n_rows; }
    index_t cols() const { return n_cols; }
    index_t size() const { return n_rows * n_cols; }

    MatrixView t() const { return {base, n_cols, n_rows, col_stride, row_stride}; }
    VectorView row(index_t i) const { return {base + static_cast<stride_t>(i) * row_stride, n_cols, col_stride}; }
    VectorView col(index_t j) const { return {base + static_cast<stride_t>(j) * col_stride, n_rows, row_stride}; }
    MatrixView col_range(index_t first, index_t count) const {
        return {base + static_cast<stride_t>(first) * col_stride, n_rows, count, row_stride, col_stride};
    }
    MatrixView row_range(index_t first, index_t count) const {
        return {base + static_cast<stride_t>(first) * row_stride, count, n_cols, row_stride, col_stride};
    }
    // Rows laid out contiguously with unit column stride (what BLAS reads as row-major).
    bool row_major() const {
        return (col_stride == 1 || n_cols <= 1) && (row_stride >= static_cast<stride_t>(n_cols) || n_rows <= 1) &&
               row_stride >= 0;
    }
    bool col_major() const { return t().row_major(); }
};

// Names what an allocation holds, for the message when it fails.
struct Purpose {
    const char* text = nullptr;
};

// Thrown by every Matrix and Vector allocation that fails, so that the
// user learns what did not fit and how large it was, not just "no memory".
class AllocationError : public std::bad_alloc {
public:
    AllocationError(index_t rows, index_t cols, Purpose purpose);
    index_t rows() const noexcept { return rows_; }
    index_t cols() const noexcept { return cols_; }
    // "Cannot allocate 8.0 GB for the predictions (1000000000 x 1 doubles)"
    const char* what() const noexcept override { return message_.what(); }

private:
    index_t rows_;
    index_t cols_;
    std::runtime_error message_;  // a string whose copies cannot throw
};

// Owned buffer of doubles, deliberately left uninitialised on allocation:
// every constructor below fills it before anyone reads it.
class Buffer {
public:
    Buffer() = default;
    // rows x cols doubles; throws AllocationError (also when the count overflows).
    Buffer(index_t rows, index_t cols, Purpose purpose = {})
        : data_(allocate(rows, cols, purpose)), size_(rows * cols) {}
    Buffer(const Buffer& other) : Buffer(other.size_, 1) { copy_from(other.data_.get()); }
    Buffer& operator=(const Buffer& other) {
        if (this != &other) *this = Buffer(other);
        return *this;
    }
    Buffer(Buffer&& other) noexcept : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    double* data() { return data_.get(); }
    const double* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    void fill(double v);
    // Hands the storage to the caller, who frees it with deallocate; the
    // buffer is left empty.
    double* release() {
        size_ = 0;
        return data_.release();
    }
    static void deallocate(double* p) { Free{}(p); }

private:
    struct Free {
        void operator()(double* p) const;
    };
    // Small buffers straight from malloc, inline: most buffers of a small
    // fit are a few doubles, and the checks below would cost more than the
    // allocation itself.
    static double* allocate(index_t rows, index_t cols, Purpose purpose) {
        constexpr index_t small = index_t{1} << 16;
        index_t n = 0;
        if (!__builtin_mul_overflow(rows, cols, &n) && n - 1 < small)
            if (void* p = std::malloc(n * sizeof(double))) return static_cast<double*>(p);
        return allocate_checked(rows, cols, purpose);
    }
    // Every other size, with the overflow and failure checks. Large buffers
    // are aligned to 2 MiB and marked for transparent huge pages: first-touch
    // page faults otherwise dominate copying big inputs.
    static double* allocate_checked(index_t rows, index_t cols, Purpose purpose);
    void copy_from(const double* src);
    std::unique_ptr<double, Free> data_;
    std::size_t size_ = 0;
};

class Vector {
public:
    Vector() = default;
    explicit Vector(index_t n) : buf_(n, 1) {}
    Vector(index_t n, Purpose purpose) : buf_(n, 1, purpose) {}
    Vector(index_t n, double value) : buf_(n, 1) { buf_.fill(value); }
    static Vector from(VectorView v);

    index_t size() const { return buf_.size(); }
    double* data() { return buf_.data(); }
    const double* data() const { return buf_.data(); }
    double& operator[](index_t i) { return buf_.data()[i]; }
    double operator[](index_t i) const { return buf_.data()[i]; }
    VectorView view() const { return {buf_.data(), size(), 1}; }
    operator VectorView() const { return view(); }
    std::span<const double> span() const { return {buf_.data(), buf_.size()}; }
    // The storage, for the caller to free with Buffer::deallocate.
    double* release() { return buf_.release(); }

private:
    Buffer buf_;
};

class Matrix {
public:
    Matrix() = default;
    Matrix(index_t rows, index_t cols) : rows_(rows), cols_(cols), buf_(rows, cols) {}
    Matrix(index_t rows, index_t cols, double value) : Matrix(rows, cols) { buf_.fill(value); }
    static Matrix from(MatrixView v);

    index_t rows() const { return rows_; }
    index_t cols() const { return cols_; }
    index_t size() const { return rows_ * cols_; }
    double* data() { return buf_.data(); }
    const double* data() const { return buf_.data(); }
    double& operator()(index_t i, index_t j) { return buf_.data()[i * cols_ + j]; }
    double operator()(index_t i, index_t j) const { return buf_.data()[i * cols_ + j]; }
    MatrixView view() const { return {buf_.data(), rows_, cols_, static_cast<stride_t>(cols_), 1}; }
    operator MatrixView() const { return view(); }
    MatrixView t() const { return view().t(); }

private:
    index_t rows_ = 0;
    index_t cols_ = 0;
    Buffer buf_;
};

// n doubles, on the stack up to N, on the heap beyond.
template <index_t N>
class Scratch {
public:
    explicit Scratch(index_t n) {
        if (n > N) {
            heap_ = Vector(n);
            data_ = heap_.data();
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    double* data() { return data_; }
    const double* data() const { return data_; }
    double& operator[](index_t i) { return data_[i]; }
    double operator[](index_t i) const { return data_[i]; }

private:
    double local_[N];
    Vector heap_;
    double* data_ = local_;
};

// Copies a into out, which has a's shape.
void copy_into(MatrixView a, Matrix& out);

// Element-wise helpers.
double sum(VectorView v);
Vector sub(VectorView a, VectorView b);
Vector div(VectorView a, VectorView b);  // IEEE division
Vector scale(VectorView a, double s);
Matrix scale(MatrixView a, double s);

}  // namespace ordinata::linalg

#include "frames/bootstrap.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "frames/buffer.hpp"
#include "linalg/thread_pool.hpp"

namespace ordinata::frames {

namespace {

// An exact sum of doubles: 32-bit digits of the value in units of 2^-1074 (the
// smallest subnormal), digit i weighing 2^(32 i); the last digit takes the carries
// and the sign. Integer additions are exact and associative, so the sums of any
// grouping of the same terms are the same bits.
constexpr int kDigits = 67;
using Digits = std::int64_t*;

void add_exact(Digits digits, double x) {
    if (x == 0.0) return;
    const auto bits = std::bit_cast<std::uint64_t>(x);
    // -1 for a negative x, else 0: the digits' signs without a branch, which random signs would mispredict
    const auto sign = -static_cast<std::int64_t>(bits >> 63);
    int exponent = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    if (exponent != 0)
        mantissa |= std::uint64_t{1} << 52;
    else
        exponent = 1;
    const int position = exponent - 1;  // |x| = mantissa * 2^(position - 1074)
    Digits at = digits + (position >> 5);
    const auto shifted = static_cast<unsigned __int128>(mantissa) << (position & 31);
    at[0] += (static_cast<std::int64_t>(shifted & 0xffffffffu) ^ sign) - sign;
    at[1] += (static_cast<std::int64_t>((shifted >> 32) & 0xffffffffu) ^ sign) - sign;
    at[2] += (static_cast<std::int64_t>(shifted >> 64) ^ sign) - sign;
}

// Every digit but the last into [0, 2^32), the carries moved up: one exact value
// has one normal form.
void normalise(Digits digits) {
    for (int i = 0; i + 1 < kDigits; ++i) {
        const std::int64_t carry = digits[i] >> 32;  // floor division
        digits[i] -= carry * (std::int64_t{1} << 32);
        digits[i + 1] += carry;
    }
}

// x * y as the exact pair (product, rounding error) where the product is finite.
void add_product(Digits digits, double x, double y) {
    const double p = x * y;
    add_exact(digits, p);
    add_exact(digits, std::fma(x, y, -p));
}

double rounded(const std::int64_t* source) {
    std::array<std::int64_t, kDigits> d;
    std::copy(source, source + kDigits, d.begin());
    normalise(d.data());
    const bool negative = d[kDigits - 1] < 0;
    if (negative) {
        for (auto& digit : d) digit = -digit;
        normalise(d.data());
    }
    int top = kDigits - 1;
    while (top > 0 && d[top] == 0) --top;
    // The three leading digits (96 bits) hold the value to far below a double's last bit.
    long double value = 0.0L;
    for (int i = top; i >= std::max(0, top - 2); --i) value = value * 4294967296.0L + static_cast<long double>(d[i]);
    const int scale = 32 * std::max(0, top - 2) - 1074;
    const auto out = static_cast<double>(std::ldexp(value, scale));
    return negative ? -out : out;
}

// The columns of a list of 1-D float64 arrays of one length.
bool get_columns(PyObject* list, std::vector<Buffer>& buffers, la::index_t& rows, const char* name) {
    if (!PyList_Check(list)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list of 1-dimensional float64 arrays", name);
        return false;
    }
    const Py_ssize_t count = PyList_Size(list);
    buffers = std::vector<Buffer>(static_cast<std::size_t>(count));
    for (Py_ssize_t j = 0; j < count; ++j) {
        Buffer& b = buffers[static_cast<std::size_t>(j)];
        if (!b.get(PyList_GET_ITEM(list, j), 1, false, name)) return false;
        if (j == 0) rows = b.dim(0);
        if (b.dim(0) != rows) {
            PyErr_Format(PyExc_ValueError, "the columns of %s differ in length", name);
            return false;
        }
    }
    return true;
}

double at(const Buffer& b, la::index_t i) { return b.data()[static_cast<la::stride_t>(i) * b.stride(0)]; }

bool get_group_codes(PyObject* obj, Buffer& codes, la::index_t rows, long long groups, const char* name) {
    if (!codes.get_codes(obj, name)) return false;
    if (codes.dim(0) != rows || !codes.contiguous()) {
        PyErr_Format(PyExc_ValueError, "%s must be contiguous with one code per row", name);
        return false;
    }
    const std::int64_t* c = codes.codes();
    for (la::index_t i = 0; i < rows; ++i)
        if (c[i] < 0 || c[i] >= groups) {
            PyErr_Format(PyExc_ValueError, "a code of %s lies outside [0, %lld)", name, groups);
            return false;
        }
    return true;
}

PyObject* digits_as_bytes(const std::vector<std::int64_t>& digits) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digits.data()),
                                     static_cast<Py_ssize_t>(digits.size() * sizeof(std::int64_t)));
}

// Native work whose refusal is a message; an empty message is success.
template <class F>
PyObject* refusing(F&& f) {
    const char* refusal = nullptr;
    PyObject* done = run_native([&] { refusal = f(); });
    if (!done) return nullptr;
    Py_DECREF(done);
    if (refusal) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return nullptr;
    }
    return Py_None;
}

constexpr const char* kNotFinite = "the data hold a NaN or infinite value";
constexpr const char* kOverflow = "a product of the design's values overflows: rescale the columns";

// Rows between normalisations: each adds below 2^34 to a digit, which holds 2^62.
constexpr la::index_t kRowsPerNormalisation = la::index_t{1} << 26;
// A task of the pass takes at least this many rows, and the tasks' sums together at most kTaskBytes.
constexpr la::index_t kRowsPerTask = 1 << 16;
constexpr std::size_t kTaskBytes = std::size_t{1} << 28;

}  // namespace

PyObject* group_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 3, "group_sums")) return nullptr;
    std::vector<Buffer> a;
    la::index_t n = 0;
    Buffer codes;
    const long long groups = PyLong_AsLongLong(args[2]);
    if (PyErr_Occurred() || !get_columns(args[0], a, n, "a") || !get_group_codes(args[1], codes, n, groups, "codes"))
        return nullptr;
    const auto c = static_cast<la::index_t>(a.size());
    const la::index_t entries = c + 1;
    std::vector<std::int64_t> digits(static_cast<std::size_t>(groups * entries * kDigits), 0);
    PyObject* done = refusing([&]() -> const char* {
        const std::int64_t* code = codes.codes();
        for (la::index_t i = 0; i < n; ++i) {
            std::int64_t* row = digits.data() + code[i] * entries * kDigits;
            add_exact(row, 1.0);
            for (la::index_t j = 0; j < c; ++j) {
                const double x = at(a[j], i);
                if (!std::isfinite(x)) return kNotFinite;
                add_exact(row + (j + 1) * kDigits, x);
            }
            if ((i + 1) % kRowsPerNormalisation == 0)
                for (std::size_t d = 0; d < digits.size(); d += kDigits) normalise(digits.data() + d);
        }
        for (std::size_t d = 0; d < digits.size(); d += kDigits) normalise(digits.data() + d);
        return nullptr;
    });
    if (!done) return nullptr;
    return digits_as_bytes(digits);
}

PyObject* cluster_grams(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 8, "cluster_grams")) return nullptr;
    std::vector<Buffer> a;
    la::index_t n = 0;
    Buffer w, beta, codes, entity, table;
    const int intercept = PyObject_IsTrue(args[2]);
    const long long groups = PyLong_AsLongLong(args[5]);
    if (intercept < 0 || PyErr_Occurred() || !get_columns(args[0], a, n, "a") || !beta.get(args[3], 1, false, "beta") ||
        !get_group_codes(args[4], codes, n, groups, "codes"))
        return nullptr;
    const auto c = static_cast<la::index_t>(a.size());
    const la::index_t p = c - 1, k = p + (intercept ? 1 : 0);
    if (c < 1 || beta.dim(0) != k) {
        PyErr_SetString(PyExc_ValueError, "cluster_grams: beta must hold one estimate per column of the design");
        return nullptr;
    }
    if (args[1] != Py_None && (!w.get(args[1], 1, false, "w") || w.dim(0) != n)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "w must have one weight per row");
        return nullptr;
    }
    const bool weighted = args[1] != Py_None;
    const bool centred = args[6] != Py_None;
    if (centred) {
        if (!table.get(args[7], 2, false, "table")) return nullptr;
        if (table.dim(1) != c || !get_group_codes(args[6], entity, n, static_cast<long long>(table.dim(0)), "entity"))
            return nullptr;
    }
    const la::index_t entries = k * (k + 1) / 2 + k;
    const auto size = static_cast<std::size_t>(groups * entries * kDigits);
    std::vector<double> b(static_cast<std::size_t>(k));
    for (la::index_t j = 0; j < k; ++j) b[j] = at(beta, j);
    // The rows of one task into its own sums; the refusal of its first bad row, else null.
    auto accumulate = [&](la::index_t first, la::index_t last, std::int64_t* digits) -> const char* {
        std::vector<double> z(static_cast<std::size_t>(k));
        const std::int64_t* code = codes.codes();
        for (la::index_t i = first; i < last; ++i) {
            la::index_t j0 = 0;
            if (intercept) z[j0++] = 1.0;
            double y = at(a[p], i);
            for (la::index_t j = 0; j < p; ++j) z[j0 + j] = at(a[j], i);
            if (centred) {
                const auto e = static_cast<la::stride_t>(entity.codes()[i]) * table.stride(0);
                for (la::index_t j = 0; j < p; ++j) z[j0 + j] -= table.data()[e + j * table.stride(1)];
                y -= table.data()[e + p * table.stride(1)];
            }
            double u = y;
            for (la::index_t j = 0; j < k; ++j) u -= b[j] * z[j];
            if (weighted) {
                const double s = std::sqrt(at(w, i));
                for (auto& v : z) v *= s;
                u *= s;
            }
            if (!std::isfinite(u)) return kNotFinite;
            std::int64_t* cell = digits + code[i] * entries * kDigits;
            for (la::index_t r = 0; r < k; ++r) {
                for (la::index_t s = r; s < k; ++s, cell += kDigits) {
                    if (!std::isfinite(z[r] * z[s])) return std::isfinite(z[r]) ? kOverflow : kNotFinite;
                    add_product(cell, z[r], z[s]);
                }
            }
            for (la::index_t r = 0; r < k; ++r, cell += kDigits) {
                if (!std::isfinite(z[r] * u)) return kOverflow;
                add_product(cell, z[r], u);
            }
            if ((i - first + 1) % kRowsPerNormalisation == 0)
                for (std::size_t d = 0; d < size; d += kDigits) normalise(digits + d);
        }
        for (std::size_t d = 0; d < size; d += kDigits) normalise(digits + d);
        return nullptr;
    };
    // The sums are exact, so any split of the rows gives the same bits: one task a thread, as far as
    // their sums fit in kTaskBytes.
    const auto tasks = static_cast<std::size_t>(std::max<la::index_t>(
        1, std::min<la::index_t>({static_cast<la::index_t>(la::max_threads()), n / kRowsPerTask,
                                  static_cast<la::index_t>(kTaskBytes / std::max<std::size_t>(1, size * 8))})));
    std::vector<std::vector<std::int64_t>> sums(tasks);
    std::vector<const char*> refusals(tasks, nullptr);
    const la::index_t step = (n + static_cast<la::index_t>(tasks) - 1) / static_cast<la::index_t>(tasks);
    PyObject* done = refusing([&]() -> const char* {
        la::parallel_for(tasks, [&](std::size_t t) {
            sums[t].assign(size, 0);
            const la::index_t first = std::min(n, static_cast<la::index_t>(t) * step);
            refusals[t] = accumulate(first, std::min(n, first + step), sums[t].data());
        });
        for (const char* refusal : refusals)
            if (refusal) return refusal;
        for (std::size_t t = 1; t < tasks; ++t)
            for (std::size_t d = 0; d < size; ++d) sums[0][d] += sums[t][d];
        return nullptr;
    });
    if (!done) return nullptr;
    std::vector<std::int64_t>& digits = sums[0];
    return digits_as_bytes(digits);
}

PyObject* exact_values(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 1, "exact_values")) return nullptr;
    char* data = nullptr;
    Py_ssize_t size = 0;
    constexpr auto kBytes = static_cast<Py_ssize_t>(kDigits * sizeof(std::int64_t));
    if (!PyBytes_Check(args[0]) || PyBytes_AsStringAndSize(args[0], &data, &size) < 0 || size % kBytes != 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "exact_values: sums must be bytes of whole sums");
        return nullptr;
    }
    const auto count = static_cast<std::size_t>(size / kBytes);
    std::vector<std::int64_t> digits(count * kDigits);
    std::copy_n(data, size, reinterpret_cast<char*>(digits.data()));
    std::vector<double> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = rounded(digits.data() + i * kDigits);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                     static_cast<Py_ssize_t>(count * sizeof(double)));
}

namespace {

enum class Weights : long { Rademacher = 0, Mammen = 1, Webb = 2, Normal = 3 };

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

// The weight of cluster g in draw b: SplitMix64's output at a counter given by (b, g),
// so that it depends on the seed and the indices alone.
class Draws {
public:
    Draws(std::uint64_t seed, la::index_t groups, Weights kind) : key_(mix(seed)), groups_(groups), kind_(kind) {}

    double weight(std::uint64_t draw, la::index_t g) const {
        const std::uint64_t counter = 2 * (draw * static_cast<std::uint64_t>(groups_) + static_cast<std::uint64_t>(g));
        const std::uint64_t x = bits(counter);
        constexpr double kUnit = 0x1.0p-53;
        switch (kind_) {
            case Weights::Rademacher:
                return (x >> 63) != 0 ? 1.0 : -1.0;
            case Weights::Mammen: {
                constexpr double kRoot5 = 2.23606797749978969640917366873;
                constexpr double kNegative = (kRoot5 + 1.0) / (2.0 * kRoot5);
                return static_cast<double>(x >> 11) * kUnit < kNegative ? -(kRoot5 - 1.0) / 2.0 : (kRoot5 + 1.0) / 2.0;
            }
            case Weights::Webb: {
                static const std::array<double, 6> kPoints{-std::sqrt(1.5), -1.0, -std::sqrt(0.5),
                                                           std::sqrt(0.5),  1.0,  std::sqrt(1.5)};
                return kPoints[static_cast<std::size_t>(((x >> 32) * 6) >> 32)];
            }
            case Weights::Normal: {
                const double u1 = static_cast<double>((x >> 11) + 1) * kUnit;  // (0, 1]
                const double u2 = static_cast<double>(bits(counter + 1) >> 11) * kUnit;
                return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
            }
        }
        return 0.0;
    }

private:
    std::uint64_t bits(std::uint64_t counter) const { return mix(key_ + (counter + 1) * 0x9e3779b97f4a7c15u); }

    std::uint64_t key_;
    la::index_t groups_;
    Weights kind_;
};

constexpr std::size_t kDrawsPerTask = 256;

}  // namespace

PyObject* wild_draws(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 8, "wild_draws")) return nullptr;
    Buffer c, p, q;
    if (!c.get(args[0], 1, false, "c") || !p.get(args[1], 2, false, "p") || !q.get(args[2], 2, false, "q"))
        return nullptr;
    const double scale = PyFloat_AsDouble(args[3]);
    const long kind = PyLong_AsLong(args[4]);
    const unsigned long long seed = PyLong_AsUnsignedLongLongMask(args[5]);
    const long long draws = PyLong_AsLongLong(args[6]);
    const int enumerate = PyObject_IsTrue(args[7]);
    if (PyErr_Occurred() || enumerate < 0) return nullptr;
    const la::index_t g = c.dim(0), k = p.dim(1);
    if (p.dim(0) != g || q.dim(0) != g || q.dim(1) != k || g < 1 || draws < 1 || kind < 0 || kind > 3 ||
        (enumerate && (g > 62 || draws != (1LL << g)))) {
        PyErr_SetString(PyExc_ValueError, "wild_draws: the shapes, the count of draws or the weights do not fit");
        return nullptr;
    }
    std::vector<double> t(static_cast<std::size_t>(draws));
    const Draws weights(seed, g, static_cast<Weights>(kind));
    const auto tasks = (static_cast<std::size_t>(draws) + kDrawsPerTask - 1) / kDrawsPerTask;
    auto one_task = [&](std::size_t task) {
        std::vector<double> v(static_cast<std::size_t>(g)), sum(static_cast<std::size_t>(k));
        const std::size_t end = std::min(t.size(), (task + 1) * kDrawsPerTask);
        for (std::size_t b = task * kDrawsPerTask; b < end; ++b) {
            for (la::index_t h = 0; h < g; ++h)
                v[h] = enumerate ? (((b >> h) & 1u) != 0 ? 1.0 : -1.0) : weights.weight(b, h);
            // numerator sum_h c_h v_h; q_b = sum_h q_h v_h
            double numerator = 0.0;
            std::fill(sum.begin(), sum.end(), 0.0);
            for (la::index_t h = 0; h < g; ++h) {
                numerator += c.data()[h * c.stride(0)] * v[h];
                for (la::index_t j = 0; j < k; ++j) sum[j] += q.data()[h * q.stride(0) + j * q.stride(1)] * v[h];
            }
            // the bootstrap sample's cluster scores projected on the tested coefficient
            double squares = 0.0;
            for (la::index_t h = 0; h < g; ++h) {
                double z = c.data()[h * c.stride(0)] * v[h];
                for (la::index_t j = 0; j < k; ++j) z -= p.data()[h * p.stride(0) + j * p.stride(1)] * sum[j];
                squares += z * z;
            }
            t[b] = numerator / std::sqrt(scale * squares);
        }
    };
    PyObject* done = run_native([&] { la::parallel_for(tasks, one_task); });
    if (!done) return nullptr;
    Py_DECREF(done);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(t.data()),
                                     static_cast<Py_ssize_t>(t.size() * sizeof(double)));
}

}  // namespace ordinata::frames

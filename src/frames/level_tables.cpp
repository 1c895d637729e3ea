#include "frames/level_tables.hpp"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "frames/buffer.hpp"
#include "frames/partitions.hpp"

namespace ordinata::frames {

namespace {

using index_t = la::index_t;

// A contiguous one-dimensional int64 or float64 argument of n entries (n < 0: any).
bool read_codes(PyObject* obj, Buffer& b, long long n, const char* name) {
    if (!b.get_codes(obj, name)) return false;
    if (!b.contiguous() || (n >= 0 && static_cast<long long>(b.dim(0)) != n)) {
        PyErr_Format(PyExc_ValueError, "%s must be contiguous with one entry per row", name);
        return false;
    }
    return true;
}

bool read_values(PyObject* obj, Buffer& b, index_t n, const char* name) {
    if (!b.get(obj, 1, false, name)) return false;
    if (!b.contiguous() || b.dim(0) != n) {
        PyErr_Format(PyExc_ValueError, "%s must be contiguous with one entry per row", name);
        return false;
    }
    return true;
}

// A C-contiguous float64 matrix (rows, columns), writable where asked.
bool read_table(PyObject* obj, Buffer& b, bool writable, const char* name) {
    if (!b.get(obj, 2, writable, name)) return false;
    if (b.dim(0) > 1 && b.stride(0) != static_cast<la::stride_t>(b.dim(1))) {
        PyErr_Format(PyExc_ValueError, "%s must be C-contiguous", name);
        return false;
    }
    if (b.dim(1) > 1 && b.stride(1) != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be C-contiguous", name);
        return false;
    }
    return true;
}

bool read_size(PyObject* obj, long long& out, const char* name) {
    out = PyLong_AsLongLong(obj);
    if (out == -1 && PyErr_Occurred()) return false;
    if (out < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
        return false;
    }
    return true;
}

// A contiguous writable one-dimensional output of at least n entries: int64 codes or float64 values.
bool read_out(PyObject* obj, Buffer& b, index_t n, const char* name) {
    if (!b.get_codes_out(obj, name)) return false;
    if (!b.contiguous() || b.dim(0) < n) {
        PyErr_Format(PyExc_ValueError, "%s must be contiguous with an entry per row", name);
        return false;
    }
    return true;
}

bool read_out_values(PyObject* obj, Buffer& b, index_t n, const char* name) {
    if (!b.get(obj, 1, true, name)) return false;
    if (!b.contiguous() || b.dim(0) < n) {
        PyErr_Format(PyExc_ValueError, "%s must be contiguous with an entry per row", name);
        return false;
    }
    return true;
}

// Whether key lies in [low, low + span), without overflow for any key and low.
bool in_range(std::int64_t key, std::int64_t low, long long span) {
    return key >= low &&
           static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(low) < static_cast<std::uint64_t>(span);
}

bool within(const std::int64_t* codes, index_t n, long long size) {
    return std::all_of(codes, codes + n, [size](std::int64_t c) { return c >= 0 && c < size; });
}

// Scratch a thread keeps for its next call where it is small: a dask worker
// returns freed memory to the system, so scratch allocated afresh for each
// partition is mapped and faulted in again page by page. Each Slot is its own
// vector (two scratches of one type may be alive at once); beyond kKeptScratch
// bytes the scratch is the call's own, freed after it.
constexpr std::size_t kKeptScratch = std::size_t{64} << 20;

template <class T, int Slot>
class Scratch {
public:
    explicit Scratch(std::size_t count) {
        if (count * sizeof(T) <= kKeptScratch) {
            thread_local std::vector<T> kept;
            if (kept.size() < count) kept.resize(count);
            data_ = kept.data();
        } else {
            own_.resize(count);
            data_ = own_.data();
        }
        size_ = count;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    T* begin() const { return data_; }
    T* end() const { return data_ + size_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) const { return data_[i]; }

private:
    std::vector<T> own_;
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

// Rows a random-access loop fetches ahead: a later row's level (or bucket)
// requested while this one's is read.
constexpr index_t kAhead = 16;

// A level with at most this many rows is sorted by insertion.
constexpr std::ptrdiff_t kInsertionSort = 32;

// A row sorted by a code (its g code in its f level, or its pair's code): the
// code alone, or with its weight where the rows are weighted.
template <class Code>
struct Weighted {
    Code code = 0;
    double w = 0.0;
};
template <std::integral Code>
Code code_of(Code c) {
    return c;
}
template <class Code>
Code code_of(const Weighted<Code>& x) {
    return x.code;
}
template <std::integral Code>
double weight_of(Code) {
    return 1.0;
}
template <class Code>
double weight_of(const Weighted<Code>& x) {
    return x.w;
}
using WeightedCode = Weighted<std::int64_t>;
using CodedWeight = Weighted<std::uint32_t>;

// The rows ordered by f (counting sort, stable), then within each f by g
// (stable), equal pairs' weights summed in the rows' order: emit(f, g, weight)
// per distinct pair, rising; the count returned.
template <class Item, class Emit>
std::size_t sum_pairs(const std::int64_t* f, const std::int64_t* g, const double* w, index_t n, long long levels_f,
                      Emit emit) {
    // ends[l]: first the start of level l, then (advanced by its rows) its end.
    const Scratch<std::int64_t, 0> ends(static_cast<std::size_t>(levels_f) + 1);
    std::fill(ends.begin(), ends.end(), 0);
    for (index_t i = 0; i < n; ++i) ++ends[static_cast<std::size_t>(f[i]) + 1];
    for (std::size_t l = 1; l < ends.size(); ++l) ends[l] += ends[l - 1];
    const Scratch<Item, 1> by_f(static_cast<std::size_t>(n));
    for (index_t i = 0; i < n; ++i) {
        Item& at = by_f[static_cast<std::size_t>(ends[static_cast<std::size_t>(f[i])]++)];
        if constexpr (std::is_same_v<Item, WeightedCode>)
            at = {g[i], w[i]};
        else
            at = g[i];
    }
    std::size_t count = 0;
    const auto by_g = [](const Item& a, const Item& b) { return code_of(a) < code_of(b); };
    std::int64_t begin = 0;
    for (std::size_t l = 0; l + 1 < ends.size(); begin = ends[l++]) {
        const auto first = by_f.begin() + begin, last = by_f.begin() + ends[l];
        if (last - first > kInsertionSort) {
            std::stable_sort(first, last, by_g);
        } else {  // a level's few rows: no buffer to allocate, as stable_sort would
            for (auto it = first + (first != last); it < last; ++it)
                for (auto at = it; at != first && by_g(*at, *(at - 1)); --at) std::iter_swap(at, at - 1);
        }
        double sum = 0.0;
        for (auto it = first; it != last; ++it) {
            sum += weight_of(*it);
            if (it + 1 == last || code_of(*(it + 1)) != code_of(*it)) {
                emit(count++, static_cast<std::int64_t>(l), code_of(*it), sum);
                sum = 0.0;
            }
        }
    }
    return count;
}

// The pairs' codes f * levels_g + g sorted by two passes of a stable radix
// sort (12 bits a digit) where they fit in 24 bits: the rows of one pair stay
// in their order, so each pair's weight is summed as sum_pairs sums it. A row
// is a 32-bit code (and its weight): two sequential scatters over few buckets
// rather than one over a bucket per level.
constexpr int kRadixBits = 12;
constexpr long long kRadixCodes = 1LL << (2 * kRadixBits);

bool sorted_by_radix(long long levels_f, long long levels_g) {
    return levels_g > 0 && levels_f <= kRadixCodes / levels_g;
}

template <class Item, class EmitCode>
std::size_t radix_pairs(const std::int64_t* f, const std::int64_t* g, const double* w, index_t n, long long levels_g,
                        EmitCode emit) {
    constexpr std::size_t kBuckets = std::size_t{1} << kRadixBits, kMask = kBuckets - 1;
    std::vector<std::int64_t> low(kBuckets + 1, 0), high(kBuckets + 1, 0);
    const Scratch<Item, 5> first(static_cast<std::size_t>(n));
    const Scratch<Item, 6> second(static_cast<std::size_t>(n));
    // The rows as items, in their order, counted by both digits.
    for (index_t i = 0; i < n; ++i) {
        const auto code = static_cast<std::uint32_t>(f[i] * levels_g + g[i]);
        if constexpr (std::is_same_v<Item, CodedWeight>)
            second[static_cast<std::size_t>(i)] = {code, w[i]};
        else
            second[static_cast<std::size_t>(i)] = code;
        ++low[(code & kMask) + 1];
        ++high[(code >> kRadixBits) + 1];
    }
    for (std::size_t b = 1; b <= kBuckets; ++b) {
        low[b] += low[b - 1];
        high[b] += high[b - 1];
    }
    for (const Item& item : second) first[static_cast<std::size_t>(low[code_of(item) & kMask]++)] = item;
    for (const Item& item : first) second[static_cast<std::size_t>(high[code_of(item) >> kRadixBits]++)] = item;
    std::size_t count = 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < second.size(); ++i) {
        sum += weight_of(second[i]);
        if (i + 1 == second.size() || code_of(second[i + 1]) != code_of(second[i])) {
            emit(count++, static_cast<std::int64_t>(code_of(second[i])), sum);
            sum = 0.0;
        }
    }
    return count;
}

// A kernel's result: its pending error, else a ValueError where it found a value
// outside its range, else None.
PyObject* outcome(PyObject* done, bool inside, const char* outside) {
    if (!done) return nullptr;
    if (!inside) {
        Py_DECREF(done);
        PyErr_SetString(PyExc_ValueError, outside);
        return nullptr;
    }
    return done;
}

}  // namespace

PyObject* pair_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 7, "pair_sums")) return nullptr;
    Buffer f, g, w, keys, sums;
    long long levels_f = 0, levels_g = 0;
    if (!read_codes(args[0], f, -1, "codes_f") ||
        !read_codes(args[1], g, static_cast<long long>(f.dim(0)), "codes_g") ||
        (args[2] != Py_None && !read_values(args[2], w, f.dim(0), "weights")) ||
        !read_size(args[3], levels_f, "levels_f") || !read_size(args[4], levels_g, "levels_g") ||
        !read_out(args[5], keys, f.dim(0), "out_keys") || !read_out_values(args[6], sums, f.dim(0), "out_sums"))
        return nullptr;
    const index_t n = f.dim(0);
    if (levels_g > 0 && levels_f > std::numeric_limits<std::int64_t>::max() / levels_g) {
        PyErr_SetString(PyExc_OverflowError, "pair_sums: levels_f * levels_g exceeds int64");
        return nullptr;
    }
    bool inside = true;
    std::size_t count = 0;
    const double* weights = args[2] == Py_None ? nullptr : w.data();
    std::int64_t* out_keys = keys.codes_out();
    double* out_sums = sums.data();
    const auto emit = [&](std::size_t at, std::int64_t a, std::int64_t b, double sum) {
        out_keys[at] = a * levels_g + b;
        out_sums[at] = sum;
    };
    PyObject* done = run_native([&] {
        inside = within(f.codes(), n, levels_f) && within(g.codes(), n, levels_g);
        if (!inside) return;
        const auto emit_code = [&](std::size_t at, std::int64_t code, double sum) {
            out_keys[at] = code;
            out_sums[at] = sum;
        };
        if (sorted_by_radix(levels_f, levels_g))
            count = weights ? radix_pairs<CodedWeight>(f.codes(), g.codes(), weights, n, levels_g, emit_code)
                            : radix_pairs<std::uint32_t>(f.codes(), g.codes(), weights, n, levels_g, emit_code);
        else
            count = weights ? sum_pairs<WeightedCode>(f.codes(), g.codes(), weights, n, levels_f, emit)
                            : sum_pairs<std::int64_t>(f.codes(), g.codes(), weights, n, levels_f, emit);
    });
    done = outcome(done, inside, "pair_sums: a code lies outside its factor's levels");
    if (!done) return nullptr;
    Py_DECREF(done);
    return PyLong_FromSize_t(count);
}

PyObject* add_rows_into(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 5, "add_rows_into")) return nullptr;
    Buffer table, keys, values, shift;
    long long low = PyLong_AsLongLong(args[1]);
    if ((low == -1 && PyErr_Occurred()) || !read_table(args[0], table, true, "table") ||
        !read_codes(args[2], keys, -1, "keys") || !read_table(args[3], values, false, "values") ||
        !shift.get(args[4], 1, false, "shift"))
        return nullptr;
    const index_t n = keys.dim(0), width = table.dim(1);
    const auto span = static_cast<long long>(table.dim(0));
    if (values.dim(0) != n || values.dim(1) != width || width < 1 || shift.dim(0) != width - 1 || !shift.contiguous()) {
        PyErr_SetString(PyExc_ValueError,
                        "add_rows_into: values need a row per key as wide as the table, shift one entry per sum");
        return nullptr;
    }
    bool inside = true;
    PyObject* done = run_native([&] {
        const std::int64_t* k = keys.codes();
        inside = std::all_of(k, k + n, [&](std::int64_t key) { return in_range(key, low, span); });
        if (!inside) return;
        double* out = table.data();
        const double* in = values.data();
        const double* by = shift.data();
        for (index_t i = 0; i < n; ++i) {
            double* row = out + static_cast<index_t>(k[i] - low) * width;
            const double* from = in + i * width;
            row[0] += from[0];
            for (index_t j = 1; j < width; ++j) row[j] += from[j] + from[0] * by[j - 1];
        }
    });
    return outcome(done, inside, "add_rows_into: a key lies outside the table's range");
}

PyObject* add_pairs_into(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 5, "add_pairs_into")) return nullptr;
    Buffer table, weights;
    long long low_f = PyLong_AsLongLong(args[1]), low_g = PyLong_AsLongLong(args[2]);
    if (PyErr_Occurred() || !read_table(args[0], table, true, "table")) return nullptr;
    Py_buffer pairs{};
    if (PyObject_GetBuffer(args[3], &pairs, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
    const char* format = pairs.format ? pairs.format : "";
    if (*format == '<' || *format == '=' || *format == '@') ++format;
    const bool typed = pairs.ndim == 2 && pairs.shape[1] == 2 && pairs.itemsize == 8 &&
                       (format[0] == 'l' || format[0] == 'q') && format[1] == '\0';
    const index_t n = typed ? static_cast<index_t>(pairs.shape[0]) : 0;
    if (!typed) {
        PyBuffer_Release(&pairs);
        PyErr_SetString(PyExc_TypeError, "pairs must be a C-contiguous (n, 2) int64 array");
        return nullptr;
    }
    if (!read_values(args[4], weights, n, "weights")) {
        PyBuffer_Release(&pairs);
        return nullptr;
    }
    const auto rows = static_cast<long long>(table.dim(0)), columns = static_cast<long long>(table.dim(1));
    bool inside = true;
    PyObject* done = run_native([&] {
        const auto* p = static_cast<const std::int64_t*>(pairs.buf);
        for (index_t i = 0; i < n && inside; ++i)
            inside = in_range(p[2 * i], low_f, rows) && in_range(p[2 * i + 1], low_g, columns);
        if (!inside) return;
        double* out = table.data();
        const double* w = weights.data();
        for (index_t i = 0; i < n; ++i)
            out[static_cast<index_t>((p[2 * i] - low_f) * columns + (p[2 * i + 1] - low_g))] += w[i];
    });
    PyBuffer_Release(&pairs);
    return outcome(done, inside, "add_pairs_into: a pair lies outside the table's ranges");
}

PyObject* add_coded_pairs_into(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 7, "add_coded_pairs_into")) return nullptr;
    Buffer table, codes, weights, keys_f, keys_g;
    long long low_f = PyLong_AsLongLong(args[1]), low_g = PyLong_AsLongLong(args[2]);
    if (PyErr_Occurred() || !read_table(args[0], table, true, "table") || !read_codes(args[3], codes, -1, "codes") ||
        !read_values(args[4], weights, codes.dim(0), "weights") || !read_codes(args[5], keys_f, -1, "keys_f") ||
        !read_codes(args[6], keys_g, -1, "keys_g"))
        return nullptr;
    const index_t n = codes.dim(0);
    const auto levels_f = static_cast<long long>(keys_f.dim(0)), levels_g = static_cast<long long>(keys_g.dim(0));
    const auto rows = static_cast<long long>(table.dim(0)), columns = static_cast<long long>(table.dim(1));
    bool inside = levels_g == 0 || levels_f <= std::numeric_limits<std::int64_t>::max() / levels_g;
    PyObject* done = run_native([&] {
        const std::int64_t* c = codes.codes();
        const std::int64_t *kf = keys_f.codes(), *kg = keys_g.codes();
        inside = inside && within(c, n, levels_f * levels_g);
        for (index_t i = 0; i < n && inside; ++i)
            inside = in_range(kf[c[i] / levels_g], low_f, rows) && in_range(kg[c[i] % levels_g], low_g, columns);
        if (!inside) return;
        double* out = table.data();
        const double* w = weights.data();
        for (index_t i = 0; i < n; ++i)
            out[static_cast<index_t>((kf[c[i] / levels_g] - low_f) * columns + (kg[c[i] % levels_g] - low_g))] += w[i];
    });
    return outcome(done, inside, "add_coded_pairs_into: a pair lies outside the table's ranges");
}

PyObject* dense_pair_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 6, "dense_pair_codes")) return nullptr;
    Buffer table, code_f, code_g, codes, weights;
    long long levels_g = 0;
    if (!read_table(args[0], table, false, "table") || !read_codes(args[1], code_f, -1, "code_f") ||
        !read_codes(args[2], code_g, -1, "code_g") || !read_size(args[3], levels_g, "levels_g"))
        return nullptr;
    const index_t rows = table.dim(0), columns = table.dim(1);
    if (code_f.dim(0) != rows || code_g.dim(0) != columns) {
        PyErr_SetString(PyExc_ValueError, "dense_pair_codes: a code per row and per column of the table");
        return nullptr;
    }
    if (!read_out(args[4], codes, 0, "out_codes") || !read_out_values(args[5], weights, codes.dim(0), "out_weights"))
        return nullptr;
    const auto room = static_cast<std::size_t>(codes.dim(0));
    bool inside = true;
    std::size_t count = 0;
    PyObject* done = run_native([&] {
        const std::int64_t *of_f = code_f.codes(), *of_g = code_g.codes();
        inside = std::all_of(of_g, of_g + columns, [&](std::int64_t c) { return c < levels_g; });
        const double* cell = table.data();
        std::int64_t* out_codes = codes.codes_out();
        double* out_weights = weights.data();
        const long long top = std::numeric_limits<std::int64_t>::max() / std::max(levels_g, 1LL);
        bool unseen = false;
        for (index_t i = 0; i < rows; ++i, cell += columns) {
            const std::int64_t f = of_f[i];
            const std::int64_t base = f >= 0 && f < top ? f * levels_g : -1;
            // without a branch on the weight: each cell written at the count, which a nonzero one advances
            for (index_t j = 0; j < columns; ++j) {
                const double w = cell[j];
                const bool nonzero = w != 0.0;
                unseen |= nonzero & ((base < 0) | (of_g[j] < 0));
                if (count < room) {
                    out_codes[count] = base + of_g[j];
                    out_weights[count] = w;
                }
                count += nonzero;
            }
        }
        // a weight where a level is unseen, or more pairs than room: not a table of these levels
        inside = inside && !unseen && count <= room;
    });
    done = outcome(done, inside, "dense_pair_codes: a pair's weight lies at a level unseen, or beyond the room given");
    if (!done) return nullptr;
    Py_DECREF(done);
    return PyLong_FromSize_t(count);
}

namespace {

// The buffers of a list's items (int64 codes, or float64 values), released with the
// object; n >= 0: each of n entries. With allow_none, an item None is kept as none.
struct BufferList {
    std::vector<std::unique_ptr<Buffer>> items;
    bool read(PyObject* list, const char* name, bool codes, long long n, bool allow_none) {
        if (!PyList_Check(list)) {
            PyErr_Format(PyExc_TypeError, "%s must be a list", name);
            return false;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            auto& b = items.emplace_back(std::make_unique<Buffer>());
            if (item == Py_None && allow_none) {
                b.reset();
                continue;
            }
            if (codes ? !read_codes(item, *b, n, name) : !b->get(item, 1, false, name)) return false;
            if (!codes && n >= 0 && static_cast<long long>(b->dim(0)) != n) {
                PyErr_Format(PyExc_ValueError, "%s must have one entry per row", name);
                return false;
            }
        }
        return true;
    }
};

// A factor as demean_rows reads it: the rows' codes, their map onto the levels
// (none: the code itself) and the factor's first position among all levels.
struct FactorCodes {
    const std::int64_t* code = nullptr;
    const std::int64_t* map = nullptr;
    long long map_size = 0;
    std::int64_t offset = 0;

    // Row i's position among all the levels, -1 where it lies outside.
    std::int64_t position(index_t i, long long levels) const {
        const std::int64_t c = code[i];
        if (c < 0 || c >= map_size) return -1;
        const std::int64_t level = map ? map[c] : c;
        // offset in [0, levels] (checked by the caller): no sum below overflows.
        if (level < 0 || level >= levels - offset) return -1;
        return offset + level;
    }
};

}  // namespace

PyObject* demean_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 8, "demean_rows")) return nullptr;
    Buffer out, centre, effects, offsets, combine;
    if (!read_table(args[0], out, true, "out") || !read_table(args[3], effects, false, "effects")) return nullptr;
    const index_t n = out.dim(1);
    const auto levels = static_cast<long long>(effects.dim(0));
    const bool combined = args[7] != Py_None;
    BufferList columns, codes, maps;
    if (!columns.read(args[1], "columns", false, static_cast<long long>(n), false) ||
        !codes.read(args[4], "codes", true, static_cast<long long>(n), false) ||
        !maps.read(args[5], "maps", true, -1, true) ||
        !read_values(args[2], centre, static_cast<index_t>(columns.items.size()), "centre") ||
        !read_codes(args[6], offsets, -1, "offsets") ||
        (combined && !read_values(args[7], combine, static_cast<index_t>(columns.items.size()), "combine")))
        return nullptr;
    const auto c = static_cast<index_t>(columns.items.size());
    const std::size_t factors = codes.items.size();
    // each column its own row of out, or (combined) one row of out, one column of effects
    const index_t rows_out = combined ? 1 : c;
    bool shapes = out.dim(0) == rows_out && effects.dim(1) == rows_out && maps.items.size() == factors &&
                  offsets.dim(0) == factors;
    if (!shapes) {
        PyErr_SetString(PyExc_ValueError,
                        "demean_rows: a column, a centre and a column of effects per row of out (combined: one of "
                        "each); a map and an offset per factor");
        return nullptr;
    }
    for (std::size_t f = 0; f < factors; ++f)
        shapes = shapes && offsets.codes()[f] >= 0 && offsets.codes()[f] <= levels;
    if (!shapes) {
        PyErr_SetString(PyExc_ValueError, "demean_rows: an offset lies outside the effects");
        return nullptr;
    }
    std::vector<FactorCodes> factor(factors);
    for (std::size_t f = 0; f < factors; ++f) {
        const Buffer* map = maps.items[f].get();
        factor[f] = {codes.items[f]->codes(), map ? map->codes() : nullptr,
                     map ? static_cast<long long>(map->dim(0)) : levels, offsets.codes()[f]};
    }
    std::vector<const double*> column(c);
    std::vector<la::stride_t> step(c);
    for (index_t j = 0; j < c; ++j) {
        column[j] = columns.items[j]->data();
        step[j] = columns.items[j]->stride(0);
    }
    bool inside = true;
    PyObject* done = run_native([&] {
        // A block of rows at a time: their levels' rows of the effects found first (a row's
        // level read once for every column), then each column's values, gathers that overlap.
        constexpr index_t kBlock = 256;
        std::vector<const double*> level(factors * kBlock);
        const double* e = effects.data();
        double* into = out.data();
        for (index_t start = 0; start < n; start += kBlock) {
            const index_t rows = std::min(kBlock, n - start);
            for (std::size_t f = 0; f < factors; ++f)
                for (index_t r = 0; r < rows; ++r) {
                    const std::int64_t at = factor[f].position(start + r, levels);
                    if (at < 0) {
                        inside = false;
                        return;
                    }
                    level[f * kBlock + r] = e + at * rows_out;
                    __builtin_prefetch(level[f * kBlock + r]);  // the block's gathers in flight together
                }
            if (combined) {  // sum_j combine_j (v_j - centre_j), less the rows' levels' combined effects
                for (index_t r = 0; r < rows; ++r) into[start + r] = 0.0;
                for (index_t j = 0; j < c; ++j) {
                    const double* in = column[j];
                    const double centred = centre.data()[j], by = combine.data()[j];
                    for (index_t r = 0; r < rows; ++r)
                        into[start + r] += by * (in[static_cast<la::stride_t>(start + r) * step[j]] - centred);
                }
                for (index_t r = 0; r < rows; ++r)
                    for (std::size_t f = 0; f < factors; ++f) into[start + r] -= level[f * kBlock + r][0];
                continue;
            }
            for (index_t j = 0; j < c; ++j) {
                const double* in = column[j];
                const double centred = centre.data()[j];
                for (index_t r = 0; r < rows; ++r) {
                    double v = in[static_cast<la::stride_t>(start + r) * step[j]] - centred;
                    for (std::size_t f = 0; f < factors; ++f) v -= level[f * kBlock + r][j];
                    into[j * n + start + r] = v;
                }
            }
        }
    });
    return outcome(done, inside, "demean_rows: a row's level lies outside the effects");
}

namespace {

// Each row's code among the distinct keys of [low, low + span) present (rising), written to codes;
// the keys present written to keys, their count returned.
template <class Code>
std::size_t range_codes_of(const std::int64_t* key, index_t n, std::int64_t low, long long span,
                           const std::uint8_t* present, std::int64_t* keys, std::int64_t* codes) {
    const Scratch<Code, 2> code_of(static_cast<std::size_t>(span));
    std::size_t distinct = 0;
    for (long long k = 0; k < span; ++k)
        if (present[static_cast<std::size_t>(k)]) {
            code_of[static_cast<std::size_t>(k)] = static_cast<Code>(distinct);
            keys[distinct++] = low + k;
        }
    for (index_t i = 0; i < n; ++i)
        codes[i] = static_cast<std::int64_t>(
            code_of[static_cast<std::size_t>(static_cast<std::uint64_t>(key[i]) - static_cast<std::uint64_t>(low))]);
    return distinct;
}

}  // namespace

PyObject* range_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 5, "range_codes")) return nullptr;
    Buffer key, keys, codes;
    long long span = 0;
    const long long low = PyLong_AsLongLong(args[1]);
    if ((low == -1 && PyErr_Occurred()) || !read_codes(args[0], key, -1, "key") || !read_size(args[2], span, "span"))
        return nullptr;
    const index_t n = key.dim(0);
    if (!read_out(args[3], keys, std::min<index_t>(n, static_cast<index_t>(span)), "out_keys") ||
        !read_out(args[4], codes, n, "out_codes"))
        return nullptr;
    bool inside = true;
    std::size_t distinct = 0;
    PyObject* done = run_native([&] {
        const std::int64_t* k = key.codes();
        inside = std::all_of(k, k + n, [&](std::int64_t v) { return in_range(v, low, span); });
        if (!inside) return;
        const Scratch<std::uint8_t, 3> present(static_cast<std::size_t>(span));
        std::fill(present.begin(), present.end(), std::uint8_t{0});
        for (index_t i = 0; i < n; ++i)
            present[static_cast<std::size_t>(static_cast<std::uint64_t>(k[i]) - static_cast<std::uint64_t>(low))] = 1;
        distinct = static_cast<std::size_t>(std::count(present.begin(), present.end(), std::uint8_t{1}));
        if (distinct == static_cast<std::size_t>(span)) return;  // the keys fill the range
        if (distinct <= std::numeric_limits<std::uint32_t>::max())
            range_codes_of<std::uint32_t>(k, n, low, span, present.begin(), keys.codes_out(), codes.codes_out());
        else
            range_codes_of<std::int64_t>(k, n, low, span, present.begin(), keys.codes_out(), codes.codes_out());
    });
    done = outcome(done, inside, "range_codes: a key lies outside the range");
    if (!done) return nullptr;
    Py_DECREF(done);
    if (distinct == static_cast<std::size_t>(span)) Py_RETURN_NONE;
    return PyLong_FromSize_t(distinct);
}

PyObject* level_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 5, "level_sums")) return nullptr;
    Buffer out, codes, weights, pivot;
    if (!read_table(args[0], out, true, "out") || !read_codes(args[1], codes, -1, "codes")) return nullptr;
    const index_t n = codes.dim(0), width = out.dim(1);
    const auto levels = static_cast<long long>(out.dim(0));
    BufferList columns;
    if ((args[2] != Py_None && !read_values(args[2], weights, n, "weights")) ||
        !columns.read(args[3], "columns", false, static_cast<long long>(n), false) ||
        !read_values(args[4], pivot, width - 1, "pivot"))
        return nullptr;
    if (width < 1 || columns.items.size() != width - 1) {
        PyErr_SetString(PyExc_ValueError, "level_sums: out needs a column for the weight and one per column");
        return nullptr;
    }
    const double* w = args[2] == Py_None ? nullptr : weights.data();
    bool inside = true;
    PyObject* done = run_native([&] {
        const std::int64_t* code = codes.codes();
        inside = within(code, n, levels);
        if (!inside) return;
        // Row by row, a row's level's sums all in one row of the table (each cell still summed in
        // the rows' order).
        std::vector<const double*> column(static_cast<std::size_t>(width - 1));
        std::vector<la::stride_t> step(column.size());
        for (std::size_t j = 0; j < column.size(); ++j) {
            column[j] = columns.items[j]->data();
            step[j] = columns.items[j]->stride(0);
        }
        const double* p = pivot.data();
        double* table = out.data();
        for (index_t i = 0; i < n; ++i) {
            if (i + kAhead < n) __builtin_prefetch(table + static_cast<index_t>(code[i + kAhead]) * width, 1);
            double* row = table + static_cast<index_t>(code[i]) * width;
            const double weight = w ? w[i] : 1.0;
            row[0] += weight;
            for (std::size_t j = 0; j < column.size(); ++j) {
                const double v = column[j][static_cast<la::stride_t>(i) * step[j]] - p[j];
                row[j + 1] += w ? weight * v : v;
            }
        }
    });
    return outcome(done, inside, "level_sums: a code lies outside the levels");
}

}  // namespace ordinata::frames

// The call frame shared by every class: parameter tables, argument parsing
// and conversion, the per-object borrow flag, result conversion and error
// mapping. A class is described by a table of members (see ols_class.cpp);
// the templates below turn that table into a heap type.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <expected>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "binding/pyref.hpp"
#include "linalg/matrix.hpp"
#include "linalg/blas_threads.hpp"
#include "models/estimator_error.hpp"

namespace ordinata::binding {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;
using models::EstimatorError;

// ---------------------------------------------------------------- parameters

enum class ParamKind { Array2D, Array1D, IntArray1D, Flag, Number };

struct Param {
    const char* name = nullptr;
    ParamKind kind = ParamKind::Array2D;
    const char* default_text = nullptr;  // null: required
    double default_number = 0.0;
    bool default_flag = false;
};

constexpr Param array2d(const char* name) { return {name, ParamKind::Array2D}; }
constexpr Param array1d(const char* name) { return {name, ParamKind::Array1D}; }
constexpr Param int_array1d(const char* name) { return {name, ParamKind::IntArray1D}; }
constexpr Param flag(const char* name, bool def) { return {name, ParamKind::Flag, def ? "True" : "False", 0.0, def}; }
constexpr Param number(const char* name, double def, const char* text) {
    return {name, ParamKind::Number, text, def, false};
}

inline constexpr std::size_t kMaxParams = 3;

struct ParamList {
    std::array<Param, kMaxParams> items{};
    std::size_t count = 0;

    constexpr ParamList() = default;
    template <class... P>
    constexpr ParamList(P... p) : items{p...}, count(sizeof...(P)) {}
    constexpr std::span<const Param> span() const { return {items.data(), count}; }
};

// Read-only view of a 1-D int64 argument.
using linalg::IntVectorView;

// Converted arguments of one call. Arrays that had to be copied (misaligned
// or with strides that are not whole elements) are kept alive here.
class Args {
public:
    MatrixView matrix(std::size_t i) const { return std::get<MatrixView>(values_[i]); }
    VectorView vector(std::size_t i) const { return std::get<VectorView>(values_[i]); }
    IntVectorView int_vector(std::size_t i) const { return std::get<IntVectorView>(values_[i]); }
    bool flag(std::size_t i) const { return std::get<bool>(values_[i]); }
    double number(std::size_t i) const { return std::get<double>(values_[i]); }
    // Elements of all array arguments together.
    std::uint64_t elements() const;

    // Converts the parsed objects (null = not given) left to right; returns
    // false with a Python exception set on the first failure.
    bool convert(std::span<const Param> params, PyObject* const* objects);

private:
    using Value = std::variant<std::monostate, MatrixView, VectorView, IntVectorView, bool, double>;
    std::array<Value, kMaxParams> values_{};
    std::array<PyRef, kMaxParams> holders_{};
};

// Parses positional and keyword arguments against params into out (borrowed
// references, null for parameters not given). F = "{cls}.{method}()".
// Raises CPython's TypeErrors and returns false on failure.
bool parse_arguments(const char* cls, const char* method, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* const* kw_names, PyObject* const* kw_values, Py_ssize_t nkw,
                     PyObject** out);

// The text signature and docstring in the interpreter's internal form.
std::string method_doc(const char* name, std::span<const Param> params, const char* doc);
std::string type_doc(const char* name, std::span<const Param> params, const char* doc);

// ---------------------------------------------------------------- results

struct None {};
// A vector the estimator keeps (null: None), converted without a copy of its
// own while the call still holds the object's borrow flag.
using StoredVector = const Vector*;
using Value = std::variant<None, bool, double, std::optional<double>, std::optional<std::uint64_t>, Vector,
                           std::optional<Vector>, StoredVector, Matrix, std::optional<Matrix>, std::string>;

inline StoredVector stored(const std::optional<Vector>& v) { return v ? &*v : nullptr; }

// The outcome of an estimator operation: a value or an EstimatorError.
struct Outcome {
    std::expected<Value, EstimatorError> v;

    template <class T>
        requires std::is_constructible_v<Value, T>
    Outcome(T&& t) : v(Value(std::forward<T>(t))) {}
    Outcome(models::Result<void> r)
        : v(r ? std::expected<Value, EstimatorError>(Value(None{})) : std::unexpected(std::move(r.error()))) {}
    template <class T>
    Outcome(models::Result<T> r)
        : v(r ? std::expected<Value, EstimatorError>(Value(std::move(*r))) : std::unexpected(std::move(r.error()))) {}
};

// Returns a new reference, or null with an exception set.
PyObject* to_python(Outcome&& outcome);

// Releases the interpreter lock for its lifetime (restored on every exit,
// exceptions included).
class ReleasedLock {
public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(state_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* state_;
};

// Below this many elements of work a call keeps the interpreter lock: the
// release and the re-acquisition (about a microsecond when another thread
// holds the lock meanwhile) would cost more than a small fit takes.
inline constexpr std::uint64_t kReleaseLockFrom = 1u << 14;

// Runs an operation, turning escaped C++ exceptions into Python ones.
template <class F>
PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (const linalg::AllocationError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// ---------------------------------------------------------------- borrow flag

enum class Access { Shared, Exclusive };

// An object's borrow state: 0 = free, n > 0 = n shared users, -1 = one
// exclusive user; stamped with the fork generation it was taken in.
struct BorrowFlag {
    std::int64_t users = 0;
    std::uint64_t generation = 0;
};

class Borrow {
public:
    Borrow(BorrowFlag& flag, Access access) : flag_(flag.users), access_(access) {
        // A flag copied by a fork was held by a thread the child does not
        // have. The fork waited for every computation to end, so the object
        // is whole (before or after that call), and the flag is free.
        if (const std::uint64_t now = linalg::fork_generation(); flag.generation != now) {
            flag.users = 0;
            flag.generation = now;
        }
        if (access == Access::Exclusive) {
            if (flag_ != 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return;
            }
            flag_ = -1;
        } else {
            if (flag_ < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
            ++flag_;
        }
        held_ = true;
    }
    ~Borrow() {
        if (!held_) return;
        if (access_ == Access::Exclusive)
            flag_ = 0;
        else
            --flag_;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool ok() const { return held_; }

private:
    std::int64_t& flag_;
    Access access_;
    bool held_ = false;
};

// ---------------------------------------------------------------- class tables

// How much work a member does, to decide whether it runs without the
// interpreter lock: the elements of its array arguments, the fitted design's
// (the report and the covariance read it), or too little to count.
enum class Work { None, Arguments, FittedDesign };

template <class Est>
struct Member {
    enum class Kind { Property, Method } kind;
    const char* name;
    Access access;
    ParamList params;
    const char* doc;
    Outcome (*fn)(Est&, const Args&);
    Work work;
};

template <class Est>
constexpr Member<Est> property(const char* name, Outcome (*fn)(Est&, const Args&), Work work = Work::None) {
    return {Member<Est>::Kind::Property, name, Access::Shared, {}, "", fn, work};
}
template <class Est>
constexpr Member<Est> method(const char* name, Access access, ParamList params, const char* doc,
                             Outcome (*fn)(Est&, const Args&), Work work = Work::None) {
    return {Member<Est>::Kind::Method, name, access, params, doc, fn, work};
}

template <class Est>
struct Instance {
    PyObject_HEAD BorrowFlag borrow;
    std::optional<Est> est;
};

}  // namespace ordinata::binding

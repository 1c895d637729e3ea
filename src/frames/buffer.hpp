// The buffers of the private extension's arguments, and running native work
// with the interpreter lock released.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "linalg/matrix.hpp"
#include "models/estimator_error.hpp"

namespace ordinata::frames {

namespace la = ordinata::linalg;

// A float64 buffer of the given dimensions, released with the object.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* obj, int ndim, bool writable, const char* name) {
        return get_typed(obj, ndim, writable, name, "d", "float64");
    }
    // A float64 vector or matrix; matrix() then views a vector as one column.
    bool get_vector_or_matrix(PyObject* obj, const char* name) {
        return get_typed(obj, 0, false, name, "d", "float64");
    }
    int ndim() const { return view_.ndim; }
    // A one-dimensional int64 array (group codes).
    bool get_codes(PyObject* obj, const char* name) { return get_typed(obj, 1, false, name, "lq", "int64"); }
    // A writable one-dimensional int64 array, for a kernel's codes.
    bool get_codes_out(PyObject* obj, const char* name) { return get_typed(obj, 1, true, name, "lq", "int64"); }
    la::index_t dim(int i) const { return static_cast<la::index_t>(view_.shape[i]); }
    la::stride_t stride(int i) const { return static_cast<la::stride_t>(view_.strides[i] / 8); }
    double* data() const { return static_cast<double*>(view_.buf); }
    la::MatrixView matrix() const {
        if (view_.ndim == 1) return {data(), dim(0), 1, stride(0), 0};
        return {data(), dim(0), dim(1), stride(0), stride(1)};
    }

    const std::int64_t* codes() const { return static_cast<const std::int64_t*>(view_.buf); }
    std::int64_t* codes_out() const { return static_cast<std::int64_t*>(view_.buf); }
    bool contiguous() const { return view_.ndim == 0 || view_.strides[0] == view_.itemsize || view_.shape[0] <= 1; }

private:
    bool get_typed(PyObject* obj, int ndim, bool writable, const char* name, const char* codes, const char* type) {
        const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        const char* f = view_.format ? view_.format : "";
        if (*f == '<' || *f == '=' || *f == '@') ++f;
        const bool typed = view_.itemsize == 8 && f[0] != '\0' && f[1] == '\0' && std::strchr(codes, f[0]);
        // ndim 0: one or two dimensions.
        if ((ndim > 0 ? view_.ndim != ndim : view_.ndim < 1 || view_.ndim > 2) || !typed) {
            if (ndim > 0)
                PyErr_Format(PyExc_TypeError, "%s must be a %d-dimensional %s array", name, ndim, type);
            else
                PyErr_Format(PyExc_TypeError, "%s must be a 1- or 2-dimensional %s array", name, type);
            return false;
        }
        return true;
    }

    Py_buffer view_{};
    bool held_ = false;
};

template <class F>
PyObject* run_native(F&& f) {
    bool memory = false;
    Py_BEGIN_ALLOW_THREADS try { f(); } catch (const std::bad_alloc&) {
        memory = true;
    }
    Py_END_ALLOW_THREADS if (memory) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// Whether a function got its number of arguments; a TypeError if not.
inline bool arity(Py_ssize_t nargs, Py_ssize_t want, const char* name) {
    if (nargs == want) return true;
    PyErr_Format(PyExc_TypeError, "%s takes %zd arguments (%zd given)", name, want, nargs);
    return false;
}

// The core's refusal as the Python exception of its kind.
inline PyObject* raise(const models::EstimatorError& e) {
    PyErr_SetString(e.kind == models::EstimatorError::Kind::ValueError ? PyExc_ValueError : PyExc_RuntimeError,
                    e.message.c_str());
    return nullptr;
}

}  // namespace ordinata::frames

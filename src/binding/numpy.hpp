// The only unit that includes the NumPy C API: argument checks, read-only
// access to array data, and fresh float64 arrays for results.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/pyref.hpp"
#include "linalg/matrix.hpp"

namespace ordinata::binding::numpy {

// Imports the NumPy C API; returns false with an exception set on failure.
bool import();

// An ndarray (or subclass) with exactly ndim dimensions and a dtype
// equivalent to native float64 (or native int64 when integer is set).
bool is_array_of(PyObject* obj, int ndim, bool integer);

// 1 for a numpy.ma.MaskedArray (whose hidden values must not be read as
// data), 0 for any other object, -1 with an exception set when numpy.ma
// cannot be imported. numpy.ma is imported on the first ndarray subclass
// only, so plain arrays never pay for it.
int is_masked(PyObject* obj);

// A numpy.bool scalar.
bool is_bool_scalar(PyObject* obj);

struct ArrayData {
    const void* base = nullptr;  // null with an exception set on failure
    std::int64_t shape[2] = {0, 0};
    std::int64_t strides[2] = {0, 0};  // in elements, may be negative
};

// Element view of an array accepted by is_array_of. Arrays whose strides
// are not whole elements or whose data is misaligned are copied once into
// holder; everything else is read where it lies.
ArrayData array_data(PyObject* obj, PyRef& holder);

// New arrays owning copies of the data (new references, null on failure).
PyObject* new_vector(const linalg::Vector& v);
// A new array over v's own storage, which it takes over: a result is never
// held twice. v is left empty on success and untouched on failure.
PyObject* adopt_vector(linalg::Vector& v);
PyObject* new_matrix(const linalg::Matrix& m);

}  // namespace ordinata::binding::numpy

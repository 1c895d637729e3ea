#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#include "binding/numpy.hpp"

#include <numpy/arrayobject.h>

#include <cstring>

namespace ordinata::binding::numpy {

bool import() {
    // import_array() is a macro that returns on failure; wrap it.
    auto run = []() -> int {
        import_array1(-1);
        return 0;
    };
    return run() == 0;
}

bool is_array_of(PyObject* obj, int ndim, bool integer) {
    if (!PyArray_Check(obj)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) return false;
    if (!PyArray_ISNOTSWAPPED(arr)) return false;
    const int want = integer ? NPY_INT64 : NPY_FLOAT64;
    // The exact type number needs no look-up of descriptors.
    return PyArray_TYPE(arr) == want || PyArray_EquivTypenums(PyArray_TYPE(arr), want) != 0;
}

bool is_bool_scalar(PyObject* obj) { return PyArray_IsScalar(obj, Bool); }

int is_masked(PyObject* obj) {
    if (!PyArray_Check(obj) || PyArray_CheckExact(obj)) return 0;
    // The module is single-interpreter (see module.cpp), so one cached type
    // serves every call; held for the life of the process.
    static PyObject* masked_type = nullptr;
    if (!masked_type) {
        PyRef ma = PyRef::steal(PyImport_ImportModule("numpy.ma"));
        if (!ma) return -1;
        PyObject* type = PyObject_GetAttrString(ma.get(), "MaskedArray");
        if (!type) return -1;
        if (!PyType_Check(type)) {
            Py_DECREF(type);
            PyErr_SetString(PyExc_TypeError, "numpy.ma.MaskedArray is not a type");
            return -1;
        }
        masked_type = type;
    }
    return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(masked_type)) ? 1 : 0;
}

ArrayData array_data(PyObject* obj, PyRef& holder) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    const int ndim = PyArray_NDIM(arr);
    const npy_intp item = 8;
    bool whole_elements = PyArray_ISALIGNED(arr);
    for (int d = 0; d < ndim; ++d) whole_elements = whole_elements && PyArray_STRIDES(arr)[d] % item == 0;
    if (!whole_elements) {
        holder = PyRef::steal(PyArray_NewCopy(arr, NPY_CORDER));
        if (!holder) return {};
        arr = reinterpret_cast<PyArrayObject*>(holder.get());
    }
    ArrayData out;
    out.base = PyArray_DATA(arr);
    for (int d = 0; d < ndim; ++d) {
        out.shape[d] = PyArray_DIMS(arr)[d];
        out.strides[d] = PyArray_STRIDES(arr)[d] / item;
    }
    return out;
}

PyObject* new_vector(const linalg::Vector& v) {
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    PyObject* out = PyArray_SimpleNew(1, dims, NPY_FLOAT64);
    if (out && v.size())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)), v.data(), v.size() * sizeof(double));
    return out;
}

namespace {

void free_adopted(PyObject* capsule) {
    linalg::Buffer::deallocate(static_cast<double*>(PyCapsule_GetPointer(capsule, nullptr)));
}

}  // namespace

PyObject* adopt_vector(linalg::Vector& v) {
    if (v.size() == 0) return new_vector(v);
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    double* data = v.data();
    PyRef owner = PyRef::steal(PyCapsule_New(data, nullptr, free_adopted));
    if (!owner) return nullptr;
    v.release();  // the capsule frees it from here on, whatever happens next
    PyRef out = PyRef::steal(PyArray_SimpleNewFromData(1, dims, NPY_FLOAT64, data));
    if (!out) return nullptr;
    // Steals the capsule's reference even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(out.get()), owner.release()) != 0) return nullptr;
    return out.release();
}

PyObject* new_matrix(const linalg::Matrix& m) {
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
    PyObject* out = PyArray_SimpleNew(2, dims, NPY_FLOAT64);
    if (out && m.size())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)), m.data(), m.size() * sizeof(double));
    return out;
}

}  // namespace ordinata::binding::numpy

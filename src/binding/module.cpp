// Module initialisation: one module object per process, the classes added
// in registration order, their names recorded in __all__.
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>

#include "binding/class_binding.hpp"
#include "binding/classes.hpp"
#include "binding/numpy.hpp"
#include "linalg/lapack.hpp"

namespace ordinata::binding {

std::deque<std::string>& doc_storage() {
    static std::deque<std::string> storage;
    return storage;
}

namespace {

struct Registration {
    const char* name;
    PyTypeObject* (*create)();
};

// Registration order, which is also the order of __all__.
constexpr Registration kClasses[] = {
    {"OLS", &ols_type},
    {"GLS", &gls_type},
    {"WLS", &wls_type},
    {"Ridge", &ridge_type},
    {"IV", &iv_type},
    {"TSLS", &tsls_type},
    {"FE", &fe_type},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ordinata", "Python module definition", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;
std::int64_t owner_interpreter = -1;

// The OpenBLAS the module calls runs single-threaded unless the user sets its
// thread count. Most of the work is many small or tall-and-thin products that
// a thread pool slows down: waking the workers costs more than they save
// (OpenBLAS 0.3.34 threads even a 4 x 100 rank-k update), and workers left
// spinning take the core the next call needs. Measured on two cores, one
// thread was as fast or faster on every benchmark workload, the largest
// included. The library is the module's own copy in a wheel, so numpy's
// threads are untouched.
void limit_blas_threads() {
    for (const char* var : {"OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS"})
        if (std::getenv(var)) return;
    linalg::lapack::openblas_set_num_threads(1);
}

bool add_class(PyObject* module, PyObject* all, const Registration& reg) {
    PyTypeObject* type = reg.create();
    if (!type) return false;
    PyRef name = PyRef::steal(PyUnicode_FromString(reg.name));
    if (!name || PyList_Append(all, name.get()) < 0) return false;
    return PyModule_AddObjectRef(module, reg.name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (cached_module) {
        if (id != owner_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "ordinata does not support sub-interpreters: it can only be imported once per process");
            return nullptr;
        }
        return Py_NewRef(cached_module);
    }
    if (!numpy::import()) return nullptr;
    limit_blas_threads();
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all) return nullptr;
    for (const Registration& reg : kClasses)
        if (!add_class(module.get(), all.get(), reg)) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    owner_interpreter = id;
    cached_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace ordinata::binding

PyMODINIT_FUNC PyInit_ordinata() { return ordinata::binding::init_module(); }

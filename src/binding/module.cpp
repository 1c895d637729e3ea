// Module initialisation: one module object per process, the classes added
// in registration order, their names recorded in __all__.
#include <Python.h>

#include <cstdint>
#include <deque>
#include <string>

#include "binding/class_binding.hpp"
#include "binding/classes.hpp"
#include "binding/numpy.hpp"

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
    {"OLS", &ols_type}, {"GLS", &gls_type},   {"WLS", &wls_type}, {"Ridge", &ridge_type},
    {"IV", &iv_type},   {"TSLS", &tsls_type}, {"FE", &fe_type},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ordinata", "Python module definition", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

bool add_class(PyObject* module, PyObject* all, const Registration& reg) {
    PyTypeObject* type = reg.create();
    if (!type) return false;
    PyRef name = PyRef::steal(PyUnicode_FromString(reg.name));
    if (!name || PyList_Append(all, name.get()) < 0) return false;
    return PyModule_AddObjectRef(module, reg.name, reinterpret_cast<PyObject*>(type)) == 0;
}

// The types are shared by the whole process, so only the main interpreter
// may hold them: a sub-interpreter is refused whether or not it came first.
PyObject* init_module() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "ordinata does not support sub-interpreters: import it in the main interpreter");
        return nullptr;
    }
    if (cached_module) return Py_NewRef(cached_module);
    if (!numpy::import()) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all) return nullptr;
    for (const Registration& reg : kClasses)
        if (!add_class(module.get(), all.get(), reg)) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    cached_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace ordinata::binding

PyMODINIT_FUNC PyInit_ordinata() { return ordinata::binding::init_module(); }

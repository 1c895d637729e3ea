// One entry point per registered class: creates its type once per process
// and returns a borrowed reference, or null with an exception set.
#pragma once

#include <Python.h>

namespace ordinata::binding {

PyTypeObject* ols_type();
PyTypeObject* gls_type();
PyTypeObject* wls_type();
PyTypeObject* ridge_type();
PyTypeObject* iv_type();
PyTypeObject* tsls_type();
PyTypeObject* fe_type();

}  // namespace ordinata::binding

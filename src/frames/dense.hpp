// The small dense linear algebra ordinata_frames needs of its own (square
// solves, R factors, GLS's whitening), by the core's factorisations, so
// that numpy factors nothing for the package.
#pragma once

#include <Python.h>

namespace ordinata::frames {

PyObject* solve(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* r_factor(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* whiten(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* singular(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace ordinata::frames

#define ORDINATA_DENSE_METHODS                                                                     \
    {"solve", ORDINATA_FASTCALL(ordinata::frames::solve), METH_FASTCALL,                           \
     "solve(a, b): a^-1 b for a square a, by LU with partial pivoting."},                          \
        {"r_factor", ORDINATA_FASTCALL(ordinata::frames::r_factor), METH_FASTCALL,                 \
         "r_factor(a): the R factor (min(m, n) x n) of the Householder QR of a."},                 \
        {"whiten", ORDINATA_FASTCALL(ordinata::frames::whiten), METH_FASTCALL,                     \
         "whiten(sigma, columns): L^-1 columns with sigma = L L', the Cholesky factor of sigma."}, \
        {"singular", ORDINATA_FASTCALL(ordinata::frames::singular), METH_FASTCALL,                 \
         "singular(a): the singular values, largest first, and the right singular vectors as rows."},

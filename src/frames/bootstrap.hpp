// The wild cluster bootstrap's native parts: the per-cluster sums of a block
// of rows, kept exactly so that any partitioning of the rows merges to the same
// numbers, and the bootstrap draws themselves, each from the cluster-level
// quantities alone and from a generator keyed by the seed and the draw's index,
// so that the draws do not depend on how they are shared among threads.
#pragma once

#include <Python.h>

namespace ordinata::frames {

PyObject* group_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* cluster_grams(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* exact_values(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* wild_draws(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace ordinata::frames

#define ORDINATA_BOOTSTRAP_METHODS                                                                                 \
    {"group_sums", ORDINATA_FASTCALL(ordinata::frames::group_sums), METH_FASTCALL,                                 \
     "group_sums(a, codes, groups): per group, the exact sums of the count and of every column of a."},            \
        {"cluster_grams", ORDINATA_FASTCALL(ordinata::frames::cluster_grams), METH_FASTCALL,                       \
         "cluster_grams(a, w, intercept, beta, codes, groups, entity, table): per cluster, the exact sums of the " \
         "upper triangle of Z'Z and of Z'u."},                                                                     \
        {"exact_values", ORDINATA_FASTCALL(ordinata::frames::exact_values), METH_FASTCALL,                         \
         "exact_values(sums): the exact sums as float64, each rounded once from its exact value's leading bits."}, \
        {"wild_draws", ORDINATA_FASTCALL(ordinata::frames::wild_draws), METH_FASTCALL,                             \
         "wild_draws(c, p, q, scale, kind, seed, draws, enumerate): the bootstrap t statistics."},

// The passes of a partitioned fit: each partition's moments and second-pass
// sums, their merges, the solve from the merged moments and the report of
// a fit from its figures, never from its rows. The interpreter lock is released
// while the rows are read.
#pragma once

#include <Python.h>

namespace ordinata::frames {

PyObject* moments(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* merge_moments(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* moments_from_gram(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* solve_moments(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* score_pass(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* merge_residual_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* report(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace ordinata::frames

#define ORDINATA_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&(f)))
#define ORDINATA_PARTITION_METHODS                                                                                  \
    {"moments", ORDINATA_FASTCALL(ordinata::frames::moments), METH_FASTCALL,                                        \
     "moments(a, w, intercept, group, table, exact=False): the moments of the columns of a."},                      \
        {"merge_moments", ORDINATA_FASTCALL(ordinata::frames::merge_moments), METH_FASTCALL,                        \
         "merge_moments(a, b): the moments of the union of two sets of rows."},                                     \
        {"moments_from_gram", ORDINATA_FASTCALL(ordinata::frames::moments_from_gram), METH_FASTCALL,                \
         "moments_from_gram(n, weight, gram): the moments of uncentred columns from their Gram, R its Cholesky "    \
         "factor where the core trusts it; None otherwise."},                                                       \
        {"solve_moments", ORDINATA_FASTCALL(ordinata::frames::solve_moments), METH_FASTCALL,                        \
         "solve_moments(m, kind, q, raw_lengths, alpha, exogenous, instruments, endogenous): the fit, as a dict."}, \
        {"score_pass", ORDINATA_FASTCALL(ordinata::frames::score_pass), METH_FASTCALL,                              \
         "score_pass(a, w, pivot, mean, intercept, weight, residual_weights, scores, leverage_power, clusters, "    \
         "groups, "                                                                                                 \
         "residual_sums, group, table, score_gram, cluster_grams): (meat, cluster sums, residual sums, score "      \
         "gram, the first clustering's Gram sums)."},                                                               \
        {"merge_residual_sums", ORDINATA_FASTCALL(ordinata::frames::merge_residual_sums), METH_FASTCALL,            \
         "merge_residual_sums(a, b): the sums of series a followed by b."},                                         \
        {"report", ORDINATA_FASTCALL(ordinata::frames::report), METH_FASTCALL,                                      \
         "report(fields): the report of a fit from a dict of its figures (see _report.render)."},

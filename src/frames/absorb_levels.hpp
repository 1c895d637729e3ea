// Absorbed fixed effects solved in the space of the levels, for tables whose
// rows are read a fixed number of times (a dask frame's partitions): the
// normal equations D'WD alpha = D'W x of the effects, formed from the
// partitions' merged statistics, solved with no pass over the rows.
//
// D'WD is a symmetric block matrix over all the factors' levels: each level's
// weight on the diagonal, and off it, for each pair of factors, their
// crosstab (the summed weight of the rows holding both levels). The right-hand
// sides are the weighted sums of each column in each level. The solver is the
// row solver's (absorb.hpp): conjugate gradients preconditioned by the
// diagonal, started at zero (or, for two factors one of at most 512 levels,
// at the exact solve of that factor's Schur complement, which the stopping
// rule then confirms), one iteration one product with the sparse
// crosstabs (each pair of levels once, as 32-bit positions, the stopping
// rule's pair taken in the same sweep) instead of one pass over the rows.
//
// Stopping rule: the row solver's, with the move of a row bounded from the
// levels: a column is done when two iterations in a row move no row's value
// by more than tol times its spread (its largest absolute deviation from its
// weighted mean, taken by the caller over the rows; 64 eps at least). The
// move of a row is the sum of its levels' moves; for two factors (the caller
// picks the two with most levels, whose single levels move most) it is taken
// exactly over the pairs of their crosstab (the pairs the rows hold), each
// further factor adding its largest move. The bound is never below the rows'
// true move, so the rule is at least as strict as the row solver's; with two
// factors it is the same.
//
// The columns are solved in parallel, each on one thread, so that the result
// is the same for any number of threads.
#pragma once

#include <Python.h>

namespace ordinata::frames {

PyObject* absorb_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// The union of two keyed lists of level statistics (crosstabs' pairs, levels'
// sums), each strictly rising in its keys (a key: a row of int64, compared
// left to right) with a row of values per key, the values of a key in both
// summed: one linear merge.
PyObject* merge_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace ordinata::frames

#define ORDINATA_ABSORB_LEVELS_METHODS                                                                               \
    {"absorb_levels", ORDINATA_FASTCALL(ordinata::frames::absorb_levels), METH_FASTCALL,                             \
     "absorb_levels(rhs, effects, diagonal, pair_a, pair_b, pair_w, bounds, spreads, first, second, tol, "           \
     "max_iterations[, form]): the effects (c, L) solving D'WD alpha = rhs (c, L) written, D'WD the levels' "        \
     "weights and the crosstabs' entries above the diagonal, and where converged form (c, c) = effects' D'WD "       \
     "effects; (converged, iterations, change, started from the smaller factor's exact solve)."},                    \
        {"merge_pairs", ORDINATA_FASTCALL(ordinata::frames::merge_pairs), METH_FASTCALL,                             \
         "merge_pairs(keys_a, values_a, keys_b, values_b): the union of two strictly rising key lists (n or (n, m) " \
         "int64), the values ((n,) or (n, v) float64) of a key in both summed, as (keys bytes, values bytes)."},

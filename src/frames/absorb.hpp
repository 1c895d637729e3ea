// Absorbed fixed effects: the columns of a block projected off the span of
// several factors' dummies together, and the connected components of two
// factors' bipartite graph (the redundant levels of the pair).
//
// The projection is the fixed point of alternating weighted group demeaning:
// one sweep subtracts from the column, factor by factor, its weighted mean in
// each level of the factor, and adds the means to that factor's effects.
// Every second sweep is extrapolated by Irons and Tuck's step
// x <- GGx - <dGx, d2x> / <d2x, d2x> dGx (dGx = GGx - Gx, d2x = GGx - 2Gx + x),
// taken in the weighted inner product of the rows and applied alike to the
// effects, so that they stay the coefficients of what the column lost.
//
// Stopping rule: a column is done when one sweep moves none of its values by
// more than tol times its spread (its largest absolute deviation from its
// weighted mean). For a sweep that contracts the error by a factor rho, the
// distance to the exact projection is then at most tol / (1 - rho) of the
// spread: a small change certifies the result only as far as the sweeps keep
// contracting, which is why the change reached and the sweeps taken are
// reported with the fit. The rounding of the sums sets a floor of 64 eps.
//
// The columns are solved in parallel, each on one thread in a fixed order,
// so that the result is the same for any number of threads.
#pragma once

#include <Python.h>

namespace ordinata::frames {

PyObject* absorb(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* absorb_components(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace ordinata::frames

#define ORDINATA_ABSORB_METHODS                                                                               \
    {"absorb", ORDINATA_FASTCALL(ordinata::frames::absorb), METH_FASTCALL,                                    \
     "absorb(columns, effects, codes, levels, w, tol, max_sweeps): columns (c, n) demeaned in place and the " \
     "factors' effects of each column added to effects (c, sum of levels); (converged, sweeps, change)."},    \
        {"absorb_components", ORDINATA_FASTCALL(ordinata::frames::absorb_components), METH_FASTCALL,          \
         "absorb_components(codes_a, codes_b, levels_a, levels_b): (count, int64 bytes of each level's "      \
         "component, a's levels first)."},

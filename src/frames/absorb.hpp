// Absorbed fixed effects: the columns of a block projected off the span of
// several factors' dummies together, and the connected components of two
// factors' bipartite graph (the redundant levels of the pair).
//
// The projection x - D alpha solves the normal equations D'WD alpha = D'W x of
// the effects alpha (D the factors' dummies side by side, W the weights). They
// are solved by conjugate gradients preconditioned by their diagonal, the
// weight of each level: one iteration is one pass over the rows (D p gathered,
// D'W D p scattered by level), and the iterations needed grow like the square
// root of the system's condition rather than like the condition itself, as
// alternating group demeaning's do: a panel whose factors are poorly connected
// (each firm a thin slice of every worker's years) takes hundreds, not
// thousands. The system is singular where the dummies are dependent (each
// factor repeats the constant); it is consistent, and the iterates stay in the
// range of D'WD, so the projection is unique though alpha is one of many.
//
// Stopping rule: a column is done when two iterations in a row move none of
// its values by more than tol times its spread (its largest absolute
// deviation from its weighted mean; 64 eps at least, the floor of the
// rounding). Each step takes from the error of the projection, in the
// weighted norm, exactly the energy of that step, so small steps mean little
// is still being taken; they bound the error left only as far as the
// iterations keep converging at the pace they had, which is why the change
// reached and the iterations taken are reported with the fit.
//
// Two methods, chosen by a probe: every column is first solved by the diagonal
// method for at most 16 iterations (fewer where, from the fourth on, its moves
// shrinking at the pace they had would not pass under the tolerance in time).
// That settles a panel whose levels are well connected, or whose factors after
// the first have few levels. The columns left unsettled go on from where the
// probe left them (their projection is the same, and their effects add up), by
// the reduced method where it is cheap, else by the diagonal one; the spread of
// the column before the probe sets their tolerance, and the iterations
// reported count the probe's.
//
// Reduced: the factor of most levels (a worker, with a handful of rows each)
// is eliminated exactly. Its block of D'WD is diagonal, so given the other
// factors' effects beta its own are the level averages of x - D2 beta, and beta
// solves the Schur complement S beta = D2'W (I - P1) x, S = D2'W (I - P1) D2
// (P1 the weighted averaging within its levels). S is small (firms and years)
// and is assembled once for all the columns, its levels ordered by reverse
// Cuthill-McKee (levels met by most rows, such as years, last) so that it is
// nearly a band, and factored S = L D L' over that envelope. Conjugate
// gradients on S preconditioned by that factor then converge in a few
// iterations, each two passes over the rows (S applied as D2'W (I - P1) D2,
// not from its rounded assembly). A pivot that vanishes (below 1e-8 of its
// level's weight: the constant each factor repeats, or a level nested in
// another) grounds its level, which gives a generalised inverse of S, and the
// iterations take up whatever the rounding of the factor left. The method is
// used when its assembly and factor cost at most 32 passes over the rows'
// levels and the envelope holds at most 4 values per row's level; a design whose levels are
// densely connected (each firm drawn at random for each row) fails that test,
// and there the diagonal preconditioner typically converges in a dozen
// iterations.
//
// Diagonal: conjugate gradients on all the levels as described above.
//
// Both methods stop by the same rule, measured on the rows' values: a step of
// the reduced iterations moves the rows by (I - P1) D2 p, the move of the whole
// effects. The method used is reported with the fit.
//
// The columns are solved in parallel, each on one thread in a fixed order,
// so that the result is the same for any number of threads.
#pragma once

#include <Python.h>

namespace ordinata::frames {

PyObject* absorb(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* absorb_components(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace ordinata::frames

#define ORDINATA_ABSORB_METHODS                                                                                   \
    {"absorb", ORDINATA_FASTCALL(ordinata::frames::absorb), METH_FASTCALL,                                        \
     "absorb(columns, effects, codes, levels, w, tol, max_iterations): columns (c, n) demeaned in place and the " \
     "factors' effects of each column added to effects (c, sum of levels); (converged, iterations, change, "      \
     "the factor eliminated or -1)."},                                                                            \
        {"absorb_components", ORDINATA_FASTCALL(ordinata::frames::absorb_components), METH_FASTCALL,              \
         "absorb_components(codes_a, codes_b, levels_a, levels_b): (count, int64 bytes of each level's "          \
         "component, a's levels first)."},

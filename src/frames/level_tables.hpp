// The per-partition tables of absorbed levels: the crosstab of two factors'
// codes summed in one pass, and partitions' keyed sums added into the dense
// tables of an accumulator, without the temporaries of array arithmetic.
#pragma once

#include <Python.h>

namespace ordinata::frames {

// pair_sums(codes_f, codes_g, weights, levels_f, levels_g, out_keys, out_sums):
// the distinct pairs f * levels_g + g (rising) the rows hold and the weight
// summed on each, in the rows' order, written to the outputs' first entries
// (an entry a row; their count returned); weights None: one per row. The
// outputs are the caller's arrays: a worker that returns freed memory to the
// system faults a fresh buffer in page by page, where numpy's large arrays
// take huge pages.
PyObject* pair_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// add_rows_into(table, low, keys, values, shift): table[key - low] += values
// row by row, each row's sums first moved by its weight times shift (the
// pivot's change): values (n, 1 + c) = [weight, sums], table (span, 1 + c).
PyObject* add_rows_into(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// add_pairs_into(table, low_f, low_g, pairs, weights): table[a - low_f,
// b - low_g] += weight for each pair (a, b) of pairs (n, 2).
PyObject* add_pairs_into(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// add_coded_pairs_into(table, low_f, low_g, codes, weights, keys_f, keys_g):
// add_pairs_into with each pair as its code f * len(keys_g) + g, f and g the
// pair's positions among keys_f and keys_g.
PyObject* add_coded_pairs_into(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// demean_rows(out, columns, centre, effects, codes, maps, offsets, combine):
// out[j, i] = columns[j][i] - centre[j] - sum_f effects[offsets[f] +
// maps[f][codes[f][i]], j] (maps[f] None: the code itself; effects (levels,
// columns), a level's row read once for every column), every column of the
// partition in one pass. combine (a weight per column) instead writes one row,
// out[0, i] = sum_j combine[j] (columns[j][i] - centre[j]) - sum_f effects[...,
// 0], effects (levels, 1) being the columns' effects so combined: a fit's
// residuals without each column demeaned.
PyObject* demean_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// level_sums(out, codes, weights, columns, pivot): out[code, 0] += w and
// out[code, 1 + j] += w * (columns[j] - pivot[j]) row by row (weights None:
// one a row), out (levels, 1 + c) zeroed by the caller.
PyObject* level_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// range_codes(key, low, span, out_keys, out_codes): None where the keys (int64,
// all in [low, low + span)) fill their range; else the count of the keys
// present, written (rising) to out_keys, and each row's position among them
// to out_codes.
PyObject* range_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// dense_pair_codes(table, code_f, code_g, levels_g, out_codes, out_weights):
// the cells of a dense crosstab (rows: f's range, columns: g's) of nonzero
// weight, row by row, as codes code_f[row] * levels_g + code_g[column] with
// their weights, written to the outputs; their count. A weight at a level
// coded -1 (unseen) is refused.
PyObject* dense_pair_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace ordinata::frames

#define ORDINATA_LEVEL_TABLE_METHODS                                                                                 \
    {"pair_sums", ORDINATA_FASTCALL(ordinata::frames::pair_sums), METH_FASTCALL,                                     \
     "pair_sums(codes_f, codes_g, weights, levels_f, levels_g, out_keys, out_sums): the distinct pairs f * "         \
     "levels_g + g (rising) and the weight summed on each, written to the outputs; their count."},                   \
        {"add_rows_into", ORDINATA_FASTCALL(ordinata::frames::add_rows_into), METH_FASTCALL,                         \
         "add_rows_into(table, low, keys, values, shift): table[key - low] += values, each row's sums moved by "     \
         "its weight times shift."},                                                                                 \
        {"add_pairs_into", ORDINATA_FASTCALL(ordinata::frames::add_pairs_into), METH_FASTCALL,                       \
         "add_pairs_into(table, low_f, low_g, pairs, weights): table[a - low_f, b - low_g] += weight."},             \
        {"add_coded_pairs_into", ORDINATA_FASTCALL(ordinata::frames::add_coded_pairs_into), METH_FASTCALL,           \
         "add_coded_pairs_into(table, low_f, low_g, codes, weights, keys_f, keys_g): add_pairs_into with each pair " \
         "as its code f * len(keys_g) + g among the keys given."},                                                   \
        {"demean_rows", ORDINATA_FASTCALL(ordinata::frames::demean_rows), METH_FASTCALL,                             \
         "demean_rows(out, columns, centre, effects, codes, maps, offsets, combine): each column less its centre "   \
         "and its rows' levels' effects (levels, c), written into out (c, n); or, combined, one row (1, n)."},       \
        {"level_sums", ORDINATA_FASTCALL(ordinata::frames::level_sums), METH_FASTCALL,                               \
         "level_sums(out, codes, weights, columns, pivot): each level's weight and weighted sums of the columns "    \
         "about the pivot, added into out (levels, 1 + c)."},                                                        \
        {"dense_pair_codes", ORDINATA_FASTCALL(ordinata::frames::dense_pair_codes), METH_FASTCALL,                   \
         "dense_pair_codes(table, code_f, code_g, levels_g, out_codes, out_weights): a dense crosstab's cells of "   \
         "nonzero weight as codes among the levels seen, with their weights; their count."},                         \
        {"range_codes", ORDINATA_FASTCALL(ordinata::frames::range_codes), METH_FASTCALL,                             \
         "range_codes(key, low, span, out_keys, out_codes): None where the keys fill [low, low + span), else the "   \
         "count of the keys present, written (rising) to out_keys, and each row's position among them."},

"""The level tables' kernels: two rising key lists joined, a key in both with its values summed; a
crosstab summed from two factors' codes; keyed sums added into dense tables."""

import numpy as np
import pytest

from ordinata_frames import _absorb_levels


@pytest.mark.parametrize("widths", [(1, 1), (2, 1), (2, 3)])
@pytest.mark.parametrize("sizes", [(0, 0), (0, 7), (1200, 0), (1200, 1300), (5, 4000)])
def test_merged_pairs_equal_the_summed_union(sizes, widths):
    """Keys of one int64 or of a row of two (compared left to right), each with one value or a row."""
    key_width, value_width = widths
    rng = np.random.default_rng(sum(sizes))
    lists = []
    for n in sizes:
        flat = np.sort(rng.choice(5000, size=n, replace=False)).astype(np.int64)
        keys = flat if key_width == 1 else np.column_stack([flat // 50 - 60, flat % 50 * 10**12])
        values = rng.uniform(0.5, 2.0, (n, value_width)) * 2.0 ** rng.integers(-30, 30, (n, 1))
        lists.append((flat, keys, values if value_width > 1 else values[:, 0]))
    keys, values = _absorb_levels._merged(lists[0][1], lists[0][2], lists[1][1], lists[1][2])
    expected = np.unique(np.concatenate([lists[0][0], lists[1][0]]))
    total = np.zeros((5000, value_width))
    for flat, _, v in lists:
        total[flat] += v.reshape(len(flat), value_width)      # a's values first, as the merge adds them
    if key_width == 1:
        assert np.array_equal(keys, expected)
    else:
        assert np.array_equal(keys, np.column_stack([expected // 50 - 60, expected % 50 * 10**12]))
    assert np.array_equal(values.reshape(len(expected), value_width), total[expected])


@pytest.mark.parametrize("keys", [[3, 1], [2, 2], [[1, 7], [1, 5]], [[4, 0], [4, 0]]])
def test_keys_that_do_not_rise_are_refused(keys):
    bad = np.array(keys, dtype=np.int64)
    with pytest.raises(ValueError, match="rise strictly"):
        _absorb_levels._merged(bad, np.ones(2), np.zeros((0,) + bad.shape[1:], dtype=np.int64), np.zeros(0))


# crosstabs of up to 2^24 cells (radix-sorted codes) and beyond (sorted by level)
@pytest.mark.parametrize("levels", [(7, 3), (1500, 4), (3, 2000), (4096, 4096), (4097, 4096)])
@pytest.mark.parametrize("weighted", [False, True])
def test_pair_sums_equal_the_counted_crosstab(levels, weighted):
    """Over 2,600 rows (a few pairs repeated): the pairs in rising order, each weight summed in the rows'
    order (bit for bit as bincount sums them)."""
    rng = np.random.default_rng(levels[0])
    f, g = rng.integers(0, levels[0], 2600), rng.integers(0, levels[1], 2600)
    f[::7], g[::7] = f[0], g[0]
    f[-1], g[-1] = levels[0] - 1, levels[1] - 1         # the last cell
    w = rng.uniform(0.5, 2.0, 2600) * 2.0 ** rng.integers(-20, 20, 2600) if weighted else None
    keys, weights = _absorb_levels._pair_sums(f, g, w, *levels)
    expected, inverse = np.unique(f * levels[1] + g, return_inverse=True)
    assert np.array_equal(keys, expected)
    assert np.array_equal(weights, np.bincount(inverse, weights=w))
    if levels[0] * levels[1] > 10**6:
        return
    # added into a table by their codes among the factors' keys, as by their pairs of keys
    from ordinata_frames import _native

    keys_f, keys_g = (np.sort(rng.choice(2 * size, size, replace=False)) - 2**40 for size in levels)
    low_f, low_g = int(keys_f[0]) - 3, int(keys_g[0]) - 2
    by_pairs = np.ones((int(keys_f[-1]) - low_f + 1, int(keys_g[-1]) - low_g + 1))
    by_codes = by_pairs.copy()
    pairs = np.column_stack([keys_f[keys // levels[1]], keys_g[keys % levels[1]]])
    _native.add_pairs_into(by_pairs, low_f, low_g, pairs, weights)
    _native.add_coded_pairs_into(by_codes, low_f, low_g, keys, weights, keys_f, keys_g)
    assert np.array_equal(by_codes, by_pairs)
    for low, codes in ((int(keys_f[-1]), keys), (low_f, keys + len(keys_f) * len(keys_g))):
        with pytest.raises(ValueError, match="outside the table's ranges"):
            _native.add_coded_pairs_into(by_codes, low, low_g, codes, weights, keys_f, keys_g)


def test_tables_refuse_what_lies_outside():
    from ordinata_frames import _native

    with pytest.raises(ValueError, match="outside its factor's levels"):
        _absorb_levels._pair_sums(np.array([0, 3]), np.array([0, 0]), None, 3, 1)
    table = np.zeros((4, 3))
    top = np.iinfo(np.int64).max
    for low, keys in ((10, [10, 14]), (-(2**62), [top]), (top, [-top])):   # beyond it, however far
        with pytest.raises(ValueError, match="outside the table's range"):
            _native.add_rows_into(table, low, np.array(keys), np.ones((len(keys), 3)), np.zeros(2))
    _native.add_rows_into(table, 10, np.array([11, 13]), np.array([[2.0, 1.0, 3.0], [1.0, 0.0, 0.0]]),
                          np.array([0.5, -1.0]))
    assert np.array_equal(table, [[0, 0, 0], [2, 2, 1], [0, 0, 0], [1, 0.5, -1]])   # sums moved by weight * shift
    pairs = np.zeros((2, 5))
    with pytest.raises(ValueError, match="outside the table's ranges"):
        _native.add_pairs_into(pairs, -1, 0, np.array([[-1, 4], [0, 5]]), np.ones(2))
    _native.add_pairs_into(pairs, -1, 0, np.array([[-1, 4], [0, 0], [-1, 4]]), np.array([1.0, 2.0, 0.5]))
    assert pairs[0, 4] == 1.5 and pairs[1, 0] == 2.0 and pairs.sum() == 3.5


def test_demeaned_rows_and_their_refusals():
    """Each column less its centre and its levels' effects (a factor's codes through its map), in the
    order the numpy expression takes them; a level outside the effects is refused."""
    from ordinata_frames import _native

    rng = np.random.default_rng(3)
    n = 1300
    codes = [rng.integers(0, 5, n), rng.integers(0, 6, n)]
    maps = [None, np.array([3, 2, 1, 0, 2, 1])]          # the second factor's six keys onto its four levels
    columns = [rng.normal(size=2 * n)[::2], rng.normal(size=n) + 1e6]     # a strided column
    effects, centre = rng.normal(size=(2, 9)), np.array([0.5, 1e6])
    by_level = np.ascontiguousarray(effects.T)
    out = np.empty((2, n))
    _native.demean_rows(out, columns, centre, by_level, codes, maps, np.array([0, 5]), None)
    for j in range(2):
        expected = columns[j] - centre[j]
        expected -= effects[j, codes[0]]
        expected -= effects[j, 5 + maps[1][codes[1]]]
        assert np.array_equal(out[j], expected)
    # combined: one row, the columns' residual sum_j r_j (v_j - centre_j) less the combined effects
    combine = np.array([-0.75, 2.0])
    residual = np.empty((1, n))
    _native.demean_rows(residual, columns, centre, np.ascontiguousarray((combine @ effects)[:, None]), codes, maps,
                        np.array([0, 5]), combine)
    np.testing.assert_allclose(residual[0], combine @ out, rtol=0, atol=1e-15 * 2e6)
    with pytest.raises(ValueError, match="combined: one of each"):
        _native.demean_rows(out, columns, centre, by_level, codes, maps, np.array([0, 5]), combine)
    with pytest.raises(ValueError, match="outside the effects"):
        _native.demean_rows(out, columns, centre, by_level, [codes[0], codes[1] + 1], maps, np.array([0, 5]), None)
    with pytest.raises(ValueError, match="outside the effects"):
        _native.demean_rows(out, columns, centre, by_level, codes, [None, None], np.array([0, 5]), None)
    far = [None, np.full(6, np.iinfo(np.int64).max)]
    for offsets, maps_given in (([0, 5], far), ([0, -3], maps), ([0, 2**62], maps)):
        with pytest.raises(ValueError, match="outside the effects"):
            _native.demean_rows(out, columns, centre, by_level, codes, maps_given, np.array(offsets), None)


@pytest.mark.parametrize("weighted", [False, True])
def test_level_sums_equal_bincount(weighted):
    from ordinata_frames import _native

    rng = np.random.default_rng(8)
    n = 1300
    codes = rng.integers(0, 40, n)
    w = rng.uniform(0.5, 2.0, n) if weighted else None
    columns = [rng.normal(size=2 * n)[::2] + 1e5, rng.normal(size=n)]
    pivot = np.array([columns[0][0], columns[1][0]])
    out = np.zeros((40, 3))
    _native.level_sums(out, codes, w, columns, pivot)
    ones = np.ones(n) if w is None else w
    assert np.array_equal(out[:, 0], np.bincount(codes, weights=ones, minlength=40))
    for j in range(2):
        assert np.array_equal(out[:, 1 + j], np.bincount(codes, weights=ones * (columns[j] - pivot[j]), minlength=40))
    with pytest.raises(ValueError, match="outside the levels"):
        _native.level_sums(out, codes + 1, w, columns, pivot)


@pytest.mark.parametrize("keys", [
    np.arange(-5, 995),                                         # the range filled: codes are the offsets
    np.array([7, 7, 3, 9, 3, 12]),                              # gaps: codes among the keys present
    np.array([-2**62, -2**62 + 5, -2**62 + 1]),                 # near int64's floor
    np.array([0, 10**12, 5, 10**12]),                           # spread too wide to count: hashed
    np.arange(3000) % 1234 * 3 - 70,
])
def test_integer_codes_are_positions_among_the_distinct_keys(keys):
    from ordinata_frames import _absorb

    rng = np.random.default_rng(len(keys))
    keys = rng.permutation(keys.astype(np.int64))
    original = keys.copy()
    distinct, codes = _absorb.integer_codes(keys)
    expected, inverse = np.unique(keys, return_inverse=True)
    assert np.array_equal(distinct, expected) and np.array_equal(codes, inverse)
    assert np.array_equal(keys, original)


@pytest.mark.parametrize("counts, keys", [
    (np.array([1.0, 3.0, 255.0]), np.array([0, 7, 2**31])),            # counts in a byte, keys in 32 bits
    (np.array([256.0, 1.0, 70000.0]), np.array([0, 1, 2**33])),        # wider counts; keys beyond 32 bits
    (np.array([0.5, 2.0, 1.0]), np.array([-3, 0, 5])),                 # weights not whole; a negative key
    (np.array([0.0, 2.0**32, 1.0]), np.array([0, 1, 2])),              # a count beyond 32 bits
])
def test_keyed_statistics_cross_processes_unchanged(counts, keys):
    """Pickled (as dask sends a partition's statistics to another worker), the keys, the pairs' codes
    and their weights come back bit for bit, in their own dtypes, however narrow the wire form."""
    import pickle

    stats = _absorb_levels.KeyedStats(rows=3, keys=[keys, np.arange(4)], values=[np.ones((3, 2)), np.ones((4, 2))],
                                      pairs={(0, 1): (keys * 4 + 1, counts)}, coded=True)
    dense = _absorb_levels.KeyedStats(rows=3, lows=[0, 0], keys=[np.zeros(0, np.int64)] * 2,
                                      values=[np.ones((3, 2)), np.ones((4, 2))],
                                      pairs={(0, 1): (np.zeros((0, 2), np.int64), np.outer(counts, [1.0, 2.0]))})
    for s in (stats, dense):
        back = pickle.loads(pickle.dumps(s, protocol=5))
        for a, b in [*zip(s.keys, back.keys), *zip(s.pairs[(0, 1)], back.pairs[(0, 1)])]:
            assert a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)

    def width(a: np.ndarray) -> int:       # the narrowest unsigned type holding a exactly, else 8 bytes
        if a.min() < 0 or not np.all(a == np.round(a)):
            return 8
        return next((size for size in (1, 2, 4) if a.max() < 2 ** (8 * size)), 8)

    wire = stats.__getstate__()["pairs"][(0, 1)]
    assert (wire[0].itemsize, wire[1].itemsize) == (width(keys * 4 + 1), width(counts))


@pytest.mark.parametrize("shape", [(1, 1), (37, 1), (600, 7), (3, 900)])
def test_dense_crosstab_read_as_codes_among_the_levels_seen(shape):
    """A dense crosstab's nonzero cells, row by row, coded among the levels of nonzero weight (codes
    rising), against numpy's reading; a weight at an unseen level, or too little room, is refused."""
    from ordinata_frames import _native

    rng = np.random.default_rng(shape[0])
    table = np.where(rng.uniform(size=shape) < 0.4, rng.integers(1, 9, shape) * 2.0 ** rng.integers(-30, 30, shape), 0)
    seen = [table.any(axis=1), table.any(axis=0)]
    code_of = [np.where(p, np.cumsum(p) - 1, -1) for p in seen]
    levels_g = int(seen[1].sum())
    flat = np.flatnonzero(table)
    a, b = np.divmod(flat, shape[1])
    codes, weights = np.empty(len(flat), dtype=np.int64), np.empty(len(flat))
    assert _native.dense_pair_codes(table, code_of[0], code_of[1], levels_g, codes, weights) == len(flat)
    assert np.array_equal(codes, code_of[0][a] * levels_g + code_of[1][b])
    assert np.array_equal(weights, table.ravel()[flat])
    assert np.all(np.diff(codes) > 0)
    if len(flat):
        with pytest.raises(ValueError, match="beyond the room"):
            _native.dense_pair_codes(table, code_of[0], code_of[1], levels_g, codes[:-1], weights[:-1])
        unseen = code_of[0].copy()
        unseen[a[-1]] = -1
        with pytest.raises(ValueError, match="level unseen"):
            _native.dense_pair_codes(table, unseen, code_of[1], levels_g, codes, weights)


@pytest.mark.parametrize("items", [1, 2, 15, 16, 17, 100, 129, 300])
@pytest.mark.parametrize("run", [1, 3, 16])
def test_merge_tree_keeps_the_rows_order(items, run):
    """Whatever the runs and folds, the merges take neighbours in order (the statistics' rows in
    partition order), every item once; with runs, the last partition's statistics (the last to be
    ready) wait on its run's merge, its fold's and the folds' pairwise merges only."""
    from ordinata_frames import _passes

    labels = [chr(0x4E00 + i) for i in range(items)]
    after_last = []

    def combine(a: str, b: str) -> str:
        after_last.append(labels[-1] in a + b)
        return a + b

    assert _passes.tree(labels, combine, run) == "".join(labels)
    assert len(after_last) == items - 1
    if run > 1:
        runs = -(-items // run)
        folds = -(-runs // _passes.FOLDED_RUNS)
        assert sum(after_last) <= 2 + (folds - 1).bit_length()

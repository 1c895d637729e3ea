"""The crosstabs' merge: two rising key lists joined, a key in both with its weights summed."""

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

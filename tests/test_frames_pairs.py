"""The crosstabs' merge: two rising key lists joined, a key in both with its weights summed."""

import numpy as np
import pytest

from ordinata_frames import _absorb_levels


@pytest.mark.parametrize("sizes", [(0, 0), (0, 7), (1200, 0), (1200, 1300), (5, 4000)])
def test_merged_pairs_equal_the_summed_union(sizes):
    rng = np.random.default_rng(sum(sizes))
    lists = []
    for n in sizes:
        keys = np.sort(rng.choice(5000, size=n, replace=False)).astype(np.int64)
        lists.append((keys, rng.uniform(0.5, 2.0, n) * 2.0 ** rng.integers(-30, 30, n)))
    keys, weights = _absorb_levels._merged(*lists[0], *lists[1])
    both = np.concatenate([lists[0][0], lists[1][0]])
    expected = np.unique(both)
    assert np.array_equal(keys, expected)
    total = np.zeros(5000)
    for k, w in lists:
        total[k] += w          # a's weight first, as the merge adds them
    assert np.array_equal(weights, total[expected])


@pytest.mark.parametrize("keys", [[3, 1], [2, 2]])
def test_keys_that_do_not_rise_are_refused(keys):
    bad = np.array(keys, dtype=np.int64)
    with pytest.raises(ValueError, match="rise strictly"):
        _absorb_levels._merged(bad, np.ones(2), np.zeros(0, dtype=np.int64), np.zeros(0))

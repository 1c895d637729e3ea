"""FE: the within estimator against a dummy-variable regression, entity
handling, clustered errors and the report."""

import numpy as np
import pytest
import statsmodels.api as sm
from scipy import stats

from ordinata import FE


def panel(sizes, k, seed=0):
    """Rows of entities with the given sizes, shuffled, with entity effects."""
    rng = np.random.default_rng(seed)
    id_values = rng.choice(np.arange(-10**12, 10**12, 7919), size=len(sizes), replace=False)
    g = rng.permutation(np.repeat(np.arange(len(sizes)), sizes))
    x = rng.normal(size=(g.size, k))
    y = x @ rng.normal(size=k) + rng.normal(scale=3.0, size=len(sizes))[g] + rng.normal(size=g.size)
    return x, y, id_values[g].astype(np.int64)


def dummy_ols(x, y, ids):
    """Independent oracle: least squares on x and one dummy per entity (first-appearance order)."""
    _, first, inverse = np.unique(ids, return_index=True, return_inverse=True)
    g = np.argsort(np.argsort(first))[inverse]
    return sm.OLS(y, np.hstack([x, np.eye(g.max() + 1)[g]])).fit(), g


def test_entity_order_and_df_one():
    x = np.array([[1.0], [2.0], [4.0], [3.0], [0.0]])
    y = np.array([1.0, 5.0, 2.0, 7.0, 3.0])
    ids = np.array([7, -3, 7, 100, -3], dtype=np.int64)
    m = FE()
    m.fit(x, y, ids)  # N = n - k - 1
    assert m.n_entities == 3
    beta = m.coefficients[0]
    np.testing.assert_allclose(m.fixed_effects, [np.mean([1 - beta, 2 - 4 * beta]), np.mean([5 - 2 * beta, 3]),
                                                 7 - 3 * beta])
    assert m.residuals[3] == 0.0  # a singleton contributes a zero row
    assert m.fixed_effects[2] == y[3] - x[3, 0] * beta
    assert m.mse == pytest.approx(np.sum(m.residuals ** 2))
    # nu = n - k = 4: Student t, not n - k - N
    t = m.t_statistics()
    np.testing.assert_allclose(m.p_values(), 2 * stats.t.sf(np.abs(t), 4))
    np.testing.assert_allclose(m.confidence_intervals()[0], beta + np.array([-1, 1]) * stats.t.ppf(0.975, 4)
                               * m.standard_errors()[0])


@pytest.mark.parametrize("sizes, k", [
    ([5, 4, 1], 2),  # n = 2(k + N): SVD route
    ([5, 5, 1], 2),  # n = 2(k + N) + 1: normal equations
    ([40, 1, 30, 1, 25], 3),
    ([60], 2),  # N = 1
    ([9, 1, 12, 7, 30], 9),  # accumulators wider than a cache line
])
@pytest.mark.parametrize("robust", [False, True])
def test_fit_against_dummy_regression(sizes, k, robust):
    x, y, ids = panel(sizes, k, seed=len(sizes) * 10 + k)
    # ids are exact 64-bit integers, the extremes too
    ids[ids == ids[0]] = np.iinfo(np.int64).min
    ids[(ids == ids[-1]) & (ids != ids[0])] = np.iinfo(np.int64).max
    m = FE(robust=robust)
    if robust and len(sizes) == 1:
        # One cluster: its score is X~'e = 0, the clustered errors would be zero.
        with pytest.raises(ValueError, match=r"^Clustered standard errors need at least two entities"):
            m.fit(x, y, ids)
        assert not m.is_fitted()
        return
    m.fit(x, y, ids)
    ref, g = dummy_ols(x, y, ids)
    np.testing.assert_allclose(m.coefficients, ref.params[:k], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(m.fixed_effects, ref.params[k:], rtol=1e-10, atol=1e-12)
    assert m.mse == pytest.approx(ref.ssr / ref.df_resid, rel=1e-10)
    assert m.r_squared == pytest.approx(1 - ref.ssr / np.sum((y - y.mean()) ** 2), rel=1e-10)
    xw = x - (np.eye(len(sizes))[g].T @ x / np.bincount(g)[:, None])[g]
    yw = y - (np.bincount(g, y) / np.bincount(g))[g]
    e = yw - xw @ m.coefficients
    np.testing.assert_allclose(m.residuals, e, atol=1e-10)
    assert m.within_r_squared == pytest.approx(1 - e @ e / np.sum((yw - yw.mean()) ** 2), rel=1e-10)
    cov = np.linalg.inv(xw.T @ xw)
    np.testing.assert_allclose(m.covariance_matrix(), m.mse * cov, rtol=1e-10)
    if robust:  # numpy group-by: per-entity scores, no small-sample factor
        scores = np.zeros((len(sizes), k))
        np.add.at(scores, g, e[:, None] * xw)
        expected = np.sqrt(np.diag(cov @ scores.T @ scores @ cov))
    else:
        expected = ref.bse[:k]
    np.testing.assert_allclose(m.standard_errors(), expected, rtol=1e-9, atol=1e-14)
    dist = stats.t(len(y) - k) if len(y) - k <= 30 else stats.norm  # nu = n - k
    np.testing.assert_allclose(m.p_values(), 2 * dist.sf(np.abs(m.t_statistics())), rtol=1e-8, atol=1e-14)
    np.testing.assert_allclose(m.predict(x, ids), x @ m.coefficients + m.fixed_effects[g], rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("k", [2, 6])
@pytest.mark.parametrize("robust", [False, True])
def test_row_order_and_id_values_change_only_rounding(k, robust):
    x, y, ids = panel([3, 9, 1, 6, 4] * 40, k, seed=k)
    ref = FE(robust=robust)
    ref.fit(x, y, ids)
    perm = np.random.default_rng(k).permutation(ids.size)
    # Grouped by entity, and shuffled with other id values (another first-appearance order).
    for order, new_ids in ((np.argsort(ids, kind="stable"), ids), (perm, ~ids * 3)):
        m = FE(robust=robust)
        m.fit(x[order], y[order], new_ids[order])
        for name in ("coefficients", "standard_errors", "mse", "r_squared", "within_r_squared"):
            got, want = getattr(m, name), getattr(ref, name)
            np.testing.assert_allclose(got() if callable(got) else got, want() if callable(want) else want,
                                       rtol=1e-12, err_msg=name)
        np.testing.assert_allclose(m.residuals, ref.residuals[order], rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(m.predict(x, new_ids), ref.predict(x, ids), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("robust", [False, True])
def test_summary(robust):
    x, y, ids = panel([6, 7, 8], 2, seed=9)
    m = FE(robust=robust)
    m.fit(x, y, ids)
    lines = m.summary().split("\n")
    assert lines[0] == " " * 28 + "Fixed Effects Regression Results"
    assert lines[4] == " " * 52 + f"{'Within R-squared:':<25} {m.within_r_squared:12.3f}"
    assert lines[5].startswith("Method:                   Within Estimator (Fixed Effects)")
    assert lines[11] == f"{'Covariance Type:':25} {'clustered' if robust else 'nonrobust':25}"
    assert [l.split()[0] for l in lines[15:17]] == ["x1", "x2"] and lines[17] == "=" * 78

"""A fit that raises changes nothing: every property, every inference method,
the covariance, the report and the predictions are exactly as before, for a
failure in the input checks, in the solver and in the standard-error step."""

import numpy as np
import pytest

import ordinata
from state import assert_same, snapshot


def collinear(x):
    x = x.copy()
    x[:, -1] = 0.3 * x[:, 0] - 1.7 * x[:, 1]
    return x


def with_nan(a):
    a = a.copy()
    a.flat[a.size // 2] = np.nan
    return a


def linear_case(cls, n_good=60, n_bad_svd=8, **kw):
    """(constructor, good fit args, failing fit args by kind, predict args)."""
    rng = np.random.default_rng(0)

    def args(n, transform=lambda x: x):
        x = transform(rng.normal(size=(n, 3)))
        y = x[:, 0] + rng.normal(size=n)
        extra = {"WLS": (rng.uniform(0.5, 2, n),), "GLS": (np.eye(n) * 2.0,)}.get(cls.__name__, ())
        return (x, y, *extra)

    failing = {"validation": args(50, with_nan), "solver": args(50, collinear),
               "standard errors": args(n_bad_svd, collinear)}
    return (lambda: cls(**kw)), args(n_good), failing, (np.ones((4, 3)),)


def instrumental_case(cls):
    rng = np.random.default_rng(1)

    def args(n, q=3, transform=lambda a: a):
        z = rng.normal(size=(n, q))
        x = transform(z[:, :3] + rng.normal(size=(n, 3)))
        return z, x, x.sum(axis=1) + rng.normal(size=n)

    failing = {"validation": args(40, transform=with_nan), "solver": args(40, transform=collinear),
               "degrees of freedom": args(4)}
    if cls is ordinata.TSLS:
        failing["standard errors"] = args(9, q=4, transform=collinear)  # the general path
    return cls, args(60), failing, (np.ones((4, 3)),)


def fe_case():
    rng = np.random.default_rng(2)

    def args(sizes, transform=lambda x, ids: x):
        ids = np.repeat(np.arange(len(sizes)) * 10 + 1, sizes).astype(np.int64)
        x = transform(rng.normal(size=(len(ids), 2)), ids)
        return x, x[:, 0] + ids * 0.1 + rng.normal(size=len(ids)), ids

    constant_within = lambda x, ids: np.column_stack([x[:, 0], ids * 0.5])
    good = args([8] * 5)
    failing = {
        "validation": args([8] * 5, lambda x, ids: with_nan(x)),
        "solver": args([10] * 6, constant_within),
        "standard errors": args([2] * 6, constant_within),
        "entities": args([1] * 5),
    }
    return (lambda: ordinata.FE(robust=True)), good, failing, (good[0][:4], good[2][:4])


CASES = {
    "OLS": linear_case(ordinata.OLS),
    "OLS robust": linear_case(ordinata.OLS, robust=True),
    "Ridge": linear_case(ordinata.Ridge, n_bad_svd=16, alpha=0.0),
    "WLS": linear_case(ordinata.WLS, n_bad_svd=12),
    "GLS": linear_case(ordinata.GLS, n_bad_svd=12),
    "IV": instrumental_case(ordinata.IV),
    "TSLS": instrumental_case(ordinata.TSLS),
    "FE": fe_case(),
}
PAIRS = [(name, kind) for name, case in CASES.items() for kind in case[2]]


@pytest.mark.parametrize("name, kind", PAIRS)
def test_failed_fit_changes_nothing(name, kind):
    make, good, failing, predict_args = CASES[name]
    model = make()
    with pytest.raises((ValueError, RuntimeError)):
        model.fit(*failing[kind])
    assert_same(snapshot(model, predict_args), snapshot(make(), predict_args))
    assert model.is_fitted() is False and model.coefficients is None and model.n_samples is None
    model.fit(*good)
    if callable(getattr(model, "covariance_matrix", None)):
        model.covariance_matrix()  # fill the cache
    before = snapshot(model, predict_args)
    with pytest.raises((ValueError, RuntimeError)):
        model.fit(*failing[kind])
    assert_same(snapshot(model, predict_args), before)

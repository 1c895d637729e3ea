"""Well-posed arguments for every class, found by parameter name, so that
the cross-class tests cover a class added later without changes."""

import numpy as np

import ordinata

CLASSES = [getattr(ordinata, name) for name in ordinata.__all__]


def params(func):
    """Parameter names from a text signature, without self."""
    sig = (func.__text_signature__ or "($self)").strip("()").split(",")
    return [p.strip().split("=")[0] for p in sig if p.strip() not in ("", "$self")]


def values(n=40, p=3, seed=0, exact=False):
    """A value for every parameter name (exact: as many instruments as regressors)."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x @ np.arange(1.0, p + 1) + 0.5 + rng.normal(size=n)
    z = x + rng.normal(size=(n, p))
    return {"x": x, "regressors": x, "y": y, "targets": y,
            "instruments": z if exact else np.column_stack([z, rng.normal(size=n)]),
            "weights": rng.uniform(0.5, 2.0, n), "sigma": np.eye(n) + 0.1,
            "entity_id": (np.arange(n) % max(n // 4, 2)).astype(np.int64),
            "alpha": 0.1, "fit_intercept": True, "robust": False}


def fit_kwargs(cls, **kw):
    v = values(exact=cls is ordinata.IV, **kw)
    return {name: v[name] for name in params(cls.fit)}


def fitted(cls, **kw):
    model = cls()
    model.fit(**fit_kwargs(cls, **kw))
    return model


def predict(model, x, entity_id=None):
    if isinstance(model, ordinata.FE):
        return model.predict(x, np.zeros(len(x), np.int64) if entity_id is None else entity_id)
    return model.predict(x)


def fit_exogenous(cls, x, y, ctor=None, **kw):
    """cls fitted on regressors x (their own instruments) and target y, the
    other arguments from kw or else from fit_kwargs."""
    args = fit_kwargs(cls, n=len(y))
    args.update(zip(("regressors", "targets", "instruments") if "targets" in args else ("x", "y"), (x, y, x)))
    args.update({k: v for k, v in kw.items() if k in args})
    m = cls(**(ctor or {}))
    m.fit(**args)
    return m

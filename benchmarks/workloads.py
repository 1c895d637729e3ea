"""The workload list: ordinata's call, the numpy floor and each peer's call on
the data of ``base``, with the companion package's workloads from ``frames``
appended. Whatever a peer needs that a user of ordinata would not (a
constant column, a MultiIndex frame) is built by the factory, outside the
timing, which can only favour the peer.
"""

from __future__ import annotations

import numpy as np
import scipy.linalg as sla

import ordinata

from .base import (
    FLOOR,
    ORDINATA,
    Data,
    Impl,
    Workload,
    gls_data,
    iv_data,
    panel_data,
    regression_data,
    shuffled_panel_data,
    weighted_data,
    with_const,
)
from .frames import frames_workloads

# ---------------------------------------------------------------- floors

def _chol_solve_and_inverse(g: np.ndarray, c: np.ndarray):
    cf = sla.cho_factor(g, lower=True, check_finite=False)
    b = sla.cho_solve(cf, c, check_finite=False)
    inv = sla.cho_solve(cf, np.eye(g.shape[0]), check_finite=False)
    return b, inv


def floor_ols(d: Data):
    xc, y = with_const(d["x"]), d["y"]

    def run(_s, _i):
        return _chol_solve_and_inverse(xc.T @ xc, xc.T @ y)
    return None, run


def floor_ols_robust(d: Data):
    xc, y = with_const(d["x"]), d["y"]

    def run(_s, _i):
        b, inv = _chol_solve_and_inverse(xc.T @ xc, xc.T @ y)
        xe = xc * (y - xc @ b)[:, None]
        return b, inv @ (xe.T @ xe) @ inv
    return None, run


def floor_ridge(d: Data, alpha: float):
    xc, y = with_const(d["x"]), d["y"]
    pen = np.full(xc.shape[1], alpha)
    pen[0] = 0.0

    def run(_s, _i):
        g = xc.T @ xc
        g[np.diag_indices_from(g)] += pen
        return _chol_solve_and_inverse(g, xc.T @ y)
    return None, run


def floor_wls(d: Data):
    xc, y, w = with_const(d["x"]), d["y"], d["weights"]

    def run(_s, _i):
        sw = np.sqrt(w)
        xw = xc * sw[:, None]
        return _chol_solve_and_inverse(xw.T @ xw, xw.T @ (y * sw))
    return None, run


def floor_gls(d: Data):
    xcy = np.column_stack([with_const(d["x"]), d["y"]])
    sigma = d["sigma"]

    def run(_s, _i):
        low = sla.cholesky(sigma, lower=True, check_finite=False)
        w = sla.solve_triangular(low, xcy, lower=True, check_finite=False)
        xw, yw = w[:, :-1], w[:, -1]
        return _chol_solve_and_inverse(xw.T @ xw, xw.T @ yw)
    return None, run


def floor_iv(d: Data):
    zc, xc, y = with_const(d["z"]), with_const(d["x"]), d["y"]

    def run(_s, _i):
        lu = sla.lu_factor(zc.T @ xc, check_finite=False)
        b = sla.lu_solve(lu, zc.T @ y, check_finite=False)
        a_inv = sla.lu_solve(lu, np.eye(xc.shape[1]), check_finite=False)
        return b, a_inv @ (zc.T @ zc) @ a_inv.T
    return None, run


def floor_tsls(d: Data):
    zc, xc, y = with_const(d["z"]), with_const(d["x"]), d["y"]

    def run(_s, _i):
        cf = sla.cho_factor(zc.T @ zc, lower=True, check_finite=False)
        zx, zy = zc.T @ xc, zc.T @ y
        proj = zx.T @ sla.cho_solve(cf, np.column_stack([zx, zy]), check_finite=False)
        return _chol_solve_and_inverse(proj[:, :-1], proj[:, -1])
    return None, run


def floor_fe(d: Data):
    import pandas as pd
    x, y, ids = d["x"], d["y"], d["entity_id"]

    def run(_s, _i):
        codes, uniques = pd.factorize(ids)
        counts = np.bincount(codes).astype(float)
        xy = np.column_stack([x, y])
        means = np.empty((len(uniques), xy.shape[1]))
        for j in range(xy.shape[1]):
            means[:, j] = np.bincount(codes, weights=xy[:, j]) / counts
        dm = xy - means[codes]
        xd, yd = dm[:, :-1], dm[:, -1]
        return _chol_solve_and_inverse(xd.T @ xd, xd.T @ yd)
    return None, run


# ---------------------------------------------------------------- ordinata

def ord_fit(cls: str, kwargs: dict, args: tuple[str, ...]):
    def factory(d: Data):
        klass = getattr(ordinata, cls)
        arrays = [d[a] for a in args]

        def run(_s, _i):
            m = klass(**kwargs)
            m.fit(*arrays)
            return m, m.standard_errors()
        return None, run
    return factory


def ord_summary(d: Data, batch: int):
    def setup():
        out = []
        for _ in range(batch):
            m = ordinata.OLS()
            m.fit(d["x"], d["y"])
            out.append(m)
        return out
    return setup, lambda models, i: models[i].summary()


def ols_fit(x, y):
    m = ordinata.OLS()
    m.fit(x, y)
    m.standard_errors()


def numpy_cross_products(x, y):
    return x.T @ x, x.T @ y


def fit_pairs(threaded: bool, fit=ols_fit):
    """Two problems on their own data: both in two threads at once, or one
    after the other in this thread."""
    def factory(d: Data):
        import threading
        pairs = [(d["x"], d["y"]), (d["x2"], d["y2"])]

        def run(_s, _i):
            if not threaded:
                for x, y in pairs:
                    fit(x, y)
                return
            threads = [threading.Thread(target=fit, args=pair) for pair in pairs]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        return None, run
    return factory


def two_problems(n: int, p: int) -> Data:
    d = regression_data(n, p, seed=7)
    other = regression_data(n, p, seed=8)
    d["x2"], d["y2"] = other["x"], other["y"]
    return d


# ---------------------------------------------------------------- statsmodels

def sm_fit(kind: str, **fit_kwargs):
    def factory(d: Data):
        import statsmodels.api as sm
        xc, y = with_const(d["x"]), d["y"]
        if kind == "OLS":
            build = lambda: sm.OLS(y, xc)
        elif kind == "WLS":
            build = lambda: sm.WLS(y, xc, weights=d["weights"])
        elif kind == "GLS":
            build = lambda: sm.GLS(y, xc, sigma=d["sigma"])
        else:
            raise ValueError(kind)

        def run(_s, _i):
            res = build().fit(**fit_kwargs)
            return res, res.bse
        return None, run
    return factory


def sm_iv(d: Data):
    from statsmodels.sandbox.regression.gmm import IV2SLS
    zc, xc, y = with_const(d["z"]), with_const(d["x"]), d["y"]

    def run(_s, _i):
        res = IV2SLS(y, xc, zc).fit()
        return res, res.bse
    return None, run


def sm_summary(d: Data, batch: int):
    import statsmodels.api as sm
    xc, y = with_const(d["x"]), d["y"]

    def setup():
        return [sm.OLS(y, xc).fit() for _ in range(batch)]
    return setup, lambda results, i: results[i].summary().as_text()


# ---------------------------------------------------------------- linearmodels, scikit-learn

def lm_iv(d: Data):
    from linearmodels.iv import IV2SLS
    const = np.ones((d["y"].shape[0], 1))
    y, x, z = d["y"], d["x"], d["z"]

    def run(_s, _i):
        res = IV2SLS(y, const, x, z).fit(cov_type="unadjusted")
        return res, res.std_errors
    return None, run


def lm_panel(clustered: bool):
    def factory(d: Data):
        import pandas as pd
        from linearmodels.panel import PanelOLS
        index = pd.MultiIndex.from_arrays([d["entity_id"], d["time"]], names=["entity", "time"])
        y = pd.Series(d["y"], index=index, name="y")
        x = pd.DataFrame(d["x"], index=index, columns=[f"x{j}" for j in range(d["x"].shape[1])])
        fit_kwargs = {"cov_type": "clustered", "cluster_entity": True} if clustered else {}

        def run(_s, _i):
            res = PanelOLS(y, x, entity_effects=True).fit(**fit_kwargs)
            return res, res.std_errors
        return None, run
    return factory


def sk_ridge(alpha: float):
    def factory(d: Data):
        from sklearn.linear_model import Ridge
        x, y = d["x"], d["y"]
        return None, lambda _s, _i: Ridge(alpha=alpha).fit(x, y)
    return factory


# ---------------------------------------------------------------- the list

BIG = 1_000_000


def _big(small: bool) -> int:
    return 2_000 if small else BIG


# The rows of the scaling series, 10 regressors each.
SCALING_ROWS = (1_000, 10_000, 100_000, 1_000_000, 10_000_000)
SINGLE_THREADED = {"ORDINATA_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1"}


def all_workloads() -> list[Workload]:
    alpha = 1.0
    w: list[Workload] = []

    w.append(Workload(
        "ols_small", "OLS 100 × 3", ("OLS",),
        lambda small: regression_data(100, 3),
        (Impl(ORDINATA, ord_fit("OLS", {}, ("x", "y"))),
         Impl(FLOOR, floor_ols, measure_memory=False),
         Impl("statsmodels OLS", sm_fit("OLS"))),
        rounds=15, batch=200, memory_ref=None))
    for robust in (False, True):
        label = "robust" if robust else "classical"
        w.append(Workload(
            f"ols_big_{label}", f"OLS 10⁶ × 20, {label}", ("OLS",),
            lambda small: regression_data(_big(small), 20),
            (Impl(ORDINATA, ord_fit("OLS", {"robust": robust}, ("x", "y"))),
             Impl(FLOOR, floor_ols_robust if robust else floor_ols, measure_memory=False),
             Impl("statsmodels OLS", sm_fit("OLS", **({"cov_type": "HC0"} if robust else {})))),
            rounds=5))
    w.append(Workload(
        "ridge_big", "Ridge 10⁶ × 20", ("Ridge",),
        lambda small: regression_data(_big(small), 20),
        (Impl(ORDINATA, ord_fit("Ridge", {"alpha": alpha}, ("x", "y"))),
         Impl(FLOOR, lambda d: floor_ridge(d, alpha), measure_memory=False),
         Impl("scikit-learn Ridge", sk_ridge(alpha))),
        rounds=5,
        notes=("scikit-learn computes no standard errors; ordinata's time includes them.",)))
    w.append(Workload(
        "wls_big", "WLS 10⁶ × 20", ("WLS",),
        lambda small: weighted_data(_big(small), 20),
        (Impl(ORDINATA, ord_fit("WLS", {}, ("x", "y", "weights"))),
         Impl(FLOOR, floor_wls, measure_memory=False),
         Impl("statsmodels WLS", sm_fit("WLS"))),
        rounds=5))
    for n, rounds in ((1_000, 9), (4_000, 5)):
        w.append(Workload(
            f"gls_{n}", f"GLS n = {n:,}, k = 10", ("GLS",),
            lambda small, n=n: gls_data(200 if small else n, 10),
            (Impl(ORDINATA, ord_fit("GLS", {}, ("x", "y", "sigma"))),
             Impl(FLOOR, floor_gls, measure_memory=False),
             Impl("statsmodels GLS", sm_fit("GLS"))),
            rounds=rounds, memory_ref="sigma"))
    w.append(Workload(
        "iv_big", "IV 10⁶ rows, 5 regressors, 5 instruments", ("IV",),
        lambda small: iv_data(_big(small), 5, 5),
        (Impl(ORDINATA, ord_fit("IV", {}, ("z", "x", "y"))),
         Impl(FLOOR, floor_iv, measure_memory=False),
         Impl("linearmodels IV2SLS", lm_iv),
         Impl("statsmodels IV2SLS", sm_iv)),
        rounds=5, memory_ref="x+z",
        notes=("IV is exactly identified, so it gets 5 instruments; TSLS gets 8.",)))
    w.append(Workload(
        "tsls_big", "TSLS 10⁶ rows, 5 regressors, 8 instruments", ("TSLS",),
        lambda small: iv_data(_big(small), 5, 8),
        (Impl(ORDINATA, ord_fit("TSLS", {}, ("z", "x", "y"))),
         Impl(FLOOR, floor_tsls, measure_memory=False),
         Impl("linearmodels IV2SLS", lm_iv),
         Impl("statsmodels IV2SLS", sm_iv)),
        rounds=5, memory_ref="x+z"))
    for entities in (10_000, 100_000):
        for robust in (False, True):
            label = "clustered" if robust else "classical"
            impls = [Impl(ORDINATA, ord_fit("FE", {"robust": robust}, ("x", "y", "entity_id")))]
            if robust:
                # Paired with the clustered fit in the same rounds: the cost of clustering.
                impls.append(Impl("ordinata classical", ord_fit("FE", {}, ("x", "y", "entity_id")),
                                  measure_memory=False))
            impls += [Impl(FLOOR, floor_fe, measure_memory=False),
                      Impl("linearmodels PanelOLS", lm_panel(robust))]
            w.append(Workload(
                f"fe_{entities}_{label}", f"FE 10⁶ × 5, N = {entities:,}, {label}", ("FE",),
                lambda small, e=entities: panel_data(_big(small), 5, 100 if small else e),
                tuple(impls), rounds=5,
                notes=(("The PanelOLS MultiIndex frame is built outside the timing.",)
                       if entities == 10_000 and not robust else ())))
    for robust in (False, True):
        label = "clustered" if robust else "classical"
        fe = ord_fit("FE", {"robust": robust}, ("x", "y", "entity_id"))
        sorted_fe = ord_fit("FE", {"robust": robust}, ("sorted_x", "sorted_y", "sorted_entity_id"))
        w.append(Workload(
            f"fe_shuffled_{label}", f"FE 10⁶ × 5, N = 100,000, rows in random order, {label}", ("FE",),
            lambda small: shuffled_panel_data(_big(small), 5, 100 if small else 100_000),
            (Impl(ORDINATA, fe),
             # The same rows entity by entity, in the same rounds: the cost of the order.
             Impl("ordinata sorted ids", sorted_fe, measure_memory=False),
             Impl("linearmodels PanelOLS", lm_panel(robust))),
            rounds=9,
            notes=(("The sorted copy is the same data with its rows grouped by entity.",)
                   if not robust else ())))
    w.append(Workload(
        "threads_ols", "Two OLS 2·10⁵ × 20 fits in two Python threads", ("OLS",),
        lambda small: two_problems(2_000 if small else 200_000, 20),
        (Impl(ORDINATA, fit_pairs(threaded=True)),
         Impl("ordinata, one thread fitting both", fit_pairs(threaded=False))),
        rounds=15, memory_ref=None, isolated_env=SINGLE_THREADED,
        notes=("Timed in a process of its own with ORDINATA_NUM_THREADS=1 and OPENBLAS_NUM_THREADS=1: "
               "the gain comes from fits running while the interpreter lock is released.",)))
    w.append(Workload(
        "threads_numpy", "X'X and X'y of two 2·10⁵ × 20 problems in two Python threads, numpy", ("OLS",),
        lambda small: two_problems(2_000 if small else 200_000, 20),
        (Impl("numpy, two threads", fit_pairs(threaded=True, fit=numpy_cross_products)),
         Impl("numpy, one thread doing both", fit_pairs(threaded=False, fit=numpy_cross_products))),
        rounds=15, memory_ref=None, isolated_env=SINGLE_THREADED,
        notes=("What a second thread brings to numpy's own BLAS products on this machine, in the same "
               "settings: the bound for the two-thread target above.",)))
    for n in SCALING_ROWS:
        w.append(Workload(
            f"ols_scale_{n}", f"OLS {n:,} × 10", ("OLS",),
            lambda small, n=n: regression_data(min(n, 2_000) if small else n, 10, seed=9),
            (Impl(ORDINATA, ord_fit("OLS", {}, ("x", "y"))),
             Impl(FLOOR, floor_ols, measure_memory=False),
             Impl("statsmodels OLS", sm_fit("OLS"))),
            rounds=3 if n >= 10**7 else 5, batch=max(1, 10**5 // n), memory_ref=None,
            bytes_read=(lambda d: d["x"].nbytes) if n >= 10**7 else None))
    w.append(Workload(
        "summary_ols20", "summary() of OLS, 20 coefficients, n = 1,000", ("OLS",),
        lambda small: regression_data(1_000, 19),
        (Impl(ORDINATA, lambda d: ord_summary(d, 20)),
         Impl("statsmodels OLS summary()", lambda d: sm_summary(d, 20))),
        rounds=9, batch=20, memory_ref=None,
        notes=("Each summary() is the first on a freshly fitted model; the fits are untimed.",)))
    w.extend(frames_workloads())
    return w

"""fe with absorbed factors against the dense dummy-variable regression (numpy, by
Frisch-Waugh-Lovell on the full set of dummies) and against pyfixest.feols."""

import warnings

import numpy as np
import pandas as pd
import pytest

import ordinata_frames as of
from absorbed import close, dense_fit, kept, oracle, outputs_by_thread_count

TIGHT = 1e-13   # the solver's tolerance where the tests ask for the rounding's digits


def design(n=1100, seed=0, levels=(40, 15, 7)):
    rng = np.random.default_rng(seed)
    d = pd.DataFrame({f"f{i + 1}": rng.integers(0, lv, n) for i, lv in enumerate(levels)})
    d["x1"] = rng.normal(size=n) + 0.05 * d.f1
    d["x2"] = rng.normal(size=n) * 3 + 1e3       # an offset the demeaning must not lose digits to
    d["w"] = rng.uniform(0.5, 2.0, n)
    d["g"] = rng.integers(0, 30, n)               # a cluster
    d["h"] = rng.integers(0, 12, n)               # another
    effects = sum(rng.normal(size=lv)[d[f"f{i + 1}"]] for i, lv in enumerate(levels))
    d["y"] = 1.5 * d.x1 - 0.5 * d.x2 + effects + rng.normal(size=n)
    return d


CASES = [("f1 + f2", None), ("f1 + f2 + f3", None), ("f1 + f2", "w"), ("f1 + f2 + f3", "w"), ("f1 + f2^f3", None),
         ("f1^f3 + f2", "w")]


@pytest.mark.parametrize(("factors", "w"), CASES)
@pytest.mark.parametrize("vcov", ["iid", "HC1", {"CRV1": "g"}, {"CRV1": "g + h"}])
def test_against_the_dummy_regression(factors, w, vcov):
    d = design()
    r = of.fe(f"y ~ x1 + x2 | {factors}", d, vcov=vcov, weights=w, tol=TIGHT)
    clusters = tuple(c.strip() for c in vcov["CRV1"].split("+")) if isinstance(vcov, dict) else ()
    o = oracle(d, ["x1", "x2"], factors.replace(" ", "").split("+"), w, clusters)
    close(r.params, o["beta"], 1e-9)
    close(r.cov, o["CRV1" if clusters else vcov], 1e-9)
    close(r.r_squared, o["r2"], 1e-9)
    assert r.absorbed_df == o["rank"]
    assert r.df_resid == len(d) - 2 - o["rank"]
    assert r.solver.convergence <= TIGHT and r.solver.iterations >= 1


@pytest.mark.parametrize("w", [None, "w"])
def test_effects_predict_the_fitted_values(w):
    d = design()
    factors = ["f1", "f2", "f3"]
    r = of.fe("y ~ x1 + x2 | f1 + f2 + f3", d, weights=w, tol=TIGHT)
    close(r.predict(d), dense_fit(d, factors, w)[1], 1e-10)
    assert r.n_levels == {"f1": 40, "f2": 15, "f3": 7}
    effects = r.fixed_effects
    assert list(effects) == factors
    for f in factors[1:]:
        assert abs(effects[f]["effect"].mean()) < 1e-12
    assert effects["f1"].index.name == "f1" and list(effects["f2"].index) == list(range(15))
    with pytest.raises(ValueError, match=r"fixed effect 'f2' of newdata has levels not seen in fitting: 99"):
        r.predict(d.head(3).assign(f2=[0, 99, 1]))


def test_two_components_are_counted_exactly_and_normalised_in_each():
    d = design(levels=(40, 16))
    low = d.index < 550
    d.loc[low, "f1"] = d.f1[low] % 20
    d.loc[~low, "f1"] = 20 + d.f1[~low] % 20
    d.loc[low, "f2"] = d.f2[low] % 8
    d.loc[~low, "f2"] = 8 + d.f2[~low] % 8
    r = of.fe("y ~ x1 + x2 | f1 + f2", d, tol=TIGHT)
    o = oracle(d, ["x1", "x2"], ["f1", "f2"])
    assert r.absorbed_df == o["rank"] == 40 + 16 - 2
    close(r.cov, o["iid"], 1e-9)
    second = r.fixed_effects["f2"]["effect"]
    assert abs(second.iloc[:8].mean()) < 1e-12 and abs(second.iloc[8:].mean()) < 1e-12


def test_a_factor_nested_in_another_adds_no_level():
    d = design(levels=(60, 10))
    d["firm"] = d.f1 // 4                         # every f1 level within one firm
    r = of.fe("y ~ x1 + x2 | firm + f1 + f2", d, vcov={"CRV1": "firm"}, tol=TIGHT)
    # CRV1 counts the slopes and the 69 absorbed levels, f1's 60 (nested in the cluster) as one: 12, as pyfixest.
    o = oracle(d, ["x1", "x2"], ["firm", "f1", "f2"], clusters=("firm",), df_k=2 + 69 - 60 + 1)
    assert r.absorbed_df == o["rank"] == 60 + 10 - 1
    close(r.params, o["beta"], 1e-9)
    close(r.cov, o["CRV1"], 1e-9)


def test_one_level_factor_is_the_intercept():
    d = design().assign(one=7)
    with_one = of.fe("y ~ x1 + x2 | f1 + one", d, tol=TIGHT)
    without = of.fe("y ~ x1 + x2 | f1 + f2", d.assign(f2=0), tol=TIGHT)
    ols = of.ols("y ~ x1 + x2", d)
    alone = of.fe("y ~ x1 + x2 | one", d, drop_singletons=True, tol=TIGHT)
    close(with_one.params, without.params, 1e-12)
    assert with_one.absorbed_df == 40 and alone.absorbed_df == 1
    close(alone.params, ols.params[1:], 1e-10)
    close(alone.cov, ols.cov[1:, 1:], 1e-9)


def test_the_one_entity_fit_is_the_absorbed_one():
    d = design()
    old = of.fe("y ~ x1 + x2 | f1", d, vcov={"CRV1": "g"})
    new = of.fe("y ~ x1 + x2 | f1", d, vcov={"CRV1": "g"}, drop_singletons=True, tol=TIGHT)
    assert new.singletons_dropped == 0 and new.solver is not None and old.solver is None
    assert new.absorbed_df == old.absorbed_df == 40 and new.n_levels == old.n_levels == {"f1": 40}
    close(new.params, old.params, 1e-11)
    close(new.cov, old.cov, 1e-10)
    assert (new.df_resid, new.r_squared_adj) == pytest.approx((old.df_resid, old.r_squared_adj), rel=1e-12)
    pd.testing.assert_frame_equal(new.fixed_effects["f1"], old.fixed_effects["f1"].sort_index(), rtol=1e-9)


def test_singletons_are_dropped_until_none_is_left():
    rng = np.random.default_rng(3)
    d = design(n=1100, levels=(300, 200))
    d.loc[rng.choice(1100, 40, replace=False), "f2"] = np.arange(1000, 1040)   # new singletons
    r = of.fe("y ~ x1 | f1 + f2", d, drop_singletons=True, tol=TIGHT)
    rest = of.fe("y ~ x1 | f1 + f2", kept(d, ["f1", "f2"]), tol=TIGHT)
    assert r.singletons_dropped == len(d) - rest.nobs > 40 and r.dropped_rows == r.singletons_dropped
    assert r.nobs == rest.nobs
    close(r.params, rest.params, 1e-11)
    close(r.cov, rest.cov, 1e-10)


def test_rows_with_a_missing_factor_are_dropped():
    d = design()
    holes = d.copy()
    holes["f2"] = holes.f2.astype(object)
    holes.loc[[3, 500, 1099], "f2"] = None
    holes.loc[[7], "f3"] = np.nan
    r = of.fe("y ~ x1 + x2 | f1 + f2 + f3", holes, tol=TIGHT)
    complete = of.fe("y ~ x1 + x2 | f1 + f2 + f3", d.drop(index=[3, 7, 500, 1099]), tol=TIGHT)
    assert r.dropped_rows == 4 and r.nobs == 1096
    close(r.params, complete.params, 1e-11)


@pytest.mark.parametrize(("formula", "message"), [
    ("y ~ x1 + z | f1 + f2", r"regressor 'z' is collinear with the fixed effects f1 \+ f2"),
    ("y ~ x1 + s | f1 + f2", r"regressor 's' is collinear with the fixed effects f1 \+ f2"),
])
def test_a_regressor_collinear_with_the_effects_is_refused(formula, message):
    d = design()
    d["z"] = np.arange(40.0)[d.f1] ** 2          # constant within f1
    d["s"] = np.sin(d.f1) + np.cos(d.f2)          # a sum of effects of both
    with pytest.raises(ValueError, match=message):
        of.fe(formula, d)


def test_bad_inputs():
    d = design()
    for formula, change, kwargs, message in [
            ("y ~ x1 | f1 + f2 + f3", {}, {"max_iterations": 2}, r"fixed effects f1 \+ f2 \+ f3 did not converge in 2 iterations"),
            ("y ~ x1 | f1 + f2", {"y": d.y.where(d.index != 5, np.inf)}, {}, r"not finite: y"),
            ("y ~ x1 | f1 + log(f2)", {}, {}, "must be column names joined by"), ("y ~ x1 | f1 + f1", {}, {}, "appears twice"),
            ("y ~ x1 | f1 + f2", {}, {"tol": 0.0}, "tol must be a number strictly between 0 and 1"),
            ("y ~ x1 | f1 + f2", {"w": d.w.where(d.index != 9, 0.0)}, {"weights": "w"}, "All weights must be positive and finite")]:
        with pytest.raises(ValueError, match=message):
            of.fe(formula, d.assign(**change), **kwargs)
    with pytest.raises(ValueError, match="Insufficient degrees of freedom"):
        of.fe("y ~ x1 | f1 + f2", d.head(20).assign(f1=range(20)))
    before = d.copy()
    of.fe("y ~ x1 + x2 | f1 + f2", d, weights="w")
    pd.testing.assert_frame_equal(d, before)


def test_any_thread_count_gives_the_same_bits():
    out = outputs_by_thread_count("import numpy as np, ordinata_frames as of; from tests.test_frames_absorb import design; "
                                  "r = of.fe('y ~ x1 + x2 | f1 + f2 + f3', design(), weights='w'); "
                                  "print(np.concatenate([r.params, r.cov.ravel()]).tobytes().hex())")
    assert len(out) == 1


# ---------------------------------------------------------------------------
# Against pyfixest on a few thousand rows of the worker-firm-year designs.

def worker_firm_year(n, kind, seed=1, years=10, per_firm=23):
    rng = np.random.default_rng(seed)
    workers = n // years
    firms = max(2, round(workers / per_firm))
    worker = np.repeat(np.arange(workers), years)
    year = np.tile(np.arange(years), workers)
    firm = rng.integers(0, firms, n) if kind == "simple" else np.arange(n) % firms
    x1 = rng.normal(size=n)
    y = (x1 + rng.normal(size=firms)[firm] + rng.normal(size=workers)[worker] + rng.normal(size=years)[year]
         + rng.normal(size=n))
    return pd.DataFrame({"y": y, "x1": x1, "worker": worker, "year": year, "firm": firm})


@pytest.mark.parametrize("kind", ["simple", "difficult"])
@pytest.mark.parametrize("factors", ["worker + year", "worker + year + firm"])
@pytest.mark.parametrize("vcov", ["iid", "HC1", {"CRV1": "firm"}, {"CRV1": "worker"}, {"CRV1": "worker + year"}])
def test_against_pyfixest(kind, factors, vcov):
    pf = pytest.importorskip("pyfixest")
    d = worker_firm_year(4000, kind)
    d.loc[d.index % 97 == 0, "worker"] = 10_000 + d.index[d.index % 97 == 0]    # singletons
    formula = f"y ~ x1 | {factors}"
    theirs_vcov = "hetero" if vcov == "HC1" else vcov
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = pf.feols(formula, d, vcov=theirs_vcov, fixef_tol=1e-10, fixef_rm="singleton")
    r = of.fe(formula, d, vcov=vcov, drop_singletons=True, tol=1e-10)
    assert r.nobs == m._N and r.singletons_dropped == len(d) - m._N
    close(r.params, m.coef().to_numpy(), 1e-6)
    close(r.standard_errors, m.se().to_numpy(), 1e-6)
    assert r.absorbed_df == int(m._k_fe.sum()) - (len(m._k_fe) - 1)
    assert r.df_inference == m._df_t


# ---------------------------------------------------------------------------
# Instruments with absorbed effects: 'y ~ exogenous | effects | endogenous ~ instruments'.

def with_instruments(seed=5):
    d = design()
    rng = np.random.default_rng(seed)
    d["z1"], d["z2"], u = rng.normal(size=(3, len(d)))
    d["e"] = d.z1 + 0.5 * d.z2 + u + 0.1 * d.f2
    d["y"] = d.y + 0.7 * d.e + u
    return d


@pytest.mark.parametrize("w", [None, "w"])
@pytest.mark.parametrize("vcov", ["iid", "HC1"])
def test_instruments_against_the_dummy_regression(w, vcov):
    d = with_instruments()
    r = of.fe("y ~ x1 | f1 + f2 + f3 | e ~ z1 + z2", d, vcov=vcov, weights=w, tol=TIGHT)
    o = oracle(d, ["x1", "e"], ["f1", "f2", "f3"], w, instruments=["x1", "z1", "z2"])
    assert list(r.names) == ["x1", "e"]
    close(r.params, o["beta"], 1e-9)
    close(r.cov, o[vcov], 1e-9)
    fitted = d.x1.to_numpy() * o["beta"][0] + d.e.to_numpy() * o["beta"][1]     # the effects: y - fitted on the dummies
    close(r.predict(d), fitted + dense_fit(d.assign(y=d.y - fitted), ["f1", "f2", "f3"], w, xs=())[1], 1e-10)


def test_instruments_are_checked():
    d = with_instruments().assign(z3=lambda t: t.z1 * 2.0)
    with pytest.raises(ValueError, match="instruments are collinear"):
        of.fe("y ~ x1 | f1 + f2 | e ~ z1 + z3", d)
    with pytest.raises(ValueError, match="cannot identify"):
        of.fe("y ~ x1 | f1 + f2 | e + x2 ~ z1", d)
    with pytest.raises(ValueError, match="must read 'endogenous ~ instruments'"):
        of.fe("y ~ x1 | f1 + f2 | e", d)
    with pytest.raises(ValueError, match=r"instrument 'zf' is collinear with the fixed effects"):
        of.fe("y ~ x1 | f1 + f2 | e ~ z1 + zf", d.assign(zf=np.cos(d.f2)))


IV_FE = "y ~ x1 | f1 + f2 | e ~ z1 + z2"


# Instruments (their data: with_instruments()) to 1e-8, weights and interactions to 1e-10.
@pytest.mark.parametrize(("formula", "w", "vcov"), [
    *[(IV_FE, None, v) for v in ("iid", "HC1", {"CRV1": "g"}, {"CRV1": "g + h"})],
    ("y ~ x1 + x2 | f1 + f2 + f3", "w", "iid"), ("y ~ x1 + x2 | f1 + f2 + f3", "w", {"CRV1": "g"}),
    ("y ~ x1 + x2 | f1^f3 + f2", None, "HC1"), ("y ~ x1 + x2 | f1^f3 + f2", "w", {"CRV1": "f2"})])
def test_instruments_weights_and_interactions_against_pyfixest(formula, w, vcov):
    pf = pytest.importorskip("pyfixest")
    d, rtol = (with_instruments(), 1e-8) if formula == IV_FE else (design(), 1e-10)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = pf.feols(formula, d, weights=w, vcov="hetero" if vcov == "HC1" else vcov, fixef_rm="none",
                     fixef_tol=1e-12)
    r = of.fe(formula, d, weights=w, vcov=vcov, tol=TIGHT)
    close(r.params, m.coef().to_numpy(), rtol)
    close(r.standard_errors, m.se().to_numpy(), rtol)
    assert r.df_inference == m._df_t

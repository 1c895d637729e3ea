"""ordinata_frames against its peers, to 1e-9 relative: statsmodels (OLS, WLS, GLS,
HC0-HC3, one-way clusters), linearmodels (IV, TSLS and their diagnostics, PanelOLS
with entity effects) and pyfixest (feols, CRV1 one- and two-way), names included."""

import os
import warnings

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
of = pytest.importorskip("ordinata_frames")
smf = pytest.importorskip("statsmodels.formula.api")
durbin_watson = pytest.importorskip("statsmodels.stats.stattools").durbin_watson

import exact  # noqa: E402
import report_parsing  # noqa: E402
from frames_data import ar1, grunfeld, longley, mroz, random_problem  # noqa: E402

RTOL = 1e-9
# pyfixest and linearmodels take p-values as 1 - cdf, exact only to ~1e-16 absolute.
P_ATOL = 1e-14


def pyfixest():
    if os.environ.get("ORDINATA_SANITIZED"):
        pytest.skip("pyfixest's numba compilation is left out of the sanitizer runs")
    return pytest.importorskip("pyfixest")


def agree(ours, params, se=None, t=None, p=None, ci=None):
    """Every given peer Series (or interval frame) against ours, matched by name."""
    names = list(params.index)
    assert sorted(ours.names) == sorted(names)
    np.testing.assert_allclose(ours.coefficients[names], params, rtol=RTOL)
    if se is not None:
        np.testing.assert_allclose(ours.standard_errors[names], se, rtol=RTOL)
    if t is not None:
        np.testing.assert_allclose(ours.t_statistics[names], t, rtol=RTOL)
    if p is not None:
        np.testing.assert_allclose(ours.p_values[names], p, rtol=RTOL, atol=P_ATOL)
    if ci is not None:
        np.testing.assert_allclose(ours.confidence_intervals().loc[names].to_numpy(), np.asarray(ci), rtol=RTOL)


def statsmodels_fit(model, vcov, groups):
    if vcov == "iid":
        return model.fit()
    if isinstance(vcov, dict):
        return model.fit(cov_type="cluster", cov_kwds={"groups": groups}, use_t=True)
    return model.fit(cov_type=vcov, use_t=True)


def agree_statsmodels(ours, fit):
    agree(ours, fit.params, fit.bse, fit.tvalues, fit.pvalues, fit.conf_int())


def report_figures(result):
    return report_parsing.values(result.summary())


def close_in_print(printed, value, digits):
    """A figure printed with `digits` decimals against the peer's (3 significant digits for p)."""
    assert printed == pytest.approx(value, abs=0.51 * 10.0**-digits, rel=0)


SM_COVARIANCES = ["iid", "HC0", "HC1", "HC2", "HC3", {"CRV1": "firm"}]
# Longley's HC2, HC3 and cluster errors from statsmodels are up to 4e-8 off the exact values (its
# collinear design): test_sandwiches_against_exact_arithmetic.
LEAST_SQUARES = {"random": (random_problem, "y ~ x1 + x2 + I(x2**2) + C(region)", SM_COVARIANCES),
                 "longley": (longley, "y ~ x1 + x2 + x3 + x4 + x5 + x6", ["iid", "HC0", "HC1"])}


@pytest.mark.parametrize("model", ["ols", "wls"])
@pytest.mark.parametrize("data, vcov", [(d, v) for d, (*_, vs) in LEAST_SQUARES.items() for v in vs], ids=str)
def test_least_squares_as_statsmodels(data, vcov, model):
    make, formula, _ = LEAST_SQUARES[data]
    data = make()
    complete = data.dropna()
    if model == "ols":
        ours, peer = of.ols(formula, data, vcov=vcov), smf.ols(formula, complete)
    else:
        ours = of.wls(formula, data, weights="w", vcov=vcov)
        peer = smf.wls(formula, complete, weights=complete["w"])
    assert ours.dropped_rows == len(data) - len(complete) == (5 if len(data) == 400 else 0)
    assert ours.nobs == len(complete) and ours.df_resid == len(complete) - len(ours.names)
    fitted = statsmodels_fit(peer, vcov, complete.get("firm"))
    agree_statsmodels(ours, fitted)
    # WLS too: the mean square of the residuals y - X b as given, not of the weighted ones.
    assert ours.mse == pytest.approx(float(fitted.resid @ fitted.resid) / fitted.df_resid, rel=RTOL)
    assert ours.r_squared == pytest.approx(fitted.rsquared, rel=RTOL)
    # The report's F: the Wald F under the covariance.
    printed = report_figures(ours)
    close_in_print(printed["F-statistic:"], fitted.fvalue, 3)
    assert printed["Prob (F-statistic):"] == pytest.approx(fitted.f_pvalue, rel=5e-3)


@pytest.mark.parametrize("missing", [False, True])
def test_gls_as_statsmodels(missing):
    data = random_problem(n=120)
    if not missing:
        data = data.dropna().reset_index(drop=True)
    sigma = ar1(len(data))
    ours = of.gls("y ~ x1 + x2 + C(region)", data, sigma=sigma)
    keep = data.dropna().index.to_numpy()
    peer = smf.gls("y ~ x1 + x2 + C(region)", data.loc[keep], sigma=sigma[np.ix_(keep, keep)]).fit()
    agree_statsmodels(ours, peer)
    np.testing.assert_allclose(ours.covariance_matrix.loc[peer.params.index, peer.params.index],
                               peer.cov_params(), rtol=RTOL)


@pytest.mark.parametrize("offset", [0.0, 2.0**30])
def test_gls_with_offset_columns_reaches_the_exact_solution(offset):
    # Sigma = diag(4^j): L^-1 scales row i by an exact power of two, so the GLS solution is the
    # exact OLS one of the scaled rows, ones column included.
    rng = np.random.default_rng(11)
    n = 36
    x = rng.normal(size=(n, 2)) + offset
    y = x @ [1.5, -2.0] + rng.normal(size=n)
    powers = rng.integers(-3, 4, size=n)
    data = pd.DataFrame({"x1": x[:, 0], "x2": x[:, 1], "y": y})
    ours = of.gls("y ~ x1 + x2", data, sigma=np.diag(4.0**powers))
    scale = 2.0 ** -powers.astype(float)
    d = np.column_stack([scale, x * scale[:, None]])
    np.testing.assert_allclose(ours.params, [float(b) for b in exact.lstsq(d, y * scale)[0]], rtol=1e-12)
    se = exact.standard_errors(d.T, y * scale, "iid")
    np.testing.assert_allclose(ours.standard_errors.to_numpy(), se, rtol=1e-11)


def test_ridge_as_scikit_learn():
    linear_model = pytest.importorskip("sklearn.linear_model")
    data = random_problem().dropna()
    ours = of.ridge("y ~ x1 + x2 + C(region)", data, alpha=3.0)
    x = ours.predict_state.encodings[0].get_model_matrix(data).to_numpy()[:, 1:]
    peer = linear_model.Ridge(alpha=3.0).fit(x, data["y"])
    np.testing.assert_allclose(ours.coefficients.to_numpy(), [peer.intercept_, *peer.coef_], rtol=RTOL)


# "weak": R-squared below 0 (age instruments educ: -1.83, as linearmodels reports it, no clamp as OLS's).
IV_FORMULAS = {
    "iv": "lwage ~ 1 + exper + [educ ~ fatheduc]",
    "tsls": "lwage ~ 1 + exper + I(exper**2) + [educ ~ fatheduc + motheduc]",
    "tsls2": "lwage ~ 1 + exper + [educ + hushrs ~ fatheduc + motheduc + huseduc]",
    "iv weak": "lwage ~ 1 + [educ ~ age]",
    "tsls weak": "lwage ~ 1 + kidslt6 + [educ ~ kidsge6 + husage]",
}
# Ours beside linearmodels' settings: iid and HC1 are its debiased fits (t with n - k
# degrees of freedom, as ours); HC0 is robust without the n/(n-k) factor, whose
# p-values linearmodels takes from the normal, so only estimates and errors compare.
LM_COVARIANCES = {
    "iid": {"cov_type": "unadjusted", "debiased": True},
    "HC0": {"cov_type": "robust", "debiased": False},
    "HC1": {"cov_type": "robust", "debiased": True},
    "CRV1": {"cov_type": "clustered", "debiased": True},
}


@pytest.mark.parametrize("vcov", list(LM_COVARIANCES))
@pytest.mark.parametrize("which", list(IV_FORMULAS))
def test_instrumental_as_linearmodels(which, vcov):
    iv2sls = pytest.importorskip("linearmodels.iv").IV2SLS
    data = mroz()
    formula = IV_FORMULAS[which]
    ours = getattr(of, which.split()[0].rstrip("2"))(formula, data, vcov={"CRV1": "agegroup"} if vcov == "CRV1" else vcov)
    complete = data.dropna(subset=["lwage"])
    options = dict(LM_COVARIANCES[vcov])
    if vcov == "CRV1":
        options["clusters"] = complete["agegroup"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = iv2sls.from_formula(formula, complete).fit(**options)
    assert ours.dropped_rows == len(data) - len(complete)
    assert list(ours.names) == list(peer.params.index)
    t_based = vcov in ("iid", "HC1")
    agree(ours, peer.params, peer.std_errors, peer.tstats, peer.pvalues if t_based else None,
          peer.conf_int() if t_based else None)
    assert ours.r_squared < 0 or not which.endswith("weak")
    np.testing.assert_allclose([ours.r_squared, ours.r_squared_adj], [peer.rsquared, peer.rsquared_adj], rtol=RTOL)
    if t_based:
        printed = report_figures(ours)
        assert printed["F-statistic:"] > 0
        close_in_print(printed["F-statistic:"], peer.f_statistic.stat, 3)
        assert printed["Prob (F-statistic):"] == pytest.approx(peer.f_statistic.pval, rel=5e-3)

    diagnostics = peer.first_stage.diagnostics
    assert list(ours.first_stage.index) == list(diagnostics.index)
    for column, theirs in [("partial_r2", "partial.rsquared"), ("f_stat", "f.stat"), ("f_pvalue", "f.pval")]:
        np.testing.assert_allclose(ours.first_stage[column], diagnostics[theirs], rtol=RTOL, atol=P_ATOL)
    if which.startswith("iv"):
        assert ours.sargan is None
    else:
        np.testing.assert_allclose([ours.sargan.stat, ours.sargan.df, ours.sargan.pvalue],
                                   [peer.sargan.stat, peer.sargan.df, peer.sargan.pval], rtol=RTOL)
    wu = peer.wu_hausman()
    assert ours.wu_hausman.df == (wu.df, wu.df_denom)
    np.testing.assert_allclose([ours.wu_hausman.stat, ours.wu_hausman.pvalue], [wu.stat, wu.pval], rtol=RTOL)


def test_fe_as_panelols():
    panel = pytest.importorskip("linearmodels.panel")
    data = grunfeld()
    ours = of.fe("inv ~ value + capital | firm", data)
    peer = panel.PanelOLS.from_formula("inv ~ value + capital + EntityEffects",
                                       data.set_index(["firm", "year"])).fit(cov_type="unadjusted")
    agree(ours, peer.params, peer.std_errors, peer.tstats, peer.pvalues, peer.conf_int())
    # The report's header is the results'.
    printed = report_figures(ours)
    assert printed["Df Residuals:"] == ours.df_resid == peer.df_resid
    close_in_print(printed["Adj. R-squared:"], ours.r_squared_adj, 3)
    close_in_print(printed["F-statistic:"], peer.f_statistic.stat, 3)
    assert printed["Prob (F-statistic):"] == pytest.approx(peer.f_statistic.pval, rel=5e-3)


@pytest.mark.parametrize("vcov", ["HC0", "HC1"])
def test_fe_robust_as_statsmodels_dummies(vcov):
    data = grunfeld()
    ours = of.fe("inv ~ value + capital | firm", data, vcov=vcov)
    peer = smf.ols("inv ~ value + capital + C(firm)", data).fit(cov_type=vcov, use_t=True)
    names = list(ours.names)
    np.testing.assert_allclose(ours.standard_errors, peer.bse[names], rtol=RTOL)
    np.testing.assert_allclose(ours.p_values, peer.pvalues[names], rtol=RTOL)


def grunfeld_with_singletons():
    return pd.concat([grunfeld(), pd.DataFrame({"firm": [11, 12], "year": [1935, 1935], "inv": [50.0, 80.0],
                                                "value": [900.0, 1500.0], "capital": [30.0, 70.0]})], ignore_index=True)


def random_problem_12():
    return random_problem(seed=12)


FE_FORMULA, OLS_FORMULA = "inv ~ value + capital | firm", "y ~ x1 + x2 + C(region)"
PYFIXEST = [*[(grunfeld, FE_FORMULA, v) for v in ({"CRV1": "firm"}, {"CRV1": "year"}, {"CRV1": "firm + year"}, "HC1")],
            (grunfeld_with_singletons, FE_FORMULA, {"CRV1": "year"}),  # kept, as pyfixest without removal
            *[(random_problem_12, OLS_FORMULA, v) for v in ({"CRV1": "firm"}, {"CRV1": "firm + year"})]]


@pytest.mark.parametrize("data, formula, vcov", PYFIXEST, ids=lambda v: getattr(v, "__name__", str(v)))
def test_clusters_as_pyfixest(data, formula, vcov):
    pf = pyfixest()
    data = data()
    ours = (of.fe if "|" in formula else of.ols)(formula, data, vcov=vcov)
    peer = pf.feols(formula, data, vcov="hetero" if vcov == "HC1" else vcov, fixef_rm="none")
    assert ours.nobs == peer._N
    agree(ours, peer.coef(), peer.se(), peer.tstat(), peer.pvalue(), peer.confint())


@pytest.mark.parametrize("vcov", ["HC3", {"CRV1": "g + h"}], ids=str)
def test_a_pass_over_many_row_blocks_as_its_peers(vcov):
    # 16 regressors: the second pass cuts the rows into blocks of 30 512-row chunks (15360 rows)
    # and sums a clustering of more than 512 groups (h, and the pairs) from the blocks' stored
    # scores, four blocks to a wave: 7 blocks, the last of 300 rows, in two waves. A block summed
    # twice or left out, or merged out of row order, moves the errors or the residual sums.
    rng = np.random.default_rng(21)
    n, k = 6 * 15360 + 300, 16
    names = [f"x{j}" for j in range(k)]
    data = pd.DataFrame(rng.normal(size=(n, k)), columns=names)
    g, h = rng.integers(0, 30, n), rng.integers(0, 2000, n)
    noise = np.cumsum(rng.normal(size=n)) * 0.05 + rng.normal(size=n) * (1.0 + 0.3 * (g % 3))
    data["y"] = data[names].to_numpy() @ rng.normal(size=k) + noise
    data["g"], data["h"] = g, h
    formula = "y ~ " + " + ".join(names)
    ours = of.ols(formula, data, vcov=vcov)
    peer = smf.ols(formula, data).fit(cov_type="HC3", use_t=True) if vcov == "HC3" else smf.ols(formula, data).fit()
    if vcov == "HC3":
        agree_statsmodels(ours, peer)
    else:
        fixest = pyfixest().feols(formula, data, vcov=vcov)
        agree(ours, fixest.coef(), fixest.se(), fixest.tstat(), fixest.pvalue(), fixest.confint())
    # The report's residual sums, merged over the blocks: count, central moments, the first and
    # last residual and the Durbin-Watson steps across every join.
    e = peer.resid.to_numpy()
    count, mean, m2, m3, m4, sum_sq, steps, first, last = ours._stats().residual_sums
    d = e - e.mean()
    assert count == n
    np.testing.assert_allclose([m2, m4, sum_sq, steps], [d @ d, d**2 @ d**2, e @ e, np.diff(e) @ np.diff(e)],
                               rtol=RTOL)
    scale = np.sqrt(e @ e / n)
    np.testing.assert_allclose([mean, m3 / (n * scale**3), first, last], [e.mean(), (d**3).sum() / (n * scale**3),
                               e[0], e[-1]], rtol=0, atol=1e-9 * scale)
    assert steps / sum_sq == pytest.approx(durbin_watson(e), rel=RTOL)


def near_collinear():
    # Scaled condition near 1e6: leverages from an explicit inverse of X'X would lose its square.
    rng = np.random.default_rng(5)
    x1 = rng.normal(size=30)
    return pd.DataFrame({"x1": x1, "x2": x1 + 1e-6 * rng.normal(size=30), "y": 1.0 + x1 + rng.normal(size=30)})


def offset_regressors(offset, weighted):
    # Regressors a few units wide around 1e7 or 1e9: formed from the raw columns, the
    # residuals and the meat keep only the last digits of the offsets (1e-12 to 1e-7 off).
    rng = np.random.default_rng(2)
    n = 60
    data = pd.DataFrame({"x1": offset + rng.normal(size=n), "x2": 3 * rng.normal(size=n) - offset / 4,
                         "g": np.arange(n) % 7, "w": 4.0 ** (np.arange(n) % 3) if weighted else 1.0})
    data["y"] = 1 + data["x1"] + data["x2"] + rng.normal(size=n) * (1 + np.abs(data["x1"] - offset))
    return data


# (data, regressors, weighted, rtol, covariance types)
EXACT = {"longley": (longley, [f"x{i}" for i in range(1, 7)], False, RTOL, ["HC0", "HC3", {"CRV1": "c"}]),
         "near collinear": (near_collinear, ["x1", "x2"], False, RTOL, ["HC3"]),
         **{f"{model} offset {offset:g}": (lambda o=offset, w=model == "wls": offset_regressors(o, w), ["x1", "x2"],
                                           model == "wls", 1e-12, ["HC1", "HC3", {"CRV1": "g"}])
            for model in ("ols", "wls") for offset in (1e7, 1e9)}}


@pytest.mark.parametrize("case, vcov", [(c, v) for c, (*_, vs) in EXACT.items() for v in vs], ids=str)
def test_sandwiches_against_exact_arithmetic(case, vcov):
    # statsmodels' own HC3 and cluster errors are 3e-9 and 4e-8 off the exact values on Longley's
    # collinear design, so the oracle here is rational arithmetic.
    make, names, weighted, rtol, _ = EXACT[case]
    data = make()
    formula = "y ~ " + " + ".join(names)
    ours = of.wls(formula, data, weights="w", vcov=vcov) if weighted else of.ols(formula, data, vcov=vcov)
    kind, groups = (vcov, None) if isinstance(vcov, str) else ("CRV1", data[vcov["CRV1"]].tolist())
    want = exact.standard_errors([np.ones(len(data)), *data[names].to_numpy().T], data["y"], kind, groups,
                                 data["w"] if weighted else None)
    np.testing.assert_allclose(ours.standard_errors.to_numpy(), want, rtol=rtol)


@pytest.mark.parametrize(("formula", "message"), [
    ("lwage ~ exper + [educ ~ fatheduc + exper]", "the instrument 'exper' is an exogenous regressor too"),
    ("lwage ~ educ + exper + [hushrs ~ age + huseduc]",
     r"instruments are collinear \(rank 4 of 5\): Intercept, educ, exper, age are linearly dependent"),
])
def test_rank_deficient_instruments_refused_as_linearmodels_does(formula, message):
    iv2sls = pytest.importorskip("linearmodels.iv").IV2SLS
    data = mroz().dropna(subset=["lwage"])
    data["exper"] = data["age"] - data["educ"] - 6.0
    with pytest.raises(ValueError, match="do not have full column rank"):
        iv2sls.from_formula(formula.replace("~ ", "~ 1 + ", 1), data).fit()
    with pytest.raises(ValueError, match=message):
        of.tsls(formula, data)


@pytest.mark.parametrize(("ours", "theirs"), [("center(exper)", "center(exper)"), ("scale(exper)", "standardize(exper)"),
                                              ("poly(exper, 2)", "exper + I(exper**2)"),
                                              ("bs(exper, df=4)", "bs(exper, df=4)")])
def test_stateful_transforms_as_statsmodels(ours, theirs):
    # Evaluated over the rows kept, as statsmodels over the complete ones: the same
    # fitted values and slope errors whatever the basis of the transform.
    data = mroz()
    complete = data.dropna(subset=["lwage"])
    result = of.ols(f"lwage ~ {ours} + educ", data)
    peer = smf.ols(f"lwage ~ {theirs} + educ", complete).fit()
    np.testing.assert_allclose(result.predict(complete), peer.fittedvalues, rtol=RTOL)
    np.testing.assert_allclose(result.standard_errors["educ"], peer.bse["educ"], rtol=RTOL)


@pytest.mark.parametrize("kind", ["unused category", "arrow dictionary with nulls"])
def test_categories_as_statsmodels_on_the_rows_and_levels_present(kind):
    pa = pytest.importorskip("pyarrow")
    data = random_problem().dropna(subset=["x1", "y"])
    formula = "y ~ x1 + C(region)"
    if kind == "unused category":
        table = data.assign(region=pd.Categorical(data["region"], categories=["south", "none", "east", "north", "west"]))
        data = table.assign(region=table["region"].cat.remove_unused_categories())
    else:
        table = pa.Table.from_pandas(data, preserve_index=False)
        table = table.set_column(table.column_names.index("region"), "region",
                                 pa.chunked_array([pa.array(data["region"]).dictionary_encode()]))
    ours = of.ols(formula, table)
    peer = smf.ols(formula, data.dropna(subset=["region"])).fit()
    assert ours.nobs == peer.nobs == 395
    agree_statsmodels(ours, peer)


@pytest.mark.parametrize("terms", ["lag(x1) + x2", "x1 + lag(x1, 2) + np.exp(lag(x2))"])
def test_lag_is_taken_on_the_rows_as_given_as_pandas_shift(terms):
    # x1 and y miss rows 3, 50 and 7, 8: a row after one of them lags onto that row
    # (NaN, dropped, or its own value), never onto the row before it.
    data = random_problem()
    shifted = data.assign(l1=data["x1"].shift(), l2=data["x1"].shift(2), lx2=np.exp(data["x2"].shift()))
    peer_terms = terms.replace("lag(x1, 2)", "l2").replace("np.exp(lag(x2))", "lx2").replace("lag(x1)", "l1")
    used = ["y", *peer_terms.replace(" ", "").split("+")]
    complete = shifted.dropna(subset=used)
    ours = of.ols(f"y ~ {terms}", data, vcov="HC1")
    peer = smf.ols(f"y ~ {peer_terms}", complete).fit(cov_type="HC1", use_t=True)
    assert ours.nobs == peer.nobs and ours.dropped_rows == len(data) - len(complete)
    assert ours.names[1:] == tuple(terms.split(" + "))       # the peer's terms in the same order
    np.testing.assert_allclose(ours.params, peer.params.to_numpy(), rtol=RTOL)
    np.testing.assert_allclose(ours.standard_errors, peer.bse.to_numpy(), rtol=RTOL)


@pytest.mark.parametrize("fit", ["ols", "fe"])
def test_predict_keeps_the_rows_of_a_filtered_frame(fit):
    data = grunfeld()
    data = data[data["year"] % 3 != 0]
    ours = getattr(of, fit)("inv ~ value + capital" + (" | firm" if fit == "fe" else ""), data).predict(data)
    peer = smf.ols("inv ~ value + capital" + (" + C(firm)" if fit == "fe" else ""), data).fit().predict(data)
    filled = data.assign(fit=ours)["fit"]
    pd.testing.assert_series_equal(filled, peer, check_names=False, rtol=RTOL)

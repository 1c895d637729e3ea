"""The seven formula-first functions: data to design, the native fit, then the
covariance type, the diagnostics and the named report."""

from __future__ import annotations

from dataclasses import dataclass
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

import ordinata
from ordinata_frames import _covariance, _dask, _data, _formula, _native, _vcov
from ordinata_frames._results import PredictState, Results, TestResult

VcovArg = str | dict[str, str]

_ALL = ("iid", *_covariance.HC_TYPES, "CRV1")
_HC01 = ("iid", "HC0", "HC1", "CRV1")


@dataclass
class _Prepared:
    frame: pd.DataFrame        # the used columns, complete rows only
    rows: np.ndarray           # their positions in the caller's table
    total: int                 # the rows of the caller's table
    dependent: str
    y: np.ndarray
    x: np.ndarray
    names: list[str]
    encoding: Any
    extra: list[_formula.Matrix]
    lags: dict[str, str]       # lag columns by name: their calls, for predict

    @property
    def dropped(self) -> int:
        return self.total - len(self.rows)

    @property
    def intercept(self) -> bool:
        return bool(self.names) and self.names[0] == "Intercept"


def _prepare(pieces: _formula.Pieces, data: Any, extra_columns: list[str], extra_formulas: list[str]) -> _Prepared:
    main = f"{pieces.lhs} ~ {pieces.rhs}"
    read = _formula.used_columns(main, extra_formulas, extra_columns)
    lags: dict[str, str] = {}
    lhs, rhs = _formula.take_lags(pieces.lhs, lags), _formula.take_lags(pieces.rhs, lags)
    extra_formulas = [_formula.take_lags(f, lags) for f in extra_formulas]
    if lags:
        # lag() reads the caller's rows as they are: its columns are taken before any row is
        # dropped, and a column read only inside a lag drops no row of its own.
        main = f"{lhs} ~ {rhs}"
        frame, rows, total = _data.load(data, read, derive=lambda f: _formula.add_lags(f, lags),
                                        complete=_formula.used_columns(main, extra_formulas, extra_columns))
    else:
        frame, rows, total = _data.load(data, read)
    _formula.check_types(main, extra_formulas, frame)
    y, x = _formula.lhs_and_rhs(lhs, rhs, frame)
    extra = [_formula.materialize(f, frame) for f in extra_formulas]
    if lags:
        y, x, *extra = (_formula.Matrix(m.values, _formula.unquote_lags(m.names, lags), m.index, m.encoding)
                        for m in (y, x, *extra))
    common = y.index.intersection(x.index)
    for m in extra:
        common = common.intersection(m.index)
    if len(common) == 0:
        raise ValueError(f"no rows left after dropping those where a formula term is missing "
                         f"({len(frame)} rows had every column present)")
    if len(common) < len(frame):
        # A transform gave a missing value (log of a negative, say): those rows go too, as the peers drop them.
        def take(m: _formula.Matrix) -> _formula.Matrix:
            return _formula.Matrix(m.values[m.index.get_indexer(common)], m.names, common, m.encoding)
        y, x, extra = take(y), take(x), [take(m) for m in extra]
        rows = rows[common.to_numpy()]
        frame = frame.loc[common].reset_index(drop=True)
        if _data.drop_unused_categories(frame):
            # A category only the dropped rows had would be a dummy of zeros: the design is built
            # again on the rows kept, whose categories are those they show.
            y, x = _formula.lhs_and_rhs(lhs, rhs, frame)
            extra = [_formula.materialize(f, frame) for f in extra_formulas]
            if lags:
                y, x, *extra = (_formula.Matrix(m.values, _formula.unquote_lags(m.names, lags), m.index, m.encoding)
                                for m in (y, x, *extra))
    return _Prepared(frame=frame, rows=rows, total=total, dependent=y.names[0], y=np.ascontiguousarray(y.values[:, 0]),
                     x=x.values, names=x.names, encoding=x.encoding, extra=extra, lags=lags)


def _fit(model: Any, formula: str, prep: _Prepared, *args: np.ndarray) -> None:
    """The native fit, its message kept and the formula's terms added to it."""
    try:
        model.fit(*args)
    except (ValueError, RuntimeError) as error:
        detail = f"fitting {formula!r}"
        if "NaN or infinite" in str(error):
            columns = {prep.dependent: prep.y, **dict(zip(prep.names, prep.x.T))}
            for m in prep.extra:
                columns.update(zip(m.names, m.values.T))
            bad = [name for name, values in columns.items() if not np.isfinite(values).all()]
            detail += "; not finite: " + ", ".join(bad)
        else:
            detail += f"; terms {', '.join(prep.names + [n for m in prep.extra for n in m.names])}"
        raise type(error)(f"{error} ({detail})") from error


def _params(model: Any, intercept: bool) -> np.ndarray:
    slopes = np.asarray(model.coefficients, dtype=np.float64)
    return np.concatenate([[model.intercept], slopes]) if intercept else slopes


def _old_covariance(request: _covariance.VcovRequest, *, iid: np.ndarray, factor: Callable[[bool], _vcov.Factor],
                resid: np.ndarray, df_k: int, df_resid: int, frame: pd.DataFrame,
                entity: np.ndarray | None = None) -> tuple[np.ndarray, float]:
    """The covariance of the requested type and the degrees of freedom of its t.
    `factor(within)` gives the sandwich's factor, built only when needed; for fe,
    `within` asks for the scores with the entity means taken out."""
    if request.kind == "iid":
        return iid, float(df_resid)
    if request.kind in _covariance.HC_TYPES:
        return _vcov.hc(factor(True), resid, request.kind, df_k), float(df_resid)
    codes = _vcov.cluster_codes(frame, request.clusters)
    if entity is not None and any(_nested(entity, code) for code in codes):
        # pyfixest's "nonnested" count: entity effects nested in a cluster add one parameter, not N.
        df_k = len(iid) + 1
    # The scores of the demeaned regressors even for clusters made of whole entities,
    # where the raw ones give the same sums in exact arithmetic: with a regressor's
    # offset the raw products cancel, and the sums lose its digits.
    cov, g = _vcov.crv1(factor(True), resid, codes, df_k)
    return cov, float(g - 1)


def _nested(entity: np.ndarray, code: np.ndarray) -> bool:
    """Whether every entity lies within one cluster."""
    first = np.empty(int(entity.max()) + 1, dtype=code.dtype)
    first[entity[::-1]] = code[::-1]     # the last write wins: each entity's first row
    return bool(np.array_equal(first[entity], code))


def _finish(model_name: str, formula: str, prep: _Prepared, names: list[str], params: np.ndarray, cov: np.ndarray,
            df: float, request: _covariance.VcovRequest, native: Any, df_resid: int, r2: float, r2_adj: float,
            state: PredictState, **diagnostics: Any) -> Results:
    return Results(model=model_name, formula=formula, dependent=prep.dependent, names=tuple(names), params=params,
                   cov=cov, df_inference=df, nobs=len(prep.y), df_resid=df_resid, r_squared=float(r2),
                   r_squared_adj=float(r2_adj), mse=float(native.mse), vcov_type=request.label,
                   dropped_rows=prep.dropped, predict_state=state, _native_fit=native, **diagnostics)


def _state(prep: _Prepared, *more_encodings: Any, **entity: Any) -> PredictState:
    return PredictState(encodings=(prep.encoding, *more_encodings), lags=tuple(prep.lags.items()), **entity)


def _slopes(prep: _Prepared) -> np.ndarray:
    return prep.x[:, 1:] if prep.intercept else prep.x


def _regressors(formula: str, prep: _Prepared) -> np.ndarray:
    """The slopes' columns; the native classes take at least one."""
    slopes = _slopes(prep)
    if slopes.shape[1] == 0:
        if not prep.intercept:
            raise ValueError(f"formula {formula!r} has no regressor")
        raise ValueError(f"formula {formula!r} has no regressor besides the intercept: the estimators fit at least "
                         f"one slope (the intercept alone is the mean of {prep.dependent!r})")
    return slopes


def ols(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Ordinary least squares; vcov "iid", "HC0".."HC3" or {"CRV1": "g"} / {"CRV1": "g1 + g2"}."""
    request = _covariance.parse(vcov, allowed=_ALL, model="ols")
    if _dask.is_dask_frame(data):
        return _dask.fit("OLS", formula, data, request=request, pieces=_formula.split(formula, kind="ols"))
    prep = _prepare(_formula.split(formula, kind="ols"), data, list(request.clusters), [])
    model: Any = ordinata.OLS(fit_intercept=prep.intercept)
    _fit(model, formula, prep, _regressors(formula, prep), prep.y)
    n, k = prep.x.shape
    iid = np.asarray(model.covariance_matrix())
    params = _params(model, prep.intercept)
    resid = np.asarray(model.residuals) if request.kind == "iid" else _vcov.residuals(prep.x, prep.y, params)
    cov, df = _old_covariance(request, iid=iid, factor=lambda _: _vcov.Factor.from_design(prep.x),
                          resid=resid, df_k=k, df_resid=n - k, frame=prep.frame)
    return _finish("OLS", formula, prep, prep.names, params, cov, df, request, model, n - k,
                   model.r_squared, model.r_squared_adj, _state(prep))


def wls(formula: str, data: Any, *, weights: str, vcov: VcovArg = "iid") -> Results:
    """Weighted least squares with the weights in column `weights` (inverse variances);
    covariance types as ols, on the whitened design and residuals as statsmodels' WLS."""
    request = _covariance.parse(vcov, allowed=_ALL, model="wls")
    if not isinstance(weights, str):
        raise TypeError(f"weights must be the name of a column, not {type(weights).__name__}")
    if _dask.is_dask_frame(data):
        return _dask.fit("WLS", formula, data, request=request, pieces=_formula.split(formula, kind="wls"),
                         weights=weights)
    prep = _prepare(_formula.split(formula, kind="wls"), data, [weights, *request.clusters], [])
    column = prep.frame[weights]
    if not _formula._numeric(column):
        raise ValueError(f"weights column {weights!r} is not numeric (dtype {column.dtype})")
    w = np.ascontiguousarray(column.to_numpy(dtype=np.float64))
    model: Any = ordinata.WLS(fit_intercept=prep.intercept)
    _fit(model, formula, prep, _regressors(formula, prep), prep.y, w)
    n, k = prep.x.shape
    root = np.sqrt(w)
    params = _params(model, prep.intercept)
    ew = _vcov.residuals(prep.x, prep.y, params, w) * root
    factor = _vcov.Factor.from_design(prep.x, root)
    iid = factor.bread * (ew @ ew / (n - k))
    cov, df = _old_covariance(request, iid=iid, factor=lambda _: factor, resid=ew, df_k=k, df_resid=n - k,
                          frame=prep.frame)
    return _finish("WLS", formula, prep, prep.names, params, cov, df, request, model, n - k,
                   model.r_squared, model.r_squared_adj, _state(prep))


def ridge(formula: str, data: Any, *, alpha: float = 1.0) -> Results:
    """Ridge regression, the intercept unpenalised; classical covariance mse (X'X + alpha I)^-1."""
    request = _covariance.VcovRequest("iid")
    if _dask.is_dask_frame(data):
        ordinata.Ridge(alpha=alpha)   # the same checks of alpha
        return _dask.fit("Ridge", formula, data, request=request, pieces=_formula.split(formula, kind="ridge"),
                         alpha=float(alpha))
    prep = _prepare(_formula.split(formula, kind="ridge"), data, [], [])
    model: Any = ordinata.Ridge(alpha=alpha, fit_intercept=prep.intercept)
    _fit(model, formula, prep, _regressors(formula, prep), prep.y)
    n, k = prep.x.shape
    cov = np.asarray(model.covariance_matrix())
    return _finish("Ridge", formula, prep, prep.names, _params(model, prep.intercept), cov, float(n - k), request,
                   model, n - k, model.r_squared, model.r_squared_adj, _state(prep))


def gls(formula: str, data: Any, *, sigma: Any) -> Results:
    """Generalised least squares with error covariance `sigma`, an (n, n) array over the
    table's rows (rows dropped for missing values are dropped from it too)."""
    request = _covariance.VcovRequest("iid")
    prep = _prepare(_formula.split(formula, kind="gls"), data, [], [])
    sigma = np.asarray(sigma, dtype=np.float64)
    total = prep.total
    if sigma.shape != (total, total):
        raise ValueError(f"sigma must be ({total}, {total}), one row and column per row of data, not {sigma.shape}")
    if len(prep.rows) < total:
        sigma = sigma[np.ix_(prep.rows, prep.rows)]
    model: Any = ordinata.GLS(fit_intercept=prep.intercept)
    _fit(model, formula, prep, _regressors(formula, prep), prep.y, sigma)
    n, k = prep.x.shape
    # The whitened design, for the full covariance matrix the native class does not return.
    lower = np.linalg.cholesky(np.asarray(sigma, dtype=np.float64))
    cov = _vcov.Factor.from_design(np.linalg.solve(lower, prep.x)).bread * model.mse
    return _finish("GLS", formula, prep, prep.names, _params(model, prep.intercept), cov, float(n - k), request,
                   model, n - k, model.r_squared, model.r_squared_adj, _state(prep))


def iv(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Instrumental variables, exactly identified: 'y ~ exog + [endog ~ instruments]' with
    as many instruments as endogenous regressors. vcov "iid", "HC0", "HC1" or CRV1."""
    return _instrumental("IV", formula, data, vcov)


def tsls(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Two-stage least squares: 'y ~ exog + [endog ~ instruments]', at least as many
    instruments as endogenous regressors. vcov "iid", "HC0", "HC1" or CRV1."""
    return _instrumental("TSLS", formula, data, vcov)


def _instrumental(name: str, formula: str, data: Any, vcov: VcovArg) -> Results:
    request = _covariance.parse(vcov, allowed=_HC01, model=name.lower())
    pieces = _formula.split(formula, kind="iv")
    assert pieces.endog is not None and pieces.instr is not None
    if _dask.is_dask_frame(data):
        return _dask.fit(name, formula, data, request=request, pieces=pieces)
    prep = _prepare(pieces, data, list(request.clusters), [pieces.endog, pieces.instr])
    endog, instr = prep.extra
    _formula.check_identified(name, endog.names, instr.names)
    w, e_x, z_x, y = prep.x, endog.values, instr.values, prep.y
    w_slopes = _slopes(prep)
    if name == "IV":
        model: Any = ordinata.IV(fit_intercept=prep.intercept)
        _fit(model, formula, prep, np.hstack([w_slopes, z_x]), np.hstack([w_slopes, e_x]), y)
    else:
        model = ordinata.TSLS(fit_intercept=prep.intercept)
        _fit(model, formula, prep, np.hstack([w, z_x]), np.hstack([w_slopes, e_x]), y)
    x = np.hstack([w, e_x])
    z = np.hstack([w, z_x])
    # After the native fit, whose own message stands where it refuses the design.
    _check_instrument_rank(prep.names, instr.names, z)
    n, k = x.shape
    factor_z = _vcov.Factor.from_design(z)
    # The exogenous columns are among the instruments: their projection is themselves, exactly (a
    # projection formed in floating point moves them by an ulp, which a near-collinear design
    # carries into the errors like its condition number).
    x_hat = np.hstack([w, factor_z.project(e_x)])
    factor = _vcov.Factor.from_design(x_hat)
    params = _params(model, prep.intercept)
    resid = _vcov.residuals(x, y, params)
    iid = factor.bread * (resid @ resid / (n - k))
    cov, df = _old_covariance(request, iid=iid, factor=lambda _: factor, resid=resid, df_k=k, df_resid=n - k,
                          frame=prep.frame)
    names = prep.names + endog.names
    diagnostics = _iv_diagnostics(request, prep.frame, w, e_x, z_x, factor_z, y, resid, endog.names)
    state = _state(prep, endog.encoding)
    return _finish(name, formula, prep, names, params, cov, df, request, model, n - k,
                   model.r_squared, model.r_squared_adj, state, **diagnostics)


def _check_instrument_rank(exog: list[str], excluded: list[str], z: np.ndarray) -> None:
    """Instruments of full column rank, else a refusal that names the dependent ones:
    with a direction of Z missing, the projection, the first-stage F, Sargan and
    Wu-Hausman all take whatever the rounding leaves in it."""
    repeated = [name for name in excluded if name in exog]
    if repeated:
        these = "instrument {} is an exogenous regressor" if len(repeated) == 1 else "instruments {} are exogenous regressors"
        raise ValueError(f"the {these.format(', '.join(map(repr, repeated)))} too: "
                         "the regressors outside the brackets are their own instruments; "
                         "list only the excluded instruments inside them")
    norms = np.linalg.norm(z, axis=0)
    norms[norms == 0] = 1.0
    # The singular values of Z (columns scaled to unit length) from its R factor:
    # exact dependence leaves one at the rounding level, cond 1e6 leaves 1e-6.
    _, s, vt = np.linalg.svd(np.linalg.qr(z / norms, mode="r"))
    tol = s[0] * max(z.shape) * np.finfo(np.float64).eps
    if s[-1] > tol:
        return
    names = exog + excluded
    direction = np.abs(vt[-1])
    involved = [names[j] for j in np.flatnonzero(direction > 1e-6 * direction.max())]
    raise ValueError(f"the instruments are collinear (rank {int(np.sum(s > tol))} of {z.shape[1]}): "
                     f"{', '.join(involved)} are linearly dependent; drop one of them")


def _iv_diagnostics(request: _covariance.VcovRequest, frame: pd.DataFrame, w: np.ndarray, e_x: np.ndarray,
                    z_x: np.ndarray, factor_z: _vcov.Factor, y: np.ndarray, resid: np.ndarray,
                    endog_names: list[str]) -> dict[str, Any]:
    """First-stage strength, Sargan and Wu-Hausman, as linearmodels' IV2SLS reports them."""
    n, kw = w.shape
    ke, kz = e_x.shape[1], z_x.shape[1]
    kfirst = kw + kz
    factor_w = _vcov.Factor.from_design(w) if kw else None
    ez = factor_w.residual(z_x) if factor_w else z_x
    factor_ez = _vcov.Factor.from_design(ez)
    bread_z = factor_z.bread
    rows = []
    for j in range(ke):
        target = e_x[:, j]
        ey = factor_w.residual(target) if factor_w else target
        partial = 1.0 - float(np.sum(factor_ez.residual(ey) ** 2) / np.sum(ey**2))
        gamma = factor_z.left @ (factor_z.design.T @ target)
        u = factor_z.residual(target)
        iid = bread_z * (u @ u / (n - kfirst))
        cov, _ = _old_covariance(request, iid=iid, factor=lambda _: factor_z, resid=u, df_k=kfirst,
                             df_resid=n - kfirst, frame=frame)
        b = gamma[-kz:]
        stat = float(b @ np.linalg.solve(cov[-kz:, -kz:], b))
        if request.kind == "iid":
            stat /= kz
            pvalue = _native.f_sf(stat, kz, n - kfirst)
        else:
            pvalue = _native.chi2_sf(stat, kz)
        rows.append((partial, stat, pvalue))
    first_stage = pd.DataFrame(rows, index=pd.Index(endog_names), columns=["partial_r2", "f_stat", "f_pvalue"])

    sargan = None
    if kz > ke:
        u = factor_z.residual(resid)
        stat = float(n * (1.0 - (u @ u) / (resid @ resid)))
        sargan = TestResult(stat, float(kz - ke), _native.chi2_sf(stat, kz - ke), "chi2")

    e0 = _vcov.Factor.from_design(np.hstack([w, e_x])).residual(y)
    e1 = _vcov.Factor.from_design(np.hstack([w, z_x, e_x])).project(e0)
    e2 = factor_z.project(resid)
    delta = float(e1 @ e1 - e2 @ e2)
    df_denom = n - kw - ke - ke
    stat = (delta / ke) / ((float(e0 @ e0) - delta) / df_denom)
    wu = TestResult(stat, (float(ke), float(df_denom)), _native.f_sf(stat, ke, df_denom), "F")
    return {"first_stage": first_stage, "sargan": sargan, "wu_hausman": wu}


def fe(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Fixed effects (within) with one intercept per entity: 'y ~ x1 + x2 | entity'.
    vcov "iid", "HC0", "HC1" or {"CRV1": ...}. Singleton entities are kept."""
    request = _covariance.parse(vcov, allowed=_HC01, model="fe")
    pieces = _formula.split(formula, kind="fe")
    if _dask.is_dask_frame(data):
        return _dask.fit("FE", formula, data, request=request, pieces=pieces)
    entity_name = pieces.entity
    assert entity_name is not None
    # The intercept is there while the design is built, so that categorical terms
    # drop a level, and is then left to the entity effects.
    pieces = _formula.Pieces(lhs=pieces.lhs, rhs=f"{pieces.rhs} + 1", entity=entity_name)
    prep = _prepare(pieces, data, [entity_name, *request.clusters], [])
    x = prep.x[:, 1:]
    names = prep.names[1:]
    if not names:
        raise ValueError(f"formula {formula!r} has no regressor besides the entity effects")
    entity, levels = pd.factorize(prep.frame[entity_name], sort=False)
    entity = entity.astype(np.int64)
    model: Any = ordinata.FE()
    _fit(model, formula, prep, x, prep.y, entity)
    n, k = x.shape
    groups = int(model.n_entities)
    iid = np.asarray(model.covariance_matrix())
    bread = iid / model.mse if model.mse > 0 else np.linalg.pinv(x.T @ x)

    def factor(within: bool) -> _vcov.Factor:
        if not within:
            return _vcov.Factor(bread, x, None, bread)
        counts = np.bincount(entity, minlength=groups).astype(np.float64)
        return _vcov.Factor(bread, x - (_vcov.group_sums(x, entity) / counts[:, None])[entity], None, bread)

    df_resid = n - k - groups
    cov, df = _old_covariance(request, iid=iid, factor=factor, resid=np.asarray(model.residuals),
                          df_k=k + groups, df_resid=df_resid, frame=prep.frame, entity=entity)
    r2 = float(model.r_squared)
    r2_adj = 1.0 - (1.0 - r2) * (n - 1) / df_resid if df_resid > 0 else float("nan")
    state = _state(prep, entity=entity_name, entity_levels=tuple(levels), fixed_effects=np.asarray(model.fixed_effects))
    return _finish("FE", formula, prep, names, np.asarray(model.coefficients), cov, df, request, model, df_resid,
                   r2, r2_adj, state)

"""The seven formula-first functions: the arguments read and checked, the source
picked (a dask frame's partitions, else the table in memory) and the fit handed
to the pipeline."""

from __future__ import annotations

from dataclasses import dataclass
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

import ordinata
from ordinata_frames import _covariance, _dask, _data, _formula, _pipeline, _vcov
from ordinata_frames._results import PredictState, Results

VcovArg = str | dict[str, str]

_ALL = ("iid", *_covariance.HC_TYPES, "CRV1")
_HC01 = ("iid", "HC0", "HC1", "CRV1")


def _source(data: Any, pieces: _formula.Pieces, extra_columns: list[str]) -> tuple[Any, _formula.Pieces, dict[str, str]]:
    if _dask.is_dask_frame(data):
        return _dask.Partitioned(data), pieces, {}
    return _pipeline.in_memory(data, pieces, extra_columns)


def ols(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Ordinary least squares; vcov "iid", "HC0".."HC3" or {"CRV1": "g"} / {"CRV1": "g1 + g2"}."""
    request = _covariance.parse(vcov, allowed=_ALL, model="ols")
    source, pieces, lags = _source(data, _formula.split(formula, kind="ols"), list(request.clusters))
    return _pipeline.fit("OLS", formula, source, request=request, pieces=pieces, lags=lags)


def wls(formula: str, data: Any, *, weights: str, vcov: VcovArg = "iid") -> Results:
    """Weighted least squares with the weights in column `weights` (inverse variances);
    covariance types as ols, on the whitened design and residuals as statsmodels' WLS."""
    request = _covariance.parse(vcov, allowed=_ALL, model="wls")
    if not isinstance(weights, str):
        raise TypeError(f"weights must be the name of a column, not {type(weights).__name__}")
    source, pieces, lags = _source(data, _formula.split(formula, kind="wls"), [weights, *request.clusters])
    return _pipeline.fit("WLS", formula, source, request=request, pieces=pieces, weights=weights, lags=lags)


def ridge(formula: str, data: Any, *, alpha: float = 1.0) -> Results:
    """Ridge regression, the intercept unpenalised; classical covariance mse (X'X + alpha I)^-1."""
    request = _covariance.VcovRequest("iid")
    ordinata.Ridge(alpha=alpha)   # the native class's checks of alpha
    source, pieces, lags = _source(data, _formula.split(formula, kind="ridge"), [])
    return _pipeline.fit("Ridge", formula, source, request=request, pieces=pieces, alpha=float(alpha), lags=lags)


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
    source, pieces, lags = _source(data, _formula.split(formula, kind="iv"), list(request.clusters))
    return _pipeline.fit(name, formula, source, request=request, pieces=pieces, lags=lags)


def fe(formula: str, data: Any, *, vcov: VcovArg = "iid") -> Results:
    """Fixed effects (within) with one intercept per entity: 'y ~ x1 + x2 | entity'.
    vcov "iid", "HC0", "HC1" or {"CRV1": ...}. Singleton entities are kept."""
    request = _covariance.parse(vcov, allowed=_HC01, model="fe")
    pieces = _formula.split(formula, kind="fe")
    assert pieces.entity is not None
    source, pieces, lags = _source(data, pieces, [pieces.entity, *request.clusters])
    return _pipeline.fit_fe(formula, source, request=request, pieces=pieces, lags=lags)

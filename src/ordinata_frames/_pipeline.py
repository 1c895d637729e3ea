"""One fit for every table: plan, design per block, the native moments pass, the
pairwise merge, the solve, the pass over the residuals for what needs them
(the robust and clustered meats, the cluster score sums, the report's residual
diagnostics) and the results. A source says where the blocks are: in memory
(`InMemory`, whose blocks are slices of the caller's table, run here at once)
or a dask frame's partitions (`_dask.Partitioned`, which builds and computes
a graph of the same block functions and merges)."""

from __future__ import annotations

import functools
from collections.abc import Callable
from dataclasses import dataclass, replace
from enum import IntEnum
from typing import Any

import numpy as np
import pandas as pd

from ordinata_frames import _absorb, _absorb_levels, _covariance, _data, _formula, _linalg, _native, _passes, _plan
from ordinata_frames._passes import Moments, Pass, Stats, Sums
from ordinata_frames._plan import Plan
from ordinata_frames._report import TITLES, Deferred, ReportStats
from ordinata_frames._results import AbsorbedEffects, PredictState, Refit, Results, TestResult

# A block's formulaic design holds at most about this many cells (256 MiB): a table whose
# design would be larger is fitted block by block, so that it never stands whole in memory.
BLOCK_CELLS = 1 << 25


class InMemory:
    """A pandas frame of the columns read; its blocks are row slices of it (views)."""

    whole_columns = True        # terms that need the whole column are built on it, as one block
    partitions: int | None = None
    eager = False               # the report's residual diagnostics wait for the first rendering

    def __init__(self, frame: pd.DataFrame):
        self.frame = frame
        self.meta = frame.iloc[:0]
        self._rows = max(len(frame), 1)

    def sized(self, plan: Plan) -> None:
        """Blocks whose design stays under BLOCK_CELLS: one when the columns are taken as they
        are (no design is built) or when a term needs the whole column."""
        if plan.direct is None and plan.rowwise:
            self._rows = max(1, BLOCK_CELLS // plan.width)

    def blocks(self) -> list[pd.DataFrame]:
        n = len(self.frame)
        return [self.frame.iloc[i: i + self._rows] for i in range(0, max(n, 1), self._rows)]

    def reduce(self, columns: list[str], block: Callable[..., Any], merge: Callable[[Any, Any], Any],
               *args: Any, run: int = 1) -> Any:
        return _passes.tree([block(part, *args) for part in self.blocks()], merge, run)

    def share(self, value: Any) -> Any:
        return value


def in_memory(data: Any, pieces: _formula.Pieces, extra_columns: list[str]
              ) -> tuple[InMemory, _formula.Pieces, dict[str, str]]:
    """The source of a caller's table, with lag() taken on its rows in their order
    before any is dropped (its columns named as the lags, the formula's pieces
    reading them), as pandas' shift on the whole frame and then dropna."""
    formulas = [f for f in (pieces.endog, pieces.instr) if f]
    read = _formula.used_columns(f"{pieces.lhs} ~ {pieces.rhs}", formulas, extra_columns)
    lags: dict[str, str] = {}
    def lagged(f: str | None) -> str | None:
        return None if f is None else _formula.take_lags(f, lags)

    taken = replace(pieces, lhs=_formula.take_lags(pieces.lhs, lags), rhs=_formula.take_lags(pieces.rhs, lags),
                    endog=lagged(pieces.endog), instr=lagged(pieces.instr))
    frame = _data._as_pandas(data, read, "data")
    if lags:
        frame = _formula.add_lags(frame, lags)
    return InMemory(frame), taken, lags


# ---------------------------------------------------------------------------
# The solve.

def _arr(b: bytes, *shape: int) -> np.ndarray:
    return np.frombuffer(b, dtype=np.float64).reshape(shape).copy()


@dataclass
class Fit:
    beta: np.ndarray
    inverse: np.ndarray
    ssr: float
    tss: float
    residual_weights: np.ndarray
    scores: np.ndarray
    left: np.ndarray
    design_factor: np.ndarray
    score_gram: bool

    @classmethod
    def solve(cls, moments: Moments, kind: Kind, *, k: int, c: int, q: int = 0,
              raw: np.ndarray | None = None, alpha: float = 0.0, kw: int = 0, kz: int = 0, ke: int = 0) -> Fit:
        s = _native.solve_moments(moments.native, kind, q, raw, alpha, kw, kz, ke)
        if s.get("needs_exact"):
            raise _NeedsExact
        ks = k - (1 if moments.intercept else 0)
        return cls(_arr(s["beta"], k), _arr(s["inverse"], k, k), s["ssr"], s["tss"],
                   _arr(s["residual_weights"], c), _arr(s["scores"], ks, c), _arr(s["left"], k, k),
                   _arr(s["design_factor"], k, k), s["score_gram"])


class Kind(IntEnum):
    """The fit the native solve makes of the moments: its route policy and its refusals."""

    OLS = 0
    WLS = 1
    RIDGE = 2
    FE = 3
    IV = 4
    TSLS = 5


class _NeedsExact(Exception):
    """The merged moments hold R factors from Gram matrices and the design is too ill-conditioned
    for them: the first pass is to be made again from the rows' QR."""


def _solved[T](first_pass: Callable[[bool], Stats], solve: Callable[[Moments], T]) -> tuple[Stats, T]:
    """The solve of the merged moments; where the solve finds the fast pass's moments too poorly
    conditioned for the design, the pass is made again exactly and solved again."""
    stats = first_pass(False)
    assert stats.moments is not None
    try:
        return stats, solve(stats.moments)
    except _NeedsExact:
        stats = first_pass(True)
        assert stats.moments is not None
        return stats, solve(stats.moments)


def _r2(ssr: float, tss: float, clamp: bool) -> float:
    if not abs(tss) > 0.0:
        return 0.0
    r2 = 1.0 - ssr / tss
    return min(max(r2, -1.0), 1.0) if clamp else r2


def _message(error: Exception, formula: str, plan: Plan) -> Exception:
    names = list(plan.names) + [n for e in plan.extra_names for n in e]
    if isinstance(error, _passes.NotFinite):
        return ValueError(f"{error.args[0]} (fitting {formula!r}; not finite: {error.args[1]})")
    return type(error)(f"{error} (fitting {formula!r}; terms {', '.join(names)})")


def _run(formula: str, plan: Plan, step: Callable[[], Any]) -> Any:
    """A pass or a solve, its refusal worded with the formula and its terms."""
    try:
        return step()
    except (ValueError, RuntimeError) as error:
        raise _message(error, formula, plan) from error


def _report(source: Any, stats: ReportStats, residuals: Callable[[], Any] | None
            ) -> ReportStats | Callable[[], ReportStats]:
    """The report's figures; its residual diagnostics taken now on dask (the results are to be
    read and pickled without the data), on the first rendering in memory."""
    if residuals is None:
        return stats
    if source.eager:
        return replace(stats, residual_sums=residuals())
    return Deferred(stats, residuals)


def _results(source: Any, model: str, formula: str, plan: Plan, names: list[str], fit: Fit, *, cov: np.ndarray,
             df: float, n: int, df_resid: int, dropped: int, r2: float, r2_adj: float, mse: float,
             request: _covariance.VcovRequest, state: PredictState, report: ReportStats | Callable[[], ReportStats],
             family: _covariance.Covariance | None = None, weights: str | None = None,
             centre: np.ndarray | None = None, absorbing: tuple[tuple[tuple[str, ...], ...], AbsorbOptions] | None = None,
             **diagnostics: Any) -> Results:
    label = family.label() if family is not None else request.label
    per_term = family.df_per_term if family is not None else None
    refit = Refit(weights, request.clusters, None if centre is None else tuple(float(v) for v in centre))
    if absorbing is not None:
        factors, options = absorbing
        refit = replace(refit, factors=factors, drop_singletons=options.drop_singletons, tol=options.tol,
                        max_iterations=options.max_iterations)
    return Results(model=model, formula=formula, dependent=plan.dependent, names=tuple(names), params=fit.beta,
                   cov=cov, df_inference=df, nobs=n, df_resid=df_resid, r_squared=float(r2),
                   r_squared_adj=float(r2_adj), mse=float(mse), vcov_type=label, dropped_rows=dropped,
                   predict_state=state, _report_stats=report, refit=refit,
                   df_per_term=None if per_term is None else tuple(float(v) for v in per_term), **diagnostics)


def _check_regressors(formula: str, plan: Plan) -> None:
    """The native solve takes at least one slope."""
    if len(plan.names) - (1 if plan.intercept else 0) == 0 and not plan.instrumental:
        if not plan.intercept:
            raise ValueError(f"formula {formula!r} has no regressor")
        raise ValueError(f"formula {formula!r} has no regressor besides the intercept: the estimators fit at least "
                         f"one slope (the intercept alone is the mean of {plan.dependent!r})")


def _unweighted_ssr(plain: Moments, weighted: Moments, f: Fit) -> float:
    """sum e_i^2 of a weighted fit from the unweighted moments: the centred part plus n
    times the residuals' unweighted mean, formed from the means' small offsets."""
    v = f.residual_weights
    rv = plain.r @ v
    shift = 0.0
    if plain.intercept:
        delta = (plain.pivot - weighted.pivot) + (plain.mean - weighted.mean)
        shift = float(delta @ v)
    return float(rv @ rv) + plain.n * shift * shift


# ---------------------------------------------------------------------------
# OLS, WLS, Ridge, IV and TSLS.

def fit(model: str, formula: str, source: Any, *, request: _covariance.VcovRequest, pieces: _formula.Pieces,
        weights: str | None = None, alpha: float = 0.0, lags: dict[str, str] | None = None) -> Results:
    """A fit of model OLS, WLS, Ridge, IV or TSLS."""
    extra = [pieces.endog, pieces.instr] if pieces.endog and pieces.instr else []
    columns = ([weights] if weights else []) + list(request.clusters)
    plan = _plan.build(source, pieces, columns, extra, weights, drop_leading=False, lags=lags)
    if weights is not None and not _formula._numeric(source.meta[weights]):
        raise ValueError(f"weights column {weights!r} is not numeric (dtype {source.meta[weights].dtype})")
    _check_regressors(formula, plan)
    kw = kz = ke = 0
    if plan.instrumental:
        kw = len(plan.names) - (1 if plan.intercept else 0)
        ke, kz = len(plan.extra_names[0]), len(plan.extra_names[1])
        _formula.check_identified(model, list(plan.extra_names[0]), list(plan.extra_names[1]))
        _check_repeated(list(plan.names), list(plan.extra_names[1]))
    sized = getattr(source, "sized", None)
    if sized is not None:
        sized(plan)
    k = len(plan.names) + (len(plan.extra_names[0]) if plan.instrumental else 0)
    c = plan.width
    columns_read = list(plan.columns)

    def first_pass(exact: bool) -> Stats:
        stats: Stats = _run(formula, plan, lambda: source.reduce(columns_read, _passes.block_moments,
                                                                 _passes.merge_stats, plan, exact))
        if stats.rows == 0:
            raise _plan.no_rows(_plan.seen(source, columns_read, [], []), columns_read)
        if stats.rows <= k:
            raise _message(ValueError("Insufficient degrees of freedom for covariance estimation"
                                      if plan.instrumental else "Insufficient samples for the number of parameters"),
                           formula, plan)
        return stats

    family = request.family

    def solve(m: Moments) -> tuple[Fit, list[Fit]]:
        f = _run(formula, plan, lambda: Fit.solve(m, Kind[model.upper()], k=k, c=c, alpha=alpha, kw=kw, kz=kz, ke=ke))
        if not (plan.instrumental and family.residual_pass):
            return f, []
        return f, [_first_stage_fit(m, kw + kz, kw + kz + j) for j in range(ke)]

    stats, (f, first_stage_fits) = _solved(first_pass, solve)
    moments = stats.moments
    assert moments is not None
    n = stats.rows
    if plan.instrumental:
        _check_instrument_rank(moments, list(plan.names), list(plan.extra_names[1]), kw, plan.intercept)
    tss = f.tss if plan.intercept else stats.target[2]
    r2 = _r2(f.ssr, tss, model in ("OLS", "Ridge"))
    mse = f.ssr / (n - k)
    # WLS reports the unweighted residual mean square, as statsmodels does.
    reported_mse = _unweighted_ssr(stats.plain, moments, f) / (n - k) if stats.plain else mse
    r2_adj = 1.0 - (1.0 - r2) * (n - 1) / (n - k)
    diagnostics = model in ("OLS", "Ridge")

    def second_pass(residual_sums: bool, leverage: int) -> Sums:
        p = Pass(pivot=moments.pivot, mean=moments.mean, intercept=plan.intercept, total_weight=moments.weight,
                 residual_weights=f.residual_weights, scores=f.scores, leverage_power=leverage,
                 clusters=request.clusters, residual_sums=residual_sums, score_gram=f.score_gram,
                 first_stage=tuple((_embed(g.residual_weights, c, kw + kz, kw + kz + j),
                                    _embed_scores(g.scores, c, kw + kz), g.score_gram)
                                   for j, g in enumerate(first_stage_fits)),
                 complete=stats.dropped == 0, cluster_grams=family.cluster_grams)
        sums: Sums = _run(formula, plan, lambda: source.reduce(columns_read, _passes.block_sums, _passes.merge_sums,
                                                               plan, p))
        return sums

    cov, df = _covariance.IID.classical(f.inverse, mse, n - k)
    sums = None
    if family.residual_pass:
        sums = second_pass(diagnostics, family.leverage_power)
        cov, df = family.covariance(f.left, sums, n=n, df_k=k, df_resid=n - k, names=request.clusters,
                                    weight=moments.weight, intercept=plan.intercept)
    residuals = None
    if diagnostics:
        residuals = (lambda: sums.residuals) if sums is not None else (lambda: second_pass(True, -1).residuals)
    title, method = TITLES[model]
    stats_report = ReportStats(title, method, n, k - (1 if plan.intercept else 0), plan.intercept, r2, reported_mse,
                               design_factor=f.design_factor if diagnostics else None, partitions=source.partitions)
    report = _report(source, stats_report, residuals)
    names = list(plan.names)
    encodings: tuple[Any, ...] = (plan.main.rhs,)
    extra_diag: dict[str, Any] = {}
    if plan.instrumental:
        names += list(plan.extra_names[0])
        encodings = (plan.main.rhs, plan.extras[0])
        extra_diag = _iv_diagnostics(request, moments, n, kw + (1 if plan.intercept else 0), kz, ke, f,
                                     first_stage_fits, sums, list(plan.extra_names[0]), plan.intercept)
    state = PredictState(encodings=encodings, lags=plan.lags)
    return _results(source, model, formula, plan, names, f, cov=cov, df=df, n=n, df_resid=n - k,
                    dropped=stats.dropped, r2=r2, r2_adj=r2_adj, mse=reported_mse,
                    request=request, state=state, report=report, family=family, weights=weights,
                    centre=moments.pivot + moments.mean if plan.intercept else None, **extra_diag)


# ---------------------------------------------------------------------------
# IV and TSLS: the first stages and the tests, from the R factor of the centred [W Z E y].

def _embed(weights: np.ndarray, c: int, z: int, target: int) -> np.ndarray:
    """A sub-fit's residual weights over [Z e_j] placed among all the columns."""
    out = np.zeros(c)
    out[:z] = weights[:z]
    out[target] = weights[z]
    return out


def _embed_scores(scores: np.ndarray, c: int, z: int) -> np.ndarray:
    out = np.zeros((scores.shape[0], c))
    out[:, :z] = scores[:, :z]
    return out


def _first_stage_fit(moments: Moments, z: int, target: int) -> Fit:
    sub = moments.columns([*range(z), target])
    k = z + (1 if moments.intercept else 0)
    return Fit.solve(sub, Kind.OLS, k=k, c=z + 1)


def _check_repeated(exog: list[str], excluded: list[str]) -> None:
    repeated = [name for name in excluded if name in exog]
    if repeated:
        these = "instrument {} is an exogenous regressor" if len(repeated) == 1 else "instruments {} are exogenous regressors"
        raise ValueError(f"the {these.format(', '.join(map(repr, repeated)))} too: "
                         "the regressors outside the brackets are their own instruments; "
                         "list only the excluded instruments inside them")


def _check_instrument_rank(moments: Moments, exog: list[str], excluded: list[str], kw: int, intercept: bool) -> None:
    """Instruments of full column rank, else a refusal that names the dependent ones:
    with a direction of Z missing, the projection, the first-stage F, Sargan and
    Wu-Hausman all take whatever the rounding leaves in it. The singular values of Z,
    its columns scaled to unit length, from its R factor: with an intercept, that of the
    centred columns bordered by sqrt(n) (1, m'), whose Gram matrix is Z'Z."""
    zc = kw + len(excluded)
    r = moments.r[:zc, :zc]
    if intercept:
        root = np.sqrt(moments.n)
        bordered = np.zeros((zc + 1, zc + 1))
        bordered[0, 0] = root
        bordered[0, 1:] = root * (moments.pivot[:zc] + moments.mean[:zc])
        bordered[1:, 1:] = r
        r = bordered
    norms = np.linalg.norm(r, axis=0)
    norms[norms == 0] = 1.0
    # Exact dependence leaves a singular value at the rounding level, cond 1e6 leaves 1e-6.
    s, vt = _linalg.singular(r / norms)
    tol = s[0] * max(moments.n, r.shape[1]) * np.finfo(np.float64).eps
    if s[-1] > tol:
        return
    names = exog + excluded
    direction = np.abs(vt[-1])
    involved = [names[j] for j in np.flatnonzero(direction > 1e-6 * direction.max())]
    raise ValueError(f"the instruments are collinear (rank {int(np.sum(s > tol))} of {r.shape[1]}): "
                     f"{', '.join(involved)} are linearly dependent; drop one of them")


def _iv_diagnostics(request: _covariance.VcovRequest, moments: Moments, n: int, kw: int, kz: int, ke: int, f: Fit,
                    first: list[Fit], sums: Sums | None, endog_names: list[str], intercept: bool) -> dict[str, Any]:
    """First-stage strength, Sargan and Wu-Hausman, as linearmodels' IV2SLS reports them
    (kw counts the intercept)."""
    r = moments.r
    kwd = kw - (1 if intercept else 0)        # W's data columns
    zc = kwd + kz                               # the instruments' columns in R
    kfirst = kw + kz
    family = request.family
    rows = []
    for j in range(ke):
        col = zc + j
        on_w = float(np.sum(r[kwd:, col] ** 2))
        on_z = float(np.sum(r[zc:, col] ** 2))
        partial = 1.0 - on_z / on_w
        if not family.residual_pass:
            stat = ((on_w - on_z) / kz) / (on_z / (n - kfirst))
            pvalue = _native.f_sf(stat, kz, n - kfirst)
        else:
            assert sums is not None
            g = first[j]
            cov, _ = family.covariance(g.left, sums.first_stage[j], n=n, df_k=kfirst, df_resid=n - kfirst,
                                       names=request.clusters, weight=moments.weight, intercept=intercept)
            b = g.beta[-kz:]
            stat = float(b @ _linalg.solve(cov[-kz:, -kz:], b))
            pvalue = _native.chi2_sf(stat, kz)
        rows.append((partial, stat, pvalue))
    first_stage = pd.DataFrame(rows, index=pd.Index(endog_names), columns=["partial_r2", "f_stat", "f_pvalue"])

    v = f.residual_weights
    rv = r @ v
    resid_ss = float(rv @ rv)
    projected = float(np.sum(rv[:zc] ** 2))       # ||P_Z e||^2
    sargan = None
    if kz > ke:
        stat = float(n * projected / resid_ss)
        sargan = TestResult(stat, float(kz - ke), _native.chi2_sf(stat, kz - ke), "chi2")
    # Columns [W E Z y]: y on [W E] leaves e0; its projection onto [W Z E] is what [W E Z] adds.
    order = [*range(kwd), *range(zc, zc + ke), *range(kwd, zc), zc + ke]
    r2 = _linalg.r_factor(r[:, order])
    e0 = float(np.sum(r2[kwd + ke:, -1] ** 2))
    rest = float(r2[-1, -1] ** 2) if r2.shape[0] == r2.shape[1] else 0.0
    delta = (e0 - rest) - projected
    df_denom = n - kw - ke - ke
    stat = (delta / ke) / ((e0 - delta) / df_denom)
    wu = TestResult(stat, (float(ke), float(df_denom)), _native.f_sf(stat, ke, df_denom), "F")
    return {"first_stage": first_stage, "sargan": sargan, "wu_hausman": wu}


# ---------------------------------------------------------------------------
# Fixed effects: the entity means first, the demeaned moments next.

def fit_fe(formula: str, source: Any, *, request: _covariance.VcovRequest, pieces: _formula.Pieces,
           lags: dict[str, str] | None = None) -> Results:
    entity = pieces.entity
    assert entity is not None
    # The intercept is there while the design is built, so that categorical terms
    # drop a level, and is then left to the entity effects.
    pieces = _formula.Pieces(lhs=pieces.lhs, rhs=f"{pieces.rhs} + 1", entity=entity)
    plan = _plan.build(source, pieces, [entity, *request.clusters], [], None, drop_leading=True, lags=lags)
    names = list(plan.names[1:])
    if not names:
        raise ValueError(f"formula {formula!r} has no regressor besides the entity effects")
    sized = getattr(source, "sized", None)
    if sized is not None:
        sized(plan)
    columns_read = list(plan.columns)
    ent: _passes.Entities = _run(formula, plan, lambda: source.reduce(
        columns_read, _passes.block_entities, _passes.merge_entities, plan, entity))
    n, k, groups = ent.rows, len(names), len(ent.keys)
    if n == 0:
        raise _plan.no_rows(_plan.seen(source, columns_read, [], []), columns_read)
    if groups >= n:
        raise _message(ValueError("Insufficient degrees of freedom: number of entities must be less than number of "
                                  "observations"), formula, plan)
    if n <= k + groups:
        raise _message(ValueError("Insufficient degrees of freedom for Fixed Effects estimation"), formula, plan)
    keys, means = ent.keys, ent.means
    # Ship the entity table once, not with every task.
    keys_d, means_d = source.share(keys), source.share(means)
    c = k + 1

    def first_pass(exact: bool) -> Stats:
        within: Stats = _run(formula, plan, lambda: source.reduce(
            columns_read, _passes.block_within, _passes.merge_stats, plan, entity, keys_d, means_d, exact,
            ent.dropped == 0))
        return within

    def solve(m: Moments) -> Fit:
        fit: Fit = _run(formula, plan, lambda: Fit.solve(m, Kind.FE, k=k, c=c, q=k + groups, raw=np.sqrt(ent.raw_sq)))
        return fit

    _within, f = _solved(first_pass, solve)
    df_resid = n - k - groups
    mse = f.ssr / df_resid
    y_mean = float(ent.counts @ ent.means[:, -1] / n)
    tss = f.tss + float(ent.counts @ (ent.means[:, -1] - y_mean) ** 2)
    r2 = _r2(f.ssr, tss, True)
    within_r2 = _r2(f.ssr, f.tss, True)
    r2_adj = 1.0 - (1.0 - r2) * (n - 1) / df_resid if df_resid > 0 else float("nan")
    zeros = np.zeros(c)

    def second_pass(residual_sums: bool, leverage: int) -> Sums:
        p = Pass(pivot=zeros, mean=zeros, intercept=False, total_weight=float(n), residual_weights=f.residual_weights,
                 scores=f.scores, leverage_power=leverage, clusters=request.clusters, residual_sums=residual_sums,
                 score_gram=f.score_gram, entity=entity, entity_keys=keys, entity_means=means,
                 complete=ent.dropped == 0, cluster_grams=family.cluster_grams)
        sums: Sums = _run(formula, plan, lambda: source.reduce(columns_read, _passes.block_sums, _passes.merge_sums,
                                                               plan, p))
        return sums

    family = request.family
    cov, df = _covariance.IID.classical(f.inverse, mse, df_resid)
    sums = None
    if family.residual_pass:
        sums = second_pass(True, family.leverage_power)
        df_k = family.parameters(k, groups, sums)
        cov, df = family.covariance(f.left, sums, n=n, df_k=df_k, df_resid=df_resid, names=request.clusters)
    residuals = (lambda: sums.residuals) if sums is not None else (lambda: second_pass(True, -1).residuals)
    title, method = TITLES["FE"]
    report = _report(source, ReportStats(title, method, n, k, False, r2, mse, design_factor=f.design_factor,
                                         within_r_squared=within_r2, partitions=source.partitions), residuals)
    fixed_effects = means[:, -1] - means[:, :-1] @ f.beta
    state = PredictState(encodings=(plan.main.rhs,), entity=entity, entity_levels=tuple(keys),
                         fixed_effects=fixed_effects, lags=plan.lags)
    return _results(source, "FE", formula, plan, names, f, cov=cov, df=df, n=n, df_resid=df_resid,
                    dropped=ent.dropped, r2=r2, r2_adj=r2_adj, mse=mse, request=request, state=state, report=report,
                    family=family, absorbed_df=groups)


# ---------------------------------------------------------------------------
# GLS, in memory only: Sigma couples every row, so the table is one block.

def fit_gls(formula: str, source: InMemory, *, pieces: _formula.Pieces, sigma: Any,
            lags: dict[str, str] | None = None) -> Results:
    """Least squares on L^-1 [X y], L the Cholesky factor of Sigma (factored once, for all
    the columns): the whitened intercept column is a column like the others."""
    request = _covariance.VcovRequest("iid")
    plan = _plan.build(source, pieces, [], [], None, drop_leading=False, lags=lags)
    _check_regressors(formula, plan)
    sigma = np.asarray(sigma, dtype=np.float64)
    total = len(source.frame)
    if sigma.shape != (total, total):
        raise ValueError(f"sigma must be ({total}, {total}), one row and column per row of data, not {sigma.shape}")
    d = _run(formula, plan, lambda: _passes.design(source.frame, plan))
    n, k = len(d.rows), len(plan.names)
    columns_read = list(plan.columns)
    if n == 0:
        raise _plan.no_rows(_plan.seen(source, columns_read, [], []), columns_read)
    _run(formula, plan, lambda: _passes.checked(_passes.moments, plan, d, d.a, None, False))
    if n <= k:
        raise _message(ValueError("Insufficient samples"), formula, plan)
    if len(d.rows) < total:
        sigma = sigma[np.ix_(d.rows, d.rows)]
    # With an intercept the columns are whitened about their means, L^-1 [1 | X - 1m' | y - m_y]: an
    # offset in a column (a date, a level) would otherwise enter the whitened columns along L^-1 1
    # and cancel there with its digits. The fit is taken back to the given columns by
    # T = [[1, -m'], [0, I]]: beta = T beta_c + m_y e_0, the inverse T A_c T', the design's factor R_c T^-1.
    centre = np.array([np.mean(column) for column in d.a]) if plan.intercept else np.zeros(k + 1)
    columns = [column - m for column, m in zip(d.a, centre)] if plan.intercept else d.a
    design = np.column_stack(([np.ones(n)] if plan.intercept else []) + columns)
    try:
        whitened = np.asfortranarray(_linalg.whiten(sigma, design))
    except (ValueError, RuntimeError) as error:
        raise _message(error, formula, plan) from None
    white = replace(plan, intercept=False, direct=None)
    a = [whitened[:, j] for j in range(k + 1)]
    # R-squared's total sum of squares is that of L^-1 y about its mean, the given target's.
    target = a[-1] + centre[-1] * a[0] if plan.intercept else a[-1]
    moments = _passes.moments(a, None, False, exact=True)
    stats = _passes.Stats(moments, rows=n, target=_passes.target_stats(target, None))
    f: Fit = _run(formula, plan, lambda: Fit.solve(moments, Kind.OLS, k=k, c=k + 1))
    if plan.intercept:
        t = np.eye(k)
        t[0, 1:] = -centre[:-1]
        t_inv = np.eye(k)
        t_inv[0, 1:] = centre[:-1]
        beta = t @ f.beta
        beta[0] += centre[-1]
        f = replace(f, beta=beta, inverse=t @ f.inverse @ t.T, design_factor=f.design_factor @ t_inv)
    mse = f.ssr / (n - k)
    r2 = _r2(f.ssr, stats.target[2], True)
    r2_adj = 1.0 - (1.0 - r2) * (n - 1) / (n - k)

    def residuals() -> Any:
        m = moments
        p = Pass(pivot=m.pivot, mean=m.mean, intercept=False, total_weight=m.weight,
                 residual_weights=f.residual_weights, scores=f.scores, leverage_power=-1, clusters=(),
                 residual_sums=True)
        whole = _passes.Design(a=a, w=None, frame=pd.DataFrame(index=range(n)), dropped=0, rows=d.rows)
        return _passes.sums_of(white, whole, p).residuals

    title, method = TITLES["GLS"]
    report = _report(source, ReportStats(title, method, n, k - (1 if plan.intercept else 0), plan.intercept, r2, mse,
                                         design_factor=f.design_factor, partitions=None), residuals)
    state = PredictState(encodings=(plan.main.rhs,), lags=plan.lags)
    cov, df = _covariance.IID.classical(f.inverse, mse, n - k)
    return _results(source, "GLS", formula, plan, list(plan.names), f, cov=cov, df=df, n=n,
                    df_resid=n - k, dropped=total - n, r2=r2, r2_adj=r2_adj, mse=mse, request=request, state=state,
                    report=report)


# ---------------------------------------------------------------------------
# Absorbed fixed effects, in memory: the block of columns [X y] projected off the factors'
# dummies natively, the projected columns then through the moments pass, the solve and the
# covariance as any fit, the absorbed levels counted in the degrees of freedom.

@dataclass(frozen=True)
class AbsorbOptions:
    weights: str | None = None
    drop_singletons: bool = False
    tol: float = 1e-8
    max_iterations: int = 10_000


def _within_refusal(formula: str, plan: Plan, factors: list[_absorb.Factor], totals: np.ndarray,
                    lefts: np.ndarray, tol: float) -> None:
    """A regressor left with (almost) nothing once the effects are absorbed is refused by name: what
    the solver leaves of it is then its tolerance, not its variation. From each column's centred
    length (totals) and its length once the effects are absorbed (lefts)."""
    instruments = set(plan.extra_names[1]) if plan.instrumental else set()
    for name, total, left in zip(plan.column_names[:-1], totals, lefts):
        if total == 0.0 or left <= 1e3 * max(tol, 1e-13) * total:
            effects = " + ".join(f.name for f in factors)
            role = "instrument" if name in instruments else "regressor"
            raise _message(ValueError(f"{role} {name!r} is collinear with the fixed effects {effects}: "
                                      f"it has no variation within them"), formula, plan)


def _absorbed_plan(formula: str, source: Any, pieces: _formula.Pieces, request: _covariance.VcovRequest,
                   options: AbsorbOptions, lags: dict[str, str] | None
                   ) -> tuple[_formula.Pieces, Plan, list[str], int, int, int]:
    """The plan of an absorbed fit: its pieces, plan, slope names and the instrumental counts kw, kz, ke."""
    factor_columns = list(dict.fromkeys(c for f in pieces.factors for c in f))
    pieces = replace(pieces, rhs=f"{pieces.rhs} + 1")
    extra = [*factor_columns, *([options.weights] if options.weights else []), *request.clusters]
    formulas = [pieces.endog, pieces.instr] if pieces.endog and pieces.instr else []
    plan = _plan.build(source, pieces, extra, formulas, options.weights, drop_leading=True, lags=lags)
    if options.weights is not None and not _formula._numeric(source.meta[options.weights]):
        raise ValueError(f"weights column {options.weights!r} is not numeric "
                         f"(dtype {source.meta[options.weights].dtype})")
    names = list(plan.names[1:])
    kw = len(names)
    kz = ke = 0
    if plan.instrumental:
        endogenous, excluded = list(plan.extra_names[0]), list(plan.extra_names[1])
        _formula.check_identified("TSLS", endogenous, excluded)
        _check_repeated(names, excluded)
        kz, ke = len(excluded), len(endogenous)
        names += endogenous
    if not names:
        raise ValueError(f"formula {formula!r} has no regressor besides the fixed effects")
    return pieces, plan, names, kw, kz, ke


def _check_rows_left(formula: str, n: int, singletons: int) -> None:
    if n == 0:
        raise ValueError(f"no rows left after dropping the {singletons} singleton rows (fitting {formula!r})")


def _check_degrees_of_freedom(formula: str, plan: Plan, n: int, k: int, absorbed: int) -> None:
    if n <= k + absorbed:
        raise _message(ValueError(f"Insufficient degrees of freedom: {n} rows for {k} slopes and {absorbed} "
                                  "absorbed levels"), formula, plan)


def fit_absorbed(formula: str, source: InMemory, *, request: _covariance.VcovRequest, pieces: _formula.Pieces,
                 options: AbsorbOptions, lags: dict[str, str] | None = None) -> Results:
    """A fit with the effects of one or more factors absorbed (weights, interactions, singletons)."""
    pieces, plan, names, kw, kz, ke = _absorbed_plan(formula, source, pieces, request, options, lags)
    columns_read = list(plan.columns)
    d = _run(formula, plan, lambda: _passes.design(source.frame, plan))
    if len(d.frame) == 0:
        raise _plan.no_rows(_plan.seen(source, columns_read, [], []), columns_read)
    factors = [_absorb.factor_of(d.frame, f) for f in pieces.factors]
    singletons = 0
    if options.drop_singletons:
        keep = _absorb.singleton_rows(factors)
        singletons = int(len(keep) - keep.sum())
        if singletons:
            factors = [_absorb.recoded(f, keep) for f in factors]
            d = _passes.Design(a=[col[keep] for col in d.a], w=None if d.w is None else d.w[keep],
                               frame=d.frame.loc[keep].reset_index(drop=True), dropped=d.dropped,
                               rows=d.rows[keep])
    n, k = len(d.frame), len(names)
    _check_rows_left(formula, n, singletons)
    absorbed = _absorb.absorbed_df(factors)
    _check_degrees_of_freedom(formula, plan, n, k, absorbed)
    demeaned: _absorb.Demeaned = _run(formula, plan, lambda: _passes.checked(
        _absorb.demean, plan, d, d.a, factors, d.w, tol=options.tol, max_iterations=options.max_iterations))
    # The given columns' centred lengths and means, as the solver found them: the totals of the
    # within check, the raw lengths of the rank decisions and the target's sum of squares.
    total_weight = float(n if d.w is None else d.w.sum())
    totals = np.sqrt(demeaned.square_sums)
    raw_lengths = np.sqrt(demeaned.square_sums + total_weight * demeaned.means**2)
    a = list(demeaned.columns)
    whole = _passes.Design(a=a, w=d.w, frame=d.frame, dropped=d.dropped, rows=d.rows)

    def moments(exact: bool) -> Stats:
        return Stats(_passes.moments(a, d.w, False, exact=exact), rows=n, dropped=d.dropped)

    rows = AbsorbedRows(
        n=n, dropped=d.dropped, singletons=singletons, absorbed=absorbed, factors=factors, totals=totals,
        raw_lengths=raw_lengths, total_weight=total_weight, moments=moments,
        sums=lambda p: _passes.sums_of(plan, whole, p),
        crv_parameters=lambda k: _absorb.crv_parameters(k, absorbed, factors, d.frame, request.clusters),
        column_effects=demeaned.effects, solver=demeaned.solver)
    return _absorbed_results(formula, source, pieces, plan, names, (kw, kz, ke), request, options, rows)


@dataclass(frozen=True)
class AbsorbedRows:
    """What an absorbed fit needs of its rows once the effects are solved, however the rows are held."""

    n: int
    dropped: int                            # rows with missing values
    singletons: int                         # rows of singleton levels dropped
    absorbed: int                           # the rank of the factors' dummies
    factors: list[_absorb.Factor]
    totals: np.ndarray                      # each given column's centred length, y last
    raw_lengths: np.ndarray                 # and its raw length (the rank decisions' scale)
    total_weight: float
    moments: Callable[[bool], Stats]        # the moments pass over the demeaned rows (exact or fast)
    sums: Callable[[Pass], Sums]            # a pass over the demeaned rows and their residuals
    crv_parameters: Callable[[int], int]    # CRV1's parameter count for k slopes
    column_effects: np.ndarray              # each given column's effects on every level, its mean in the first
    solver: _absorb.SolverInfo
    linked: tuple[int, np.ndarray] | None = None   # two factors' components, where already known
    partitions: int | None = None


def _absorbed_results(formula: str, source: Any, pieces: _formula.Pieces, plan: Plan, names: list[str],
                      counts: tuple[int, int, int], request: _covariance.VcovRequest, options: AbsorbOptions,
                      rows: AbsorbedRows) -> Results:
    """An absorbed fit from its demeaned rows, in memory or on partitions: the within check, the
    solve, the covariance, the report and the effects of y - X beta."""
    kw, kz, ke = counts
    n, k, absorbed = rows.n, len(names), rows.absorbed
    c = len(rows.totals)
    kind = Kind.TSLS if plan.instrumental else Kind.FE

    def solve(m: Moments) -> Fit:
        fit: Fit = _run(formula, plan, lambda: Fit.solve(m, kind, k=k, c=c, q=k + absorbed, raw=rows.raw_lengths,
                                                         kw=kw if plan.instrumental else 0, kz=kz, ke=ke))
        return fit

    fast = _run(formula, plan, lambda: rows.moments(False))
    assert fast.moments is not None
    _within_refusal(formula, plan, rows.factors, rows.totals[:-1], np.linalg.norm(fast.moments.r, axis=0)[:-1],
                    options.tol)
    stats, f = _solved(lambda exact: _run(formula, plan, lambda: rows.moments(True)) if exact else fast, solve)
    if plan.instrumental:
        assert stats.moments is not None
        _check_instrument_rank(stats.moments, names[:kw], list(plan.extra_names[1]), kw, False)
    df_resid = n - k - absorbed
    mse = f.ssr / df_resid
    # With instruments the residuals are not orthogonal to the design: R-squared may be negative.
    r2 = _r2(f.ssr, float(rows.totals[-1]) ** 2, not plan.instrumental)
    within_r2 = _r2(f.ssr, f.tss, not plan.instrumental)
    r2_adj = 1.0 - (1.0 - r2) * (n - 1) / df_resid
    zeros = np.zeros(c)

    def second_pass(residual_sums: bool, leverage: int) -> Sums:
        p = Pass(pivot=zeros, mean=zeros, intercept=False, total_weight=rows.total_weight,
                 residual_weights=f.residual_weights, scores=f.scores, leverage_power=leverage,
                 clusters=request.clusters, residual_sums=residual_sums, score_gram=f.score_gram)
        sums: Sums = _run(formula, plan, lambda: rows.sums(p))
        return sums

    family = request.family
    cov, df = _covariance.IID.classical(f.inverse, mse, df_resid)
    sums = None
    if family.residual_pass:
        sums = second_pass(True, family.leverage_power)
        df_k = rows.crv_parameters(k) if family.clustered else k + absorbed
        cov, df = family.covariance(f.left, sums, n=n, df_k=df_k, df_resid=df_resid, names=request.clusters)
    residuals = (lambda: sums.residuals) if sums is not None else (lambda: second_pass(True, -1).residuals)
    title, method = TITLES["FE"]
    report = _report(source, ReportStats(title, method, n, k, False, r2, mse,
                                         design_factor=None if plan.instrumental else f.design_factor,
                                         within_r_squared=within_r2, partitions=rows.partitions),
                     None if plan.instrumental else residuals)
    # The effects of y - X beta: the effects are linear in their column ([W Z E y] with instruments).
    regressors = [*range(kw), *range(kw + kz, kw + kz + ke)] if plan.instrumental else list(range(k))
    combined = rows.column_effects[-1] - f.beta @ rows.column_effects[regressors]
    parts = _absorb.normalised(combined, rows.factors, rows.linked)
    absorbed_state = tuple(AbsorbedEffects(fa.columns, fa.keys, part) for fa, part in zip(rows.factors, parts))
    encodings = (plan.main.rhs, plan.extras[0]) if plan.instrumental else (plan.main.rhs,)
    state = PredictState(encodings=encodings, absorbed=absorbed_state, lags=plan.lags)
    return _results(source, "FE", formula, plan, names, f, cov=cov, df=df, n=n, df_resid=df_resid,
                    dropped=rows.dropped + rows.singletons, r2=r2, r2_adj=r2_adj, mse=mse, request=request,
                    state=state, report=report, family=family, weights=options.weights,
                    absorbing=(pieces.factors, options), absorbed_df=absorbed, solver=rows.solver,
                    singletons_dropped=rows.singletons)


# ---------------------------------------------------------------------------
# Absorbed fixed effects on partitions (a dask frame): the effects solved in the levels' space
# from the partitions' merged level statistics (_absorb_levels), then the demeaned rows, formed
# partition by partition, through the same moments pass, solve and pass over the residuals.

def _level_state(formula: str, plan: Plan, source: Any, factors: tuple[tuple[str, ...], ...],
                 drop_singletons: bool) -> tuple[_absorb_levels.LevelState, list[pd.Index]]:
    """The keys of every factor over the complete rows, the singleton levels dropped again and again
    (each round one pass over the partitions), and the codes of the levels kept."""
    columns_read = list(plan.columns)
    levels: _absorb_levels.Levels = _run(formula, plan, lambda: source.reduce(
        columns_read, _absorb_levels.block_levels, _absorb_levels.merge_levels, plan, factors))
    if levels.rows == 0:
        raise _plan.no_rows(_plan.seen(source, columns_read, [], []), columns_read)
    keys = tuple(_absorb_levels.sorted_keys(c) for c in levels.counts)
    counts = [c.reindex(k).to_numpy(dtype=np.int64) for c, k in zip(levels.counts, keys)]
    dropped = tuple(np.zeros(len(k), dtype=bool) for k in keys)
    while drop_singletons and any((c == 1).any() for c in counts):
        dropped = tuple(d | (c == 1) for d, c in zip(dropped, counts))
        round_state = source.share(_absorb_levels.LevelState(factors, keys, dropped))
        counts = _run(formula, plan, functools.partial(source.reduce, columns_read, _absorb_levels.block_singletons,
                                                       _absorb_levels.merge_counts, plan, round_state))
    present = [c > 0 for c in counts]
    codes = tuple(np.where(p, np.cumsum(p) - 1, -1).astype(np.int64) for p in present)
    return _absorb_levels.LevelState(factors, keys, dropped, codes), [k[p] for k, p in zip(keys, present)]


def _level_stats(formula: str, plan: Plan, source: Any, factors: tuple[tuple[str, ...], ...], drop_singletons: bool,
                 clusters: tuple[str, ...]
                 ) -> tuple[_absorb_levels.LevelStats, _absorb_levels.LevelState, list[pd.Index]]:
    """The levels' statistics, the state coding a partition's rows and each factor's keys: in one pass
    keyed by the keys where they are integers and no singleton is dropped, else by the codes of a
    pass that learns the keys (and drops the singletons)."""
    columns_read = list(plan.columns)
    if not _absorb_levels.one_pass(source.meta, factors, drop_singletons):
        state, kept_keys = _level_state(formula, plan, source, factors, drop_singletons)
        stats: _absorb_levels.LevelStats = _run(formula, plan, lambda: source.reduce(
            columns_read, _absorb_levels.block_stats, _absorb_levels.merge_stats, plan, source.share(state), clusters))
        return stats, state, kept_keys
    keyed: _absorb_levels.KeyedStats = _run(formula, plan, lambda: source.reduce(
        columns_read, _absorb_levels.block_keyed_stats, _absorb_levels.merge_keyed_stats, plan, factors, clusters,
        run=_absorb_levels.RUN))
    if keyed.rows == 0:
        raise _plan.no_rows(_plan.seen(source, columns_read, [], []), columns_read)
    return _absorb_levels.coded_stats(keyed, factors, [source.meta[f[0]].dtype for f in factors])


def fit_absorbed_partitioned(formula: str, source: Any, *, request: _covariance.VcovRequest,
                             pieces: _formula.Pieces, options: AbsorbOptions) -> Results:
    """fit_absorbed on a partitioned source: the rows read a fixed number of times (the levels, again per
    round of singletons; the level statistics; the moments, unless the statistics give them to full
    accuracy; the pass over the residuals)."""
    pieces, plan, names, kw, kz, ke = _absorbed_plan(formula, source, pieces, request, options, None)
    columns_read = list(plan.columns)
    factor_columns = tuple(tuple(f) for f in pieces.factors)
    level_stats, state, kept_keys = _level_stats(formula, plan, source, factor_columns, options.drop_singletons,
                                                 request.clusters)
    factors = [_absorb.Factor(f, np.zeros(0, dtype=np.int64), keys) for f, keys in zip(factor_columns, kept_keys)]
    n, k, singletons = level_stats.rows, len(names), level_stats.singletons
    _check_rows_left(formula, n, singletons)
    absorbed = _absorb_levels.absorbed_df(level_stats)
    _check_degrees_of_freedom(formula, plan, n, k, absorbed)
    solved: _absorb_levels.Solved = _run(formula, plan, lambda: _absorb_levels.solve(
        level_stats, [f.name for f in factors], tol=options.tol, max_iterations=options.max_iterations))
    effects, centre = solved.effects, solved.means
    offsets = np.cumsum((0,) + level_stats.levels)
    demeaning = _absorb_levels.Demeaning(state, offsets, centre, effects)
    how = source.share(demeaning)
    # The effects of each column: its mean on the first factor's levels and the solve's.
    column_effects = effects.copy()
    column_effects[:, : level_stats.levels[0]] += centre[:, None]

    def moments(exact: bool) -> Stats:
        if not exact and (from_levels := _absorb_levels.demeaned_moments(level_stats, solved)) is not None:
            return Stats(from_levels, rows=n, dropped=level_stats.dropped, partitions=source.partitions)
        stats: Stats = source.reduce(columns_read, _absorb_levels.block_moments, _passes.merge_stats, plan, how,
                                     exact)
        return stats

    def sums(p: Pass) -> Sums:
        if _absorb_levels.residuals_only(p):
            residuals = source.share(_absorb_levels.Residuals.of(demeaning, p.residual_weights))
            only: Sums = source.reduce(columns_read, _absorb_levels.block_residual_sums, _passes.merge_sums, plan, how,
                                       residuals, p)
            return only
        out: Sums = source.reduce(columns_read, _absorb_levels.block_sums, _passes.merge_sums, plan, how, p)
        return out

    rows = AbsorbedRows(
        n=n, dropped=level_stats.dropped, singletons=singletons, absorbed=absorbed, factors=factors,
        totals=np.sqrt([ss for _, _, ss in level_stats.columns]), raw_lengths=np.sqrt(level_stats.raw_sq),
        total_weight=level_stats.columns[0][0], moments=moments, sums=sums,
        crv_parameters=lambda k: _absorb_levels.crv_parameters(k, absorbed, level_stats, factor_columns,
                                                               request.clusters),
        column_effects=column_effects, solver=solved.info,
        linked=_absorb_levels.components(level_stats) if len(factors) == 2 else None,
        partitions=source.partitions)
    return _absorbed_results(formula, source, pieces, plan, names, (kw, kz, ke), request, options, rows)

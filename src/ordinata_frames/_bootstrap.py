"""The wild cluster bootstrap of one coefficient of an ols, wls or fe fit,
by the algorithm of Roodman, MacKinnon, Nielsen and Webb (2019): one pass over
the rows gives per cluster g the sums Z_g'Z_g and Z_g'u_g (Z the design the fit
used, u its residuals; wls on rows scaled by the square roots of the weights, fe
on rows less their entity's means, fe with absorbed factors on the columns the
fit projected off the factors), and every draw then costs O(G k), nothing per
row.

The pass keeps its sums exactly (_native.cluster_grams: integer digits, whose
additions are exact and associative), so that the blocks of an in-memory table
and the partitions of a dask frame, however many, merge to the same bits; the
draws come from a generator keyed by the seed and each draw's and cluster's index
(_native.wild_draws), so that they do not depend on the threads either.

Conventions are those of the wildboottest package's WildboottestCL ("11"): the t
statistic is CRV1's, its small-sample factor G/(G-1) (n-1)/(n-k) with k the
columns of the design (fe: the slopes and one dummy per entity, or the levels the
factors absorb, the rank of their dummies); the bootstrap t
of a draw is its own CRV1 t with the same factor; the p-value is the share of
draws with |t*| > |t| (two-sided, symmetric), a draw equal to |t| but for rounding
not counted (wildboottest lets rounding decide those); Rademacher weights are fully
enumerated (all 2^G sign vectors, in a fixed order) where 2^G <= B. Mammen's two
points and Webb's six are theirs; "norm" is the standard normal.

The confidence interval inverts the test: the values b0 of the null beta = b0
whose p-value is at least alpha. WCU's draws do not depend on b0, so its bounds
are beta +- q se with q the ceil(alpha B)-th largest |t*|; WCR's are found by
bisection of the p-value (a step function) on the same draws.
"""

from __future__ import annotations

import contextlib
import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ordinata_frames import _absorb, _formula, _linalg, _native, _passes, _plan, _results
from ordinata_frames._plan import Plan
from ordinata_frames._results import Results, WildBootstrap

WEIGHTS = {"rademacher": 0, "mammen": 1, "webb": 2, "norm": 3}
MODELS = ("OLS", "WLS", "FE")
DIGITS = 67                 # the int64 digits of one exact sum (bootstrap.cpp)
BOUND_RESOLUTION = 1e-9      # the bisection's last bracket, in standard errors
TIE = 1e-9                  # |t*| within this relative distance of |t| is a tie


# ---------------------------------------------------------------------------
# The pass over the rows: per group, exact sums, merged pairwise.

@dataclass
class GroupSums:
    keys: pd.Index
    digits: np.ndarray              # (groups, entries, DIGITS) int64
    rows: int
    pairs: pd.DataFrame | None = None   # fe: the (entity, cluster) pairs seen


def _codes(values: pd.Series) -> tuple[np.ndarray, pd.Index]:
    code, uniques = pd.factorize(values, sort=False)
    return code.astype(np.int64), pd.Index(uniques)


def _digits(raw: bytes, groups: int, entries: int) -> np.ndarray:
    return np.frombuffer(raw, dtype=np.int64).reshape(groups, entries, DIGITS)


def block_entity_sums(part: pd.DataFrame, plan: Plan, entity: str) -> GroupSums:
    """Per entity: the count of rows and the sums of the design's columns."""
    d = _passes.design(part, plan)
    code, keys = _codes(d.frame[entity])
    raw = _native.group_sums(d.a, code, len(keys))
    return GroupSums(keys, _digits(raw, len(keys), len(d.a) + 1), len(d.frame))


def block_cluster_sums(part: pd.DataFrame, plan: Plan, cluster: str, beta: np.ndarray, intercept: bool,
                       entity: str | None, entity_keys: pd.Index | None, table: np.ndarray | None) -> GroupSums:
    """Per cluster: the upper triangle of Z_g'Z_g and Z_g'u_g, the columns less the row's entry of
    `table`: its entity's (fe) or the one row of centres."""
    d = _passes.design(part, plan)
    code, keys = _codes(d.frame[cluster])
    group = pairs = None
    if entity is not None:
        assert entity_keys is not None
        group = entity_keys.get_indexer(pd.Index(d.frame[entity])).astype(np.int64)
        pairs = pd.DataFrame({"entity": group, "cluster": d.frame[cluster].to_numpy()}).drop_duplicates()
    elif table is not None:
        group = np.zeros(len(d.frame), dtype=np.int64)
    raw = _native.cluster_grams(d.a, d.w, intercept, beta, code, len(keys), group, table)
    k = len(beta)
    return GroupSums(keys, _digits(raw, len(keys), k * (k + 1) // 2 + k), len(d.frame), pairs)


def merge_group_sums(a: GroupSums, b: GroupSums) -> GroupSums:
    """The sums of the union of two sets of rows, by key; the additions are of integers."""
    code, uniques = pd.factorize(a.keys.append(b.keys), sort=False)
    shape = a.digits.shape[1:] if len(a.keys) else b.digits.shape[1:]
    digits = np.zeros((len(uniques), *shape), dtype=np.int64)
    digits[code[: len(a.keys)]] += a.digits
    digits[code[len(a.keys):]] += b.digits
    pairs = None
    if a.pairs is not None and b.pairs is not None:
        pairs = pd.concat([a.pairs, b.pairs]).drop_duplicates()
    return GroupSums(pd.Index(uniques), digits, a.rows + b.rows, pairs)


def _values(sums: GroupSums) -> tuple[pd.Index, np.ndarray]:
    """The keys in sorted order where they sort (as np.unique orders them), and the sums as float64."""
    order = np.arange(len(sums.keys))
    with contextlib.suppress(TypeError):
        order = np.asarray(sums.keys.argsort())
    digits = np.ascontiguousarray(sums.digits[order])
    values = np.frombuffer(_native.exact_values(digits.tobytes()), dtype=np.float64)
    return sums.keys[order], values.reshape(len(order), -1)


# ---------------------------------------------------------------------------
# The arguments.

def _check(results: Results, param: Any, B: Any, cluster: Any, weights: Any, seed: Any, alpha: Any) -> str:
    if results.model not in MODELS:
        raise ValueError(f"the wild cluster bootstrap takes the results of ols, wls or fe, not of {results.model.lower()}")
    if not isinstance(param, str) or param not in results.names:
        raise ValueError(f"param {param!r} is not a term of the model: its terms are {', '.join(results.names)}")
    if not isinstance(B, (int, np.integer)) or isinstance(B, bool) or B < 1:
        raise ValueError(f"B must be a whole number of draws, at least 1, not {B!r}")
    if weights not in WEIGHTS:
        raise ValueError(f"unknown weights {weights!r}: use {', '.join(map(repr, WEIGHTS))}")
    if seed is not None and (not isinstance(seed, (int, np.integer)) or isinstance(seed, bool) or seed < 0):
        raise ValueError(f"seed must be a non-negative whole number or None, not {seed!r}")
    if not isinstance(alpha, (int, float)) or isinstance(alpha, bool) or not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must be a number strictly between 0 and 1, not {alpha!r}")
    fitted = results.refit.clusters if results.refit is not None else ()
    if cluster is None:
        if len(fitted) != 1:
            raise ValueError("name the bootstrap's cluster column: cluster='g' (the fit was not clustered by one column)"
                             if not fitted else "name the bootstrap's cluster column: cluster='g' (the fit was "
                             f"clustered by two columns, {fitted[0]!r} and {fitted[1]!r})")
        return fitted[0]
    if not isinstance(cluster, str):
        raise TypeError(f"cluster must be the name of one column, not {type(cluster).__name__}")
    return cluster


def _rebuilt(results: Results, data: Any, cluster: str) -> tuple[Any, Plan, str | None]:
    """The fit's source and plan from the data again, the cluster column read besides."""
    from ordinata_frames import _estimators

    assert results.refit is not None
    refit = results.refit
    pieces = _formula.split(results.formula, kind=results.model.lower())
    entity = pieces.entity
    clusters = list(dict.fromkeys([*refit.clusters, cluster]))
    extra = ([refit.weights] if refit.weights else []) + ([entity] if entity else []) + clusters
    source, pieces, lags = _estimators._source(data, pieces, list(dict.fromkeys(extra)))
    if entity is None:
        plan = _plan.build(source, pieces, extra, [], refit.weights, drop_leading=False, lags=lags)
        names = plan.names
    else:
        pieces = _formula.Pieces(lhs=pieces.lhs, rhs=f"{pieces.rhs} + 1", entity=entity)
        plan = _plan.build(source, pieces, [entity, *clusters], [], None, drop_leading=True, lags=lags)
        names = plan.names[1:]
    if tuple(names) != results.names:
        raise ValueError(f"the data give the terms {', '.join(names)}, not the fitted {', '.join(results.names)}: "
                         "pass the data the model was fitted on")
    sized = getattr(source, "sized", None)
    if sized is not None:
        sized(plan)
    return source, plan, entity


def _not_the_fitted_data(detail: str) -> ValueError:
    return ValueError(f"the data are not those the model was fitted on ({detail}): pass the same table")


# ---------------------------------------------------------------------------
# The test.

@dataclass(frozen=True)
class _Problem:
    """The cluster-level quantities of the test of r'beta = b0, in the coordinates the sums were taken in."""

    grams: np.ndarray       # (G, k, k) Z_g'Z_g
    scores: np.ndarray      # (G, k) Z_g'u_g at the fit's estimates
    inverse: np.ndarray     # (Z'Z)^-1
    r: np.ndarray
    beta: float             # r'beta, the fit's estimate
    se: float               # CRV1 with the small-sample factor
    scale: float

    def draws(self, b0: float, impose_null: bool, kind: int, seed: int, count: int, enumerate: bool) -> np.ndarray:
        """The bootstrap t statistics of the null r'beta = b0."""
        a = self.inverse @ self.r
        p = self.grams @ a                                  # Z_g'Z_g A r
        scores = self.scores
        if impose_null:
            # The restricted residuals' scores: u~ = u + Z (beta - beta~), beta - beta~ = A r (r'beta - b0) / r'A r.
            scores = scores + p * ((self.beta - b0) / float(self.r @ a))
        q = scores @ self.inverse                           # A Z_g'u~_g
        c = np.ascontiguousarray(q @ self.r)
        raw = _native.wild_draws(c, np.ascontiguousarray(p), np.ascontiguousarray(q), self.scale, kind, seed, count,
                                 enumerate)
        return np.frombuffer(raw, dtype=np.float64)

    def pvalue(self, b0: float, t_star: np.ndarray) -> float:
        """The share of draws with |t*| > |t|. A draw whose |t*| equals |t| but for rounding is a tie,
        not counted: with the null imposed, the draws whose weights are all equal give t* = +-t exactly."""
        t = abs(self.beta - b0) / self.se
        return float(np.mean(np.abs(t_star) > t * (1.0 + TIE)))


def _problem(values: np.ndarray, beta: np.ndarray, r: np.ndarray, estimate: float, n: int, parameters: int
             ) -> _Problem:
    groups, k = len(values), len(beta)
    rows, cols = np.triu_indices(k)
    grams = np.zeros((groups, k, k))
    grams[:, rows, cols] = values[:, : len(rows)]
    grams[:, cols, rows] = values[:, : len(rows)]
    scores = values[:, len(rows):]
    inverse = _linalg.solve(grams.sum(axis=0), np.eye(k))
    inverse = (inverse + inverse.T) / 2
    meat = scores.T @ scores
    # At the fit's estimates the scores sum to zero: what they leave is the estimates' error.
    shift = inverse @ scores.sum(axis=0)
    spread = np.sqrt(np.abs(np.diag(inverse @ meat @ inverse)))
    if not np.all(np.abs(shift) <= 1e-6 * spread + 1e-7 * np.abs(beta)):
        raise _not_the_fitted_data("the fitted estimates do not solve their normal equations")
    scale = groups / (groups - 1) * (n - 1) / (n - parameters)
    a = inverse @ r
    return _Problem(grams, scores, inverse, r, estimate, math.sqrt(float(a @ meat @ a) * scale), scale)


def _interval(problem: _Problem, impose_null: bool, draws: dict[str, Any], alpha: float) -> tuple[float, float]:
    if not impose_null:
        t_star = np.sort(np.abs(problem.draws(problem.beta, False, **draws)))[::-1]
        q = float(t_star[min(len(t_star), math.ceil(alpha * len(t_star))) - 1])
        return problem.beta - q * problem.se, problem.beta + q * problem.se

    def accepted(b0: float) -> bool:
        return problem.pvalue(b0, problem.draws(b0, True, **draws)) >= alpha

    bounds = []
    for side in (-1.0, 1.0):
        inside, step = problem.beta, problem.se
        outside = problem.beta + side * step
        while accepted(outside):
            inside, step = outside, 2.0 * step
            outside = problem.beta + side * step
            if step > 1e12 * problem.se:
                raise ValueError("the bootstrap confidence interval is unbounded: no null is rejected at this alpha")
        while abs(outside - inside) > BOUND_RESOLUTION * problem.se:
            middle = (inside + outside) / 2
            if middle in (inside, outside):
                break
            if accepted(middle):
                inside = middle
            else:
                outside = middle
        bounds.append(inside)
    return bounds[0], bounds[1]


def _sums(results: Results, data: Any, cluster: str, beta: np.ndarray, r: np.ndarray) -> tuple[GroupSums, int]:
    """ols, wls and one-way fe: the per-cluster sums of the fit's design, and the parameters the
    small-sample factor counts (fe: the slopes and one per entity). Where the fit took its sums
    about the means, `beta` and `r` are moved to them (in place)."""
    source, plan, entity = _rebuilt(results, data, cluster)
    columns = list(plan.columns)
    entity_keys = table = None
    parameters = len(beta)
    intercept = plan.intercept and entity is None
    if entity is not None:
        entities = source.reduce(columns, block_entity_sums, merge_group_sums, plan, entity)
        entity_keys, sums = _values(entities)
        table = np.ascontiguousarray(sums[:, 1:] / sums[:, :1])
        parameters += len(entity_keys)
    elif intercept and results.refit is not None and results.refit.centre is not None:
        # The sums of the columns less their means: beta_0 + m'beta in place of the intercept,
        # which is then r = (1, -m).
        centre = np.array(results.refit.centre[:-1])
        table = np.array([[*centre, 0.0]])
        beta[0] += float(centre @ beta[1:])
        if r[0] == 1.0:
            r[1:] = -centre
    merged: GroupSums = source.reduce(columns, block_cluster_sums, merge_group_sums, plan, cluster, beta, intercept,
                                      entity, source.share(entity_keys), source.share(table))
    if merged.pairs is not None and merged.pairs["entity"].duplicated().any():
        raise ValueError(f"the entities of {entity!r} are not nested in the clusters of {cluster!r}: the bootstrap "
                         "of a fixed-effects fit takes clusters that each hold whole entities")
    return merged, parameters


def _absorbed_sums(results: Results, data: Any, cluster: str, beta: np.ndarray) -> tuple[GroupSums, int]:
    """fe with absorbed factors: the fit's rows rebuilt (its weights, its singletons dropped), the
    block [X y] projected off the factors by the fit's solver at its tolerance, and the per-cluster
    sums of the projected columns; with the parameters the small-sample factor counts, the slopes
    and the levels the factors absorb (the rank of their dummies, as the fit counts it). Every
    factor nested in the clusters, this is the bootstrap of the design with the dummies in it."""
    from ordinata_frames import _dask, _pipeline

    assert results.refit is not None
    refit = results.refit
    pieces = _formula.split(results.formula, kind="fe")
    if pieces.endog is not None:
        raise ValueError("the wild cluster bootstrap takes no instrumented fe fit")
    if _dask.is_dask_frame(data):
        raise ValueError("a fit with absorbed factors is fitted in memory, and so is its bootstrap: pass the data "
                         "as a pandas frame")
    factor_columns = [c for f in refit.factors for c in f]
    extra = list(dict.fromkeys([*factor_columns, *([refit.weights] if refit.weights else []), *refit.clusters,
                                cluster]))
    source, pieces, lags = _pipeline.in_memory(data, pieces, extra)
    pieces = _formula.Pieces(lhs=pieces.lhs, rhs=f"{pieces.rhs} + 1", factors=refit.factors)
    plan = _plan.build(source, pieces, extra, [], refit.weights, drop_leading=True, lags=lags)
    if tuple(plan.names[1:]) != results.names:
        raise ValueError(f"the data give the terms {', '.join(plan.names[1:])}, not the fitted "
                         f"{', '.join(results.names)}: pass the data the model was fitted on")
    d = _passes.design(source.frame, plan)
    frame, a, w = d.frame, np.array(d.a), d.w
    factors = [_absorb.factor_of(frame, f) for f in refit.factors]
    if refit.drop_singletons and len(frame):
        keep = _absorb.singleton_rows(factors)
        factors = [_absorb.recoded(f, keep) for f in factors]
        frame, a, w = frame.loc[keep], a[:, keep], None if w is None else w[keep]
    code, keys = _codes(frame[cluster])
    for f in factors:
        if not _absorb.nested(f, code, len(keys)):
            raise ValueError(f"the absorbed factor {f.name!r} is not nested in the clusters of {cluster!r}: the "
                             "bootstrap of a fit with absorbed factors takes clusters that each hold whole levels "
                             "of every factor")
    projected = _absorb.demean(a, factors, w, tol=refit.tol, max_iterations=refit.max_iterations).columns
    raw = _native.cluster_grams(list(projected), w, False, beta, code, len(keys), None, None)
    k = len(beta)
    sums = GroupSums(keys, _digits(raw, len(keys), k * (k + 1) // 2 + k), len(frame))
    return sums, k + (_absorb.absorbed_df(factors) if len(frame) else 0)


def wild_bootstrap(results: Results, param: str, data: Any, *, B: int, cluster: str | None, weights: str,
                   impose_null: bool, seed: int | None, conf_int: bool, alpha: float) -> WildBootstrap:
    if results.refit is None:
        raise ValueError("these results carry no record of how the model was fitted")
    cluster = _check(results, param, B, cluster, weights, seed, alpha)
    j = results.names.index(param)
    beta = np.array(results.params, dtype=np.float64)
    r = np.zeros(len(beta))
    r[j] = 1.0
    if results.refit.factors:
        merged, parameters = _absorbed_sums(results, data, cluster, beta)
    else:
        merged, parameters = _sums(results, data, cluster, beta, r)
    if merged.rows != results.nobs:
        raise _not_the_fitted_data(f"{merged.rows} rows are complete, the fit used {results.nobs}")
    keys, values = _values(merged)
    if len(keys) < 2:
        raise ValueError(f"cluster column {cluster!r} has {len(keys)} group: the wild cluster bootstrap needs "
                         "at least two")
    problem = _problem(values, beta, r, float(results.params[j]), merged.rows, parameters)
    enumerate_all = weights == "rademacher" and len(keys) <= 62 and 2 ** len(keys) <= B
    count = 2 ** len(keys) if enumerate_all else int(B)
    if seed is None and not enumerate_all:
        seed = int(np.random.SeedSequence().generate_state(1, dtype=np.uint64)[0])
    draws: dict[str, Any] = {"kind": WEIGHTS[weights], "seed": int(seed or 0), "count": count, "enumerate": enumerate_all}
    t_star = problem.draws(0.0, impose_null, **draws)
    interval = _interval(problem, impose_null, draws, float(alpha)) if conf_int else None
    return WildBootstrap(param=param, statistic=problem.beta / problem.se, pvalue=problem.pvalue(0.0, t_star),
                         bootstrap_type="WCR" if impose_null else "WCU", weights=weights, clusters=len(keys),
                         draws=count, enumerated=enumerate_all, seed=None if enumerate_all else int(seed or 0),
                         conf_int=interval, alpha=float(alpha) if conf_int else None)


# Results.wildboottest runs this: the bootstrap reruns the pipeline, which builds results, so
# the results reach it through this registration rather than by importing it.
_results.register_bootstrap(wild_bootstrap)

"""The frozen results of a fit: named estimates and inference, the report, predictions."""

from __future__ import annotations

import datetime as _dt
import sys
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, NamedTuple, overload

import numpy as np
import pandas as pd

from ordinata_frames import _data, _formula, _native, _report, _tables
from ordinata_frames._absorb import SolverInfo
from ordinata_frames._report import Deferred, ReportStats

if TYPE_CHECKING:
    import dask.dataframe as dd



class TestResult(NamedTuple):
    """A test statistic with its degrees of freedom and p-value. `df` is a tuple
    (numerator, denominator) for an F statistic, one number for chi-squared."""

    stat: float
    df: float | tuple[float, float]
    pvalue: float
    distribution: str


@dataclass(frozen=True)
class AbsorbedEffects:
    """The effects of one absorbed factor: the columns it reads (several for an interaction),
    the key of each level and its effect (read-only)."""

    columns: tuple[str, ...]
    keys: pd.Index
    effects: np.ndarray

    def __post_init__(self) -> None:
        effects = np.array(self.effects, dtype=np.float64)
        effects.setflags(write=False)
        object.__setattr__(self, "effects", effects)

    @property
    def name(self) -> str:
        return "^".join(self.columns)

    def at(self, frame: pd.DataFrame) -> np.ndarray:
        """The effect of each row's level; a level not seen in fitting is refused."""
        if len(self.columns) == 1:
            position = self.keys.get_indexer(pd.Index(frame[self.columns[0]]))
        else:
            position = self.keys.get_indexer(pd.MultiIndex.from_frame(frame[list(self.columns)]))
        if (position < 0).any():
            rows = frame.loc[position < 0, list(self.columns)].drop_duplicates().head(10)
            shown = ", ".join(repr(v if len(v) > 1 else v[0]) for v in rows.itertuples(index=False, name=None))
            raise ValueError(f"fixed effect {self.name!r} of newdata has levels not seen in fitting: {shown}")
        out: np.ndarray = self.effects[position]
        return out


@dataclass(frozen=True)
class PredictState:
    """What predict needs to rebuild a design: formulaic's encodings of the formula, never the data."""

    encodings: tuple[Any, ...]
    entity: str | None = None
    entity_levels: tuple[Any, ...] = ()
    fixed_effects: np.ndarray | None = None
    lags: tuple[tuple[str, str], ...] = ()     # (column name, lag call) taken on newdata's rows in order
    absorbed: tuple[AbsorbedEffects, ...] = ()  # fe with absorbed factors: the effects of each


@dataclass(frozen=True)
class Refit:
    """What the pipeline needs besides the formula to rebuild the fit's design from its
    data again (the wild bootstrap): the weights column and the clustered covariance's
    columns, names only; with an intercept, the (weighted) means of the design's columns,
    about which the bootstrap takes its sums. A fit with absorbed factors keeps the factors
    (each the columns it interacts) and the options its projection took."""

    weights: str | None = None
    clusters: tuple[str, ...] = ()
    centre: tuple[float, ...] | None = None
    factors: tuple[tuple[str, ...], ...] = ()
    drop_singletons: bool = False
    tol: float = 1e-8
    max_iterations: int = 10_000


@dataclass(frozen=True)
class WildBootstrap:
    """The wild cluster bootstrap test of `param` = 0 (WCR: the null imposed on the
    bootstrap samples; WCU: not). `draws` is the B used (2^G when `enumerated`);
    `seed` the seed the draws came from (None when enumerated: no draw is random);
    `conf_int` the bounds at level 1 - `alpha` by test inversion, when asked for."""

    param: str
    statistic: float
    pvalue: float
    bootstrap_type: str
    weights: str
    clusters: int
    draws: int
    enumerated: bool
    seed: int | None
    conf_int: tuple[float, float] | None = None
    alpha: float | None = None


# The wild bootstrap's engine: _bootstrap registers it when the package is imported.
_bootstrap_engine: Callable[..., WildBootstrap] | None = None


def register_bootstrap(engine: Callable[..., WildBootstrap]) -> None:
    global _bootstrap_engine
    _bootstrap_engine = engine


@dataclass(frozen=True, eq=False)
class Results:
    """Results of one fit. Pickles without the data; nothing in it is writable."""

    model: str
    formula: str
    dependent: str
    names: tuple[str, ...]
    params: np.ndarray = field(repr=False)
    cov: np.ndarray = field(repr=False)
    df_inference: float
    nobs: int
    df_resid: int
    r_squared: float
    r_squared_adj: float
    mse: float
    vcov_type: str
    dropped_rows: int
    predict_state: PredictState = field(repr=False)
    first_stage: pd.DataFrame | None = field(default=None, repr=False)
    sargan: TestResult | None = None
    wu_hausman: TestResult | None = None
    # Display names of the formula's variables, from a pandas frame's attrs["variable_labels"].
    variable_labels: tuple[tuple[str, str], ...] = field(default=(), repr=False)
    # Where each coefficient's t has its own degrees of freedom (CR2's Bell-McCaffrey
    # approximation), those, in the order of names: the p-values, the intervals and the
    # report use them; df_inference is then that of the joint F.
    df_per_term: tuple[float, ...] | None = None
    refit: Refit | None = field(default=None, repr=False, compare=False)
    # fe: the levels the effects absorb (the rank of their dummies together; one entity: its entities);
    # with absorbed factors, how their system was solved and the singleton rows dropped (counted in
    # dropped_rows too)
    absorbed_df: int | None = None
    solver: SolverInfo | None = None
    singletons_dropped: int = 0
    # The figures of the report, or a function that gives them on first use (an
    # in-memory fit takes its residual diagnostics from its residuals only then).
    _report_stats: ReportStats | Callable[[], ReportStats] | None = field(default=None, repr=False, compare=False)

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        # The figures, never the function: it holds the fit's residuals and design.
        state["_report_stats"] = self._stats()
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        # A pickle gives back writable arrays; the figures derived from them must not move.
        self.__post_init__()

    def _stats(self) -> ReportStats | None:
        stats = self._report_stats
        if callable(stats):
            stats = stats()
            object.__setattr__(self, "_report_stats", stats)
        return stats

    def _figures(self) -> ReportStats | None:
        """The report's figures without waiting for its residual diagnostics (no pass over the rows)."""
        stats = self._report_stats
        return stats.base if isinstance(stats, Deferred) else self._stats()

    def __post_init__(self) -> None:
        for name in ("params", "cov"):
            value = np.array(getattr(self, name), dtype=np.float64)
            value.setflags(write=False)
            object.__setattr__(self, name, value)
        if self.predict_state.fixed_effects is not None and self.predict_state.fixed_effects.flags.writeable:
            effects = np.array(self.predict_state.fixed_effects, dtype=np.float64)
            effects.setflags(write=False)
            object.__setattr__(self.predict_state, "fixed_effects", effects)

    def _dfs(self) -> list[float]:
        """The degrees of freedom of each coefficient's t."""
        if self.df_per_term is not None:
            return list(self.df_per_term)
        return [float(self.df_inference)] * len(self.names)

    def _se(self) -> np.ndarray:
        # A two-way clustered variance can come out negative; its error is NaN, as in pyfixest.
        with np.errstate(invalid="ignore"):
            return np.sqrt(np.diag(self.cov))

    @property
    def coefficients(self) -> pd.Series[float]:
        """Estimates indexed by term name (intercept first, as "Intercept")."""
        return pd.Series(self.params.copy(), index=list(self.names), name="estimate")

    @property
    def standard_errors(self) -> pd.Series[float]:
        return pd.Series(self._se(), index=list(self.names), name="std_err")

    @property
    def t_statistics(self) -> pd.Series[float]:
        return pd.Series(self.params / self._se(), index=list(self.names), name="t")

    @property
    def p_values(self) -> pd.Series[float]:
        t = self.params / self._se()
        return pd.Series([_native.t_pvalue(float(v), df) for v, df in zip(t, self._dfs())], index=list(self.names),
                         name="p", dtype=np.float64)

    @property
    def fixed_effects(self) -> dict[str, pd.DataFrame]:
        """fe: per absorbed factor, a frame of one "effect" per level, indexed by the levels. Every
        factor after the first has effects of mean zero over its levels (with two factors, in each
        connected component of their graph), the first taking up the difference; an entity's
        effects are its intercepts. Empty for other models."""
        state = self.predict_state
        if state.entity is not None and state.fixed_effects is not None:
            return {state.entity: pd.DataFrame({"effect": state.fixed_effects.copy()},
                                               index=pd.Index(state.entity_levels, name=state.entity))}
        return {a.name: pd.DataFrame({"effect": a.effects.copy()}, index=_named(a.keys, a.columns))
                for a in state.absorbed}

    @property
    def n_levels(self) -> dict[str, int]:
        """fe: the levels of each absorbed factor among the rows fitted."""
        return {name: len(frame) for name, frame in self.fixed_effects.items()}

    @property
    def covariance_matrix(self) -> pd.DataFrame:
        return pd.DataFrame(self.cov.copy(), index=list(self.names), columns=list(self.names))

    def confidence_intervals(self, alpha: float = 0.05) -> pd.DataFrame:
        """Bounds at level 1 - alpha (alpha is the significance level, as in statsmodels' conf_int)."""
        if not isinstance(alpha, (int, float)) or isinstance(alpha, bool) or not 0.0 < alpha < 1.0:
            raise ValueError(f"alpha must be a number strictly between 0 and 1, not {alpha!r}")
        margin = np.array([_native.t_critical(float(alpha), df) for df in self._dfs()]) * self._se()
        return pd.DataFrame({"lower": self.params - margin, "upper": self.params + margin}, index=list(self.names))

    def to_frame(self, alpha: float = 0.05) -> pd.DataFrame:
        """One row per term: estimate, std_err, t, p, lower, upper."""
        ci = self.confidence_intervals(alpha)
        return pd.DataFrame({"estimate": self.coefficients, "std_err": self.standard_errors,
                             "t": self.t_statistics, "p": self.p_values,
                             "lower": ci["lower"], "upper": ci["upper"]})

    def summary(self) -> str:
        """The native report's layout with the terms' names and this covariance type,
        dated now."""
        stats = self._stats()
        if stats is None:
            raise ValueError("these results carry no report")
        return _report.render(stats, self, _dt.datetime.now())

    @overload
    def predict(self, newdata: dd.DataFrame) -> dd.Series: ...
    @overload
    def predict(self, newdata: Any) -> pd.Series[float]: ...

    def predict(self, newdata: Any) -> Any:
        """Predictions for new rows: the formula is applied again, categorical levels
        included; a level or an entity not seen in fitting is refused. A pandas
        Series on the index of a pandas frame (or of a dict's Series), on a
        RangeIndex for polars, pyarrow and arrays. A dask frame gives a lazy dask
        Series on its index, computed partition by partition."""
        dask_frames = sys.modules.get("dask.dataframe")
        if dask_frames is not None and isinstance(newdata, dask_frames.DataFrame):
            if self.predict_state.lags:
                raise ValueError("a model with lag() predicts in memory only: a partition's first row "
                                 "has its previous row in another partition")
            # The partitions get the encodings and the estimates, not the results.
            return newdata.map_partitions(_predict_partition, self.predict_state, self.params,
                                          meta=pd.Series(dtype=np.float64, name="prediction"))
        return predict_rows(newdata, self.predict_state, self.params)

    # Notebooks: the coefficients with their intervals and the report's statistics.
    def _repr_html_(self) -> str:
        return _tables.result_html(self)

    def _repr_markdown_(self) -> str:
        return _tables.result_markdown(self)

    # maketables' plug-in attributes: ETable reads these results as it reads the
    # fits of the packages it knows, and this package never imports maketables.
    @property
    def __maketables_coef_table__(self) -> pd.DataFrame:
        """b, se, t, p and the 95% and 90% interval bounds (ci95l, ci95u, ci90l, ci90u) by term."""
        return _tables.coef_table(self)

    def __maketables_stat__(self, key: str) -> float | int | str | None:
        """N, r2, adj_r2, r2_within (fe), df_resid, df_model, fvalue, f_pvalue, fstat_1st
        (iv, tsls), se_type and n_clusters (one-way clustered); None for any other key."""
        return _tables.stat(self, key)

    @property
    def __maketables_depvar__(self) -> str:
        return self.dependent

    @property
    def __maketables_fixef_string__(self) -> str | None:
        """The entity column whose effects fe absorbs."""
        return _tables.fixef_string(self)

    @property
    def __maketables_vcov_info__(self) -> dict[str, Any]:
        return _tables.vcov_info(self)

    @property
    def __maketables_var_labels__(self) -> dict[str, str] | None:
        return dict(self.variable_labels) or None

    @property
    def __maketables_default_stat_keys__(self) -> list[str]:
        return _tables.default_stat_keys(self)

    def wildboottest(self, param: str, data: Any, *, B: int = 9999, cluster: str | None = None,
                     weights: str = "rademacher", impose_null: bool = True, seed: int | None = None,
                     conf_int: bool = False, alpha: float = 0.05) -> WildBootstrap:
        """The wild cluster bootstrap test of `param` = 0 for ols, wls and fe fits (WCR with
        the null imposed, WCU without), on the data the model was fitted on, passed again: the
        results keep no data. `cluster` defaults to the fit's CRV1 column; `weights` "rademacher",
        "mammen", "webb" or "norm"; Rademacher weights are enumerated when 2^G <= B. The same
        seed gives the same draws on any thread count, in memory or on a dask frame of any
        partitioning. `conf_int` adds the interval at level 1 - alpha by test inversion. fe with
        absorbed factors takes clusters that each hold whole levels of every factor, and the data
        in memory.
        Conventions (t, small-sample factor, p-value) are the wildboottest package's."""
        if _bootstrap_engine is None:
            raise RuntimeError("the wild bootstrap is not loaded: import ordinata_frames")
        return _bootstrap_engine(self, param, data, B=B, cluster=cluster, weights=weights,
                                         impose_null=impose_null, seed=seed, conf_int=conf_int, alpha=alpha)

    def __repr__(self) -> str:
        return (f"<ordinata_frames.Results {self.model} '{self.formula}': {self.nobs} observations, "
                f"{len(self.names)} terms, vcov {self.vcov_type}>")


def predict_rows(newdata: Any, state: PredictState, params: np.ndarray) -> pd.Series[float]:
    """The predictions of a fit for the rows of a table."""
    lags = dict(state.lags)
    columns = set().union(*(set(e.required_variables) for e in state.encodings)) - set(lags)
    for call in lags.values():
        columns |= _formula.variables(call)
    if state.entity:
        columns.add(state.entity)
    for absorbed in state.absorbed:
        columns |= set(absorbed.columns)
    frame = _data._as_pandas(newdata, sorted(columns), "newdata")
    missing = frame.isna().any()
    if missing.any():
        raise ValueError(f"newdata has missing values in column(s) {list(missing[missing].index)}")
    no_lag = np.zeros(len(frame), dtype=bool)
    if lags:
        # The lags of newdata's own rows in their order; the first rows have none
        # and predict NaN, as pandas' shift leaves them.
        frame = _formula.add_lags(frame, lags)
        no_lag = frame[list(lags)].isna().to_numpy().any(axis=1)
        frame[list(lags)] = frame[list(lags)].fillna(0.0)
    design = np.hstack([_formula.apply(e, frame) for e in state.encodings])
    if state.entity or state.absorbed:
        design = design[:, 1:]   # the intercept fe absorbs
    prediction = design @ params
    for absorbed in state.absorbed:
        prediction = prediction + absorbed.at(frame)
    if state.entity is not None and state.fixed_effects is not None:
        position = pd.Index(state.entity_levels).get_indexer(frame[state.entity])
        if (position < 0).any():
            unseen = pd.unique(frame[state.entity][position < 0])[:10].tolist()
            raise ValueError(f"entity column {state.entity!r} of newdata has entities not seen in fitting: "
                             f"{', '.join(repr(v) for v in unseen)}")
        prediction = prediction + state.fixed_effects[position]
    prediction[no_lag] = np.nan
    return pd.Series(prediction, index=_row_labels(newdata, len(prediction)), name="prediction")


def _named(keys: pd.Index, columns: tuple[str, ...]) -> pd.Index:
    return keys.set_names(list(columns)) if len(columns) > 1 else keys.rename(columns[0])


def _row_labels(newdata: Any, n: int) -> pd.Index:
    """A pandas table's own index (or that of a dict's Series), so that the
    predictions land on their rows when assigned back; other tables count their
    rows from 0."""
    if isinstance(newdata, pd.DataFrame):
        return newdata.index
    if isinstance(newdata, Mapping):
        indexes = [v.index for v in newdata.values() if isinstance(v, pd.Series)]
        if indexes and len(indexes[0]) == n:
            return indexes[0]
    return pd.RangeIndex(n)


def _predict_partition(frame: pd.DataFrame, state: PredictState, params: np.ndarray) -> pd.Series[float]:
    return predict_rows(frame, state, params).set_axis(frame.index)

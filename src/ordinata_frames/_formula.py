"""Formulas: the bracketed instruments of IV, the entity after "|" of FE, and the
design matrices that formulaic materialises from them."""

from __future__ import annotations

import re
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd
from formulaic import Formula  # type: ignore[import-untyped]
from formulaic.errors import DataMismatchWarning, FormulaicError  # type: ignore[import-untyped]
from formulaic.parser.types import Factor  # type: ignore[import-untyped]

from ordinata_frames._rowwise import parsed

_BRACKET = re.compile(r"\[([^\[\]]*)\]")


@dataclass(frozen=True)
class Pieces:
    """The pieces of one model formula, each a formula formulaic reads."""

    lhs: str
    rhs: str                     # the exogenous regressors, intercept rules as written
    endog: str | None = None     # IV: the endogenous regressors ("0 + ...")
    instr: str | None = None     # IV: the excluded instruments ("0 + ...")
    entity: str | None = None    # FE: the entity column, where one plain column is absorbed
    # FE: the absorbed factors, each the columns it interacts ("firm", or "firm^year" as two)
    factors: tuple[tuple[str, ...], ...] = ()


def split(formula: str, *, kind: str) -> Pieces:
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a string such as 'y ~ x1 + x2', not {type(formula).__name__}")
    if formula.count("~") < 1:
        raise ValueError(f"formula {formula!r} has no '~' between the dependent variable and the regressors")
    if kind == "iv":
        return _split_iv(formula)
    lhs, _, rhs = formula.partition("~")
    if "[" in rhs:
        raise ValueError(f"formula {formula!r} has bracketed instruments: use iv or tsls for them")
    entity = endog = instr = None
    factors: tuple[tuple[str, ...], ...] = ()
    if kind == "fe":
        parts = rhs.split("|")
        if len(parts) == 1:
            raise ValueError(f"formula {formula!r} names no entity: write it after '|', as in 'y ~ x1 + x2 | firm'")
        if len(parts) > 3:
            raise ValueError(f"formula {formula!r} has more than three parts: write 'y ~ exogenous | fixed effects' "
                             "or 'y ~ exogenous | fixed effects | endogenous ~ instruments'")
        rhs = parts[0]
        factors = absorbed_factors(parts[1], formula)
        if len(parts) == 3:
            endog, instr = _instrument_part(parts[2], formula)
        elif len(factors) == 1 and len(factors[0]) == 1:
            entity = factors[0][0]
    elif "|" in rhs:
        raise ValueError(f"formula {formula!r} has a '|': only fe takes an entity after it")
    if "~" in rhs:
        raise ValueError(f"formula {formula!r} has more than one '~'")
    return Pieces(lhs=lhs.strip(), rhs=rhs.strip() or "1", endog=endog, instr=instr, entity=entity, factors=factors)


def _instrument_part(text: str, formula: str) -> tuple[str, str]:
    """fe's third part, 'endogenous ~ instruments'."""
    endog, tilde, instr = text.partition("~")
    if not tilde or not endog.strip() or not instr.strip() or "~" in instr:
        raise ValueError(f"the third part of {formula!r} must read 'endogenous ~ instruments', not {text.strip()!r}")
    return "0 + " + endog.strip(), "0 + " + instr.strip()


_COLUMN = r"\w+|`[^`]+`"


def absorbed_factors(text: str, formula: str) -> tuple[tuple[str, ...], ...]:
    """The factors after '|': 'firm + year' two, 'firm^year' one, the interaction of two columns."""
    factors = []
    for term in text.split("+"):
        names = [name.strip() for name in term.split("^")]
        if not all(re.fullmatch(_COLUMN, name) for name in names):
            raise ValueError(f"the fixed effects after '|' in {formula!r} must be column names joined by '+' "
                             f"(or '^' for an interaction), as in 'firm + year', not {text.strip()!r}")
        factor = tuple(name.strip("`") for name in names)
        if len(set(factor)) != len(factor):
            raise ValueError(f"the interaction {term.strip()!r} in {formula!r} repeats a column")
        if factor in factors:
            raise ValueError(f"the fixed effect {term.strip()!r} appears twice in {formula!r}")
        factors.append(factor)
    return tuple(factors)


def factor_name(columns: tuple[str, ...]) -> str:
    return "^".join(columns)


def _split_iv(formula: str) -> Pieces:
    lhs, _, rhs = formula.partition("~")
    brackets = _BRACKET.findall(rhs)
    if len(brackets) != 1 or "~" not in brackets[0]:
        raise ValueError(f"formula {formula!r} needs one bracketed part '[endogenous ~ instruments]', "
                         "as in 'y ~ x1 + [x2 ~ z1 + z2]'")
    endog, _, instr = brackets[0].partition("~")
    if not endog.strip() or not instr.strip():
        raise ValueError(f"the bracketed part of {formula!r} needs endogenous regressors and instruments on "
                         "either side of its '~'")
    exog = _BRACKET.sub(" ", rhs)
    # What the bracket leaves behind: a dangling or doubled "+".
    exog = re.sub(r"\+\s*\+", "+", exog).strip()
    exog = re.sub(r"^\+|\+$", "", exog).strip()
    if "~" in exog or "|" in exog:
        raise ValueError(f"formula {formula!r} has a '~' or '|' outside its brackets")
    if exog.startswith("-"):
        exog = "1 " + exog
    return Pieces(lhs=lhs.strip(), rhs=exog or "1", endog="0 + " + endog.strip(), instr="0 + " + instr.strip())


def take_lags(text: str, found: dict[str, str]) -> str:
    """The formula text with each lag(...) read as a column of that name (backticked),
    the names and their calls added to `found`. lag() shifts by rows, so it is taken
    on the caller's rows before any is dropped for a missing value (add_lags), as
    pandas' shift on the whole frame and then dropna; formulaic would take it on the
    rows kept, giving a row after a dropped one the value of an older row."""
    out, at = [], 0
    for match in re.finditer(r"(?<![\w.`])lag\(", text):
        if match.start() < at:
            continue                      # within a lag call already taken
        depth, end = 0, match.end() - 1
        for end in range(match.end() - 1, len(text)):
            depth += {"(": 1, ")": -1}.get(text[end], 0)
            if depth == 0:
                break
        call = text[match.start(): end + 1]
        try:
            (name,) = (f.expr for term in parsed(call) for f in term.factors if f.expr != "1")
        except (FormulaicError, ValueError):
            continue                      # malformed: formulaic says so when it reads the formula
        found[name] = call
        out += [text[at: match.start()], f"`{name}`"]
        at = end + 1
    return "".join(out) + text[at:]


def add_lags(frame: pd.DataFrame, lags: dict[str, str]) -> pd.DataFrame:
    """The frame with a column per lag call, taken over all its rows in their order."""
    columns = {}
    for name, call in lags.items():
        try:
            mm = Formula(f"0 + {call}").get_model_matrix(frame, na_action="ignore")
        except FormulaicError as error:
            raise ValueError(f"cannot build {call!r}: {error}") from None
        if mm.shape[1] != 1:
            raise ValueError(f"{call!r} must give one numeric column, not {mm.shape[1]}")
        columns[name] = mm.iloc[:, 0].to_numpy(dtype=np.float64)
    return frame.assign(**columns)


def unquote_lags(names: list[str], lags: dict[str, str]) -> list[str]:
    """Term names as written: np.log(lag(x)), not np.log(`lag(x)`)."""
    for name in lags:
        names = [n.replace(f"`{name}`", name) for n in names]
    return names


def variables(formula: str) -> set[str]:
    """Every data column a formula reads."""
    try:
        whole = parsed(formula)
        needed = set(whole.required_variables)
    except FormulaicError as error:
        raise ValueError(f"cannot parse formula {formula!r}: {error}") from None
    # formulaic asks a stateful transform (center, scale, poly, bs...) for its
    # variables by calling it on names it has no values for, and on the NameError
    # lists none: its column would never be loaded. The names in its arguments.
    for term in (*whole.lhs, *whole.rhs) if "~" in formula else whole:
        for factor in term.factors:
            if factor.eval_method == Factor.EvalMethod.PYTHON:
                needed |= _argument_names(factor.expr)
    return needed


def _argument_names(expr: str) -> set[str]:
    from formulaic.transforms import TRANSFORMS  # type: ignore[import-untyped]
    from formulaic.utils.code import sanitize_variable_names  # type: ignore[import-untyped]
    from formulaic.utils.variables import get_expression_variables  # type: ignore[import-untyped]

    aliases: dict[str, str] = {}
    try:
        code = sanitize_variable_names(expr, {}, aliases)
        found = get_expression_variables(code, {}, aliases)
    except Exception:   # malformed: formulaic says so when it evaluates it
        return set()
    # A called plain name (center) is a function; a called attribute's root
    # (np in np.log, x in x.fillna) is a module or a column.
    return {str(v.root) for v in found
            if ("callable" not in v.roles or "." in v) and str(v.root) not in TRANSFORMS}


def used_columns(main: str, extra_formulas: list[str], extra_columns: list[str]) -> list[str]:
    """Every column a fit reads: its formulas' variables, then the other columns named."""
    needed = variables(main)
    for f in extra_formulas:
        needed |= variables(f)
    return sorted(needed) + [c for c in dict.fromkeys(extra_columns) if c not in needed]


def check_types(main: str, extra_formulas: list[str], frame: pd.DataFrame) -> None:
    """The columns' types as the formulas use them (frame: the columns, or their empty template)."""
    check_numeric(main, frame, outside="the formula")
    for term in parsed(main).lhs:
        for factor in term.factors:
            if factor.expr in frame.columns:
                check_numeric_lhs(factor.expr, frame[factor.expr])
    for f in extra_formulas:
        check_numeric(f, frame, outside="the bracketed instruments")


def check_identified(model: str, endogenous: list[str], instruments: list[str]) -> None:
    """IV takes as many instruments as endogenous regressors, TSLS at least as many."""
    ke, kz = len(endogenous), len(instruments)
    if model == "IV" and kz != ke:
        raise ValueError(f"iv is for exactly identified models: {kz} instruments ({', '.join(instruments)}) for "
                         f"{ke} endogenous regressors ({', '.join(endogenous)}); use tsls")
    if kz < ke:
        raise ValueError(f"{kz} instruments ({', '.join(instruments)}) cannot identify {ke} endogenous regressors "
                         f"({', '.join(endogenous)})")


def check_numeric(formula: str, frame: pd.DataFrame, *, outside: str) -> None:
    """A non-numeric column read as it is, not through C(), is refused: formulaic
    would silently turn it into dummies."""
    for term in parsed(formula).rhs if "~" in formula else parsed(formula):
        for factor in term.factors:
            _check_factor(factor, frame, outside)


def check_numeric_lhs(name: str, values: pd.Series) -> None:
    if not _numeric(values):
        raise ValueError(f"the dependent variable {name!r} is not numeric (dtype {values.dtype})")


def _check_factor(factor: Factor, frame: pd.DataFrame, where: str) -> None:
    if factor.eval_method != Factor.EvalMethod.LOOKUP:
        return
    name = factor.expr
    if name in frame.columns and not _numeric(frame[name]):
        raise ValueError(f"column {name!r} ({frame[name].dtype}) in {where} is not numeric: "
                         f"write C({name}) to use it as a categorical regressor")


def _numeric(values: pd.Series) -> bool:
    return pd.api.types.is_numeric_dtype(values) and not pd.api.types.is_bool_dtype(values)


def apply(encoding: Any, newdata: pd.DataFrame) -> np.ndarray:
    """The design of new rows under a fitted encoding; levels not seen in fitting are refused."""
    state: dict[str, Any] = encoding.encoder_state
    for expr, (_kind, detail) in state.items():
        levels = detail.get("categories") if isinstance(detail, dict) else None
        if levels is None:
            continue
        match = re.fullmatch(r"C\(\s*(\w+)\s*(?:,.*)?\)|(\w+)", expr)
        column = match and (match.group(1) or match.group(2))
        if column and column in newdata.columns:
            unseen = sorted(set(newdata[column].dropna().unique().tolist()) - set(levels), key=str)
            if unseen:
                shown = ", ".join(repr(v) for v in unseen[:10])
                raise ValueError(f"column {column!r} of newdata has levels not seen in fitting: {shown}")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", DataMismatchWarning)
            mm = encoding.get_model_matrix(newdata, na_action="raise")
    except DataMismatchWarning as warning:
        raise ValueError(f"newdata has categorical levels not seen in fitting: {warning}") from None
    except FormulaicError as error:
        raise ValueError(f"cannot build the design of newdata: {error}") from None
    return np.asarray(mm.to_numpy(dtype=np.float64))

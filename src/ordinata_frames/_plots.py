"""Pictures of results: estimates with their confidence intervals for one or several
models (`coefplot`), and the coefficients of one categorical term against its
levels, the reference level at zero (`iplot`). matplotlib is imported only when
a picture is drawn."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from ordinata_frames._results import Results

Orientation = Literal["horizontal", "vertical"]


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(f"the plots need matplotlib ({error}): install it with pip install 'ordinata[plots]'") from error
    return plt


def _axes(ax: Axes | None) -> Axes:
    plt = _pyplot()
    if ax is not None:
        return ax
    _, created = plt.subplots()
    out: Axes = created
    return out


def _models(models: Results | Sequence[Results] | Mapping[str, Results]) -> list[tuple[str, Results]]:
    from ordinata_frames._results import Results

    if isinstance(models, Results):
        return [(f"{models.model}: {models.dependent}", models)]
    if isinstance(models, Mapping):
        pairs = [(str(name), model) for name, model in models.items()]
    else:
        pairs = [(f"({i}) {model.model}" if isinstance(model, Results) else "", model)
                 for i, model in enumerate(models, 1)]
    if not pairs:
        raise ValueError("no model to plot")
    for _, model in pairs:
        if not isinstance(model, Results):
            raise TypeError(f"the models to plot are ordinata_frames Results, not {type(model).__name__}")
    return pairs


def _patterns(value: str | Sequence[str] | None, name: str) -> list[re.Pattern[str]]:
    patterns = [value] if isinstance(value, str) else list(value or [])
    try:
        return [re.compile(p) for p in patterns]
    except (re.error, TypeError) as error:
        raise ValueError(f"{name} takes regular expressions: {error}") from None


def _terms(pairs: list[tuple[str, Results]], keep: str | Sequence[str] | None,
           drop: str | Sequence[str] | None) -> list[str]:
    """The terms of every model in their first order, those matching a keep pattern
    (all without one) and no drop pattern."""
    kept, dropped = _patterns(keep, "keep"), _patterns(drop, "drop")
    terms = list(dict.fromkeys(name for _, model in pairs for name in model.names))
    chosen = [t for t in terms if (not kept or any(p.search(t) for p in kept)) and not any(p.search(t) for p in dropped)]
    if not chosen:
        raise ValueError(f"keep={keep!r} and drop={drop!r} leave none of the terms {terms}")
    return chosen


def _level_label(alpha: float) -> str:
    return f"{100 * (1 - alpha):g}% confidence interval"


def coefplot(models: Results | Sequence[Results] | Mapping[str, Results], *, alpha: float = 0.05,
             keep: str | Sequence[str] | None = None, drop: str | Sequence[str] | None = None,
             orientation: Orientation = "horizontal", ax: Axes | None = None) -> Axes:
    """Estimates as points and their 1 - alpha confidence intervals as lines, the
    models side by side within each term (a mapping names them in the legend).
    keep and drop are regular expressions searched in the terms' names.
    "horizontal" lays the terms down the vertical axis. Returns the Axes drawn on."""
    if orientation not in ("horizontal", "vertical"):
        raise ValueError(f"orientation must be 'horizontal' or 'vertical', not {orientation!r}")
    pairs = _models(models)
    terms = _terms(pairs, keep, drop)
    intervals = [model.confidence_intervals(alpha) for _, model in pairs]   # checks alpha first
    ax = _axes(ax)
    horizontal = orientation == "horizontal"
    width = 0.7 / len(pairs)
    base = np.arange(len(terms), dtype=np.float64)
    for j, ((name, model), ci) in enumerate(zip(pairs, intervals)):
        present = [t for t in terms if t in model.names]
        at = base[[terms.index(t) for t in present]] + (j - (len(pairs) - 1) / 2) * width
        estimates = model.coefficients[present].to_numpy()
        lower, upper = ci.loc[present, "lower"].to_numpy(), ci.loc[present, "upper"].to_numpy()
        color = f"C{j}"
        if horizontal:
            ax.hlines(at, lower, upper, colors=color, gid=f"interval:{name}")
            ax.plot(estimates, at, "o", color=color, label=name, gid=f"estimate:{name}")
        else:
            ax.vlines(at, lower, upper, colors=color, gid=f"interval:{name}")
            ax.plot(at, estimates, "o", color=color, label=name, gid=f"estimate:{name}")
    if horizontal:
        ax.axvline(0.0, color="grey", linestyle="--", linewidth=0.8, gid="zero")
        ax.set_yticks(base, labels=terms)
        ax.set_ylim(len(terms) - 0.5, -0.5)     # the first term on top
        ax.set_xlabel(f"Estimate and {_level_label(alpha)}")
    else:
        ax.axhline(0.0, color="grey", linestyle="--", linewidth=0.8, gid="zero")
        ax.set_xticks(base, labels=terms, rotation=45, ha="right")
        ax.set_xlim(-0.5, len(terms) - 0.5)
        ax.set_ylabel(f"Estimate and {_level_label(alpha)}")
    if len(pairs) > 1:
        ax.legend()
    return ax


# ---------------------------------------------------------------------------
# One categorical term against its levels.

@dataclass(frozen=True)
class _Level:
    name: str      # the coefficient's name
    text: str      # the level as the name spells it


def _split_interaction(name: str) -> list[str]:
    """A term's factors at the ":" outside parentheses and brackets."""
    parts, start, depth = [], 0, 0
    for i, ch in enumerate(name):
        if ch in "([":
            depth += 1
        elif ch in ")]":
            depth = max(depth - 1, 0)
        elif ch == ":" and depth == 0:
            parts.append(name[start:i])
            start = i + 1
    return [*parts, name[start:]]


def _squeeze(text: str) -> str:
    return re.sub(r"\s+", "", text)


def _levels_of(names: Sequence[str], term: str) -> tuple[str, list[_Level]]:
    """The factor expression of `term` and the coefficients that are its levels: the
    names that, with one factor's bracketed level taken out, read as the term."""
    wanted = _squeeze(term)
    factor = ""
    levels = []
    offered: dict[str, None] = {}
    for name in names:
        parts = _split_interaction(name)
        for i, part in enumerate(parts):
            match = re.fullmatch(r"(.*)\[([^\[\]]*)\]", part, flags=re.DOTALL)
            if match is None:
                continue
            key = ":".join([*parts[:i], match.group(1), *parts[i + 1:]])
            offered[key] = None
            if _squeeze(key) == wanted:
                factor, text = match.group(1), match.group(2)
                levels.append(_Level(name, text[2:] if text.startswith("T.") else text))
                break
    if not levels:
        listed = f": the categorical terms are {', '.join(offered)}" if offered else ": it has no categorical term"
        raise ValueError(f"no coefficient is a level of {term!r}{listed}")
    return factor, levels


def _categories(result: Results, factor: str) -> list[Any] | None:
    """The factor's levels in order, as the formula's encoding recorded them."""
    for encoding in result.predict_state.encodings:
        state = getattr(encoding, "encoder_state", {}).get(factor)
        if state is not None and isinstance(state[1], dict) and "categories" in state[1]:
            return list(state[1]["categories"])
    return None


def _numeric(values: Sequence[Any]) -> bool:
    return all(isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_))
               for v in values)


def iplot(result: Results, term: str, *, alpha: float = 0.05, reference: Any = None,
          ax: Axes | None = None) -> Axes:
    """The coefficients of one categorical term against its levels, each with its
    1 - alpha confidence interval, and the reference level (left out of the design)
    marked at zero: an event-study picture for term "C(t)" or
    "C(t, Treatment(reference=-1))", or an interaction such as "C(t):treated".
    The levels are taken from the formula's encoding (numbers on a numeric axis);
    `reference` names the reference level where the encoding does not say it.
    Returns the Axes drawn on."""
    factor, levels = _levels_of(result.names, term)
    ci = result.confidence_intervals(alpha)
    categories = _categories(result, factor)
    by_text = {str(c): c for c in categories} if categories is not None else {}
    values: list[Any] = [by_text.get(level.text, level.text) for level in levels]
    if reference is None and categories is not None:
        missing = [c for c in categories if str(c) not in {level.text for level in levels}]
        reference = missing[0] if len(missing) == 1 else None
    shown = [*values, *([] if reference is None else [reference])]
    order = [c for c in categories or [] if c in shown]
    order += [v for v in shown if v not in order]
    numeric = _numeric(order)

    def position(value: Any) -> float:
        return float(value) if numeric else float(order.index(value))

    ax = _axes(ax)
    ranked = sorted(zip(values, levels), key=lambda pair: position(pair[0]))
    x = np.array([position(v) for v, _ in ranked])
    names = [level.name for _, level in ranked]
    ax.axhline(0.0, color="grey", linestyle="--", linewidth=0.8, gid="zero")
    ax.vlines(x, ci.loc[names, "lower"].to_numpy(), ci.loc[names, "upper"].to_numpy(), colors="C0",
              gid="interval")
    ax.plot(x, result.coefficients[names].to_numpy(), "o", color="C0", label=term, gid="estimate")
    if reference is not None:
        ax.plot([position(reference)], [0.0], "o", markerfacecolor="white", color="C0",
                label=f"reference: {reference}", gid="reference")
        ax.legend()
    if not numeric:
        ax.set_xticks([position(v) for v in order], labels=[str(v) for v in order])
    elif all(float(v).is_integer() for v in order):
        from matplotlib.ticker import MaxNLocator

        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    variable = re.match(r"C\(\s*([^,()]+?)\s*[,)]", factor)
    ax.set_xlabel(variable.group(1) if variable else factor)
    ax.set_ylabel(f"Estimate and {_level_label(alpha)}")
    ax.set_title(term)
    return ax

"""Which formula terms a partition can build from its own rows.

A dask partition sees only its rows, so a term is fitted there only when each of
its values depends on its own row alone. This is decided by construction: every
factor's Python expression is walked and must consist of what is known to work
row by row (columns, constants, arithmetic and comparison operators, NumPy's
elementwise ufuncs, I(), Q(), C() of a column); anything else, a method of a
column (.mean(), .rank(), .shift()), a stateful transform or a function not
listed, is refused, before any pass over the data, with the term named.
"""

from __future__ import annotations

import ast
import functools
from collections.abc import Collection, Iterator, Mapping

import numpy as np
from formulaic import Formula  # type: ignore[import-untyped]
from formulaic.parser.types import Factor  # type: ignore[import-untyped]
from formulaic.transforms import TRANSFORMS  # type: ignore[import-untyped]
from formulaic.utils.code import sanitize_variable_names  # type: ignore[import-untyped]

_OPERATORS = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.FloorDiv, ast.Mod, ast.Pow, ast.BitAnd, ast.BitOr,
              ast.BitXor, ast.UAdd, ast.USub, ast.Invert, ast.Not, ast.Eq, ast.NotEq, ast.Lt, ast.LtE, ast.Gt,
              ast.GtE)
# formulaic's own names for NumPy ufuncs (log, exp, ...), and exp10, its 10 ** x.
_ELEMENTWISE = {name for name, f in TRANSFORMS.items() if isinstance(f, np.ufunc)} | {"exp10"}
_NUMPY = {"np", "numpy"}
# What C()'s arguments after the column may name: the contrasts, given by constants.
_CONTRASTS = {"contr", "Treatment", "Sum", "Helmert", "Poly", "Diff"}


class NotRowwise(ValueError):
    """A term whose values may depend on other rows; args: (term, the part that does)."""


@functools.lru_cache(maxsize=512)
def parsed(formula: str) -> Formula:
    """formulaic's parse of a formula, kept: a fit reads the same formula's terms several times, and
    parsing is most of a plan's cost."""
    return Formula(formula)


def factors(formula: str) -> Iterator[Factor]:
    """Every factor of every term of a formula, both sides."""
    whole = parsed(formula)
    for side in (whole.lhs, whole.rhs) if "~" in formula else (whole,):
        for term in side:
            yield from term.factors


def check(formula: str, columns: Collection[str]) -> None:
    """Refuse a formula with a term that is not known to work row by row."""
    for factor in factors(formula):
        if factor.eval_method == Factor.EvalMethod.PYTHON:
            try:
                _expression(*_parsed(factor.expr, columns))
            except NotRowwise as refusal:
                raise ValueError(
                    f"{factor.expr} in {formula!r} needs the whole column at once, or is not known to work row by "
                    f"row: {refusal.args[0]} is not offered on dask frames, whose partitions each see only their "
                    "own rows; compute the column on the dask frame first (ddf.assign) and use it as it is, or "
                    "fit the pandas frame in memory") from None
            except SyntaxError:
                raise ValueError(f"cannot parse the term {factor.expr!r} of {formula!r}") from None


def columns_read(expr: str, columns: Collection[str]) -> set[str]:
    """The columns a (row-wise) factor expression reads."""
    tree, names = _parsed(expr, columns)
    return {c for c in (_column(node, names) for node in ast.walk(tree)) if c is not None}


def categorical_column(expr: str, columns: Collection[str]) -> str | None:
    """The column of C(column, ...), else None."""
    node, names = _parsed(expr, columns)
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "C" and node.args:
        return _column(node.args[0], names)
    return None


def missing_only_with_its_column(expr: str) -> bool:
    """Whether a factor is C() or Q() of a column, missing where the column is and nowhere else."""
    node, _ = _parsed(expr, ())
    return isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in ("C", "Q")


def _parsed(expr: str, columns: Collection[str]) -> tuple[ast.expr, dict[str, str]]:
    """The expression's tree, its `quoted name` made a Python name as formulaic makes it,
    and the column each name in the tree stands for."""
    aliases: dict[str, str] = {}
    tree = ast.parse(sanitize_variable_names(expr, {}, aliases), mode="eval").body
    names = {c: c for c in columns}
    names.update((alias, name) for alias, name in aliases.items() if name in names)
    return tree, names


def _quoted(node: ast.AST) -> str | None:
    """The name inside Q('...')."""
    if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "Q"
            and len(node.args) == 1 and not node.keywords and isinstance(node.args[0], ast.Constant)
            and isinstance(node.args[0].value, str)):
        return node.args[0].value
    return None


def _column(node: ast.AST, columns: Mapping[str, str]) -> str | None:
    if isinstance(node, ast.Name) and node.id in columns:
        return columns[node.id]
    name = _quoted(node)
    return columns[name] if name is not None and name in columns else None


def _expression(node: ast.AST, columns: Mapping[str, str]) -> None:
    """Raise NotRowwise unless every value of node depends on its own row alone."""
    if isinstance(node, ast.Constant):
        return
    if isinstance(node, ast.Name):
        if node.id not in columns:
            raise NotRowwise(f"the name {node.id!r}, which is no column")
        return
    if isinstance(node, ast.BinOp) and isinstance(node.op, _OPERATORS):
        _expression(node.left, columns)
        _expression(node.right, columns)
        return
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, _OPERATORS):
        _expression(node.operand, columns)
        return
    if isinstance(node, ast.Compare) and all(isinstance(op, _OPERATORS) for op in node.ops):
        for part in [node.left, *node.comparators]:
            _expression(part, columns)
        return
    if isinstance(node, ast.Attribute) and _numpy_constant(node):
        return
    if isinstance(node, ast.Call):
        _call(node, columns)
        return
    raise NotRowwise(_shown(node))


def _call(node: ast.Call, columns: Mapping[str, str]) -> None:
    func = node.func
    if isinstance(func, ast.Name) and func.id == "Q":
        if _column(node, columns) is None:
            raise NotRowwise(f"{_shown(node)}, which names no column")
        return
    if isinstance(func, ast.Name) and func.id == "C":
        # The levels of C() come from the data, which on dask is read column by column.
        if not node.args or _column(node.args[0], columns) is None:
            raise NotRowwise(f"{_shown(node)}, whose first argument is not a column")
        for extra in [*node.args[1:], *(k.value for k in node.keywords)]:
            _contrast(extra)
        return
    if isinstance(func, ast.Name) and func.id == "I" and len(node.args) == 1 and not node.keywords:
        _expression(node.args[0], columns)
        return
    elementwise = (isinstance(func, ast.Name) and func.id in _ELEMENTWISE) or _numpy_ufunc(func, len(node.args))
    if elementwise and not node.keywords and all(not isinstance(a, ast.Starred) for a in node.args):
        for arg in node.args:
            _expression(arg, columns)
        return
    if isinstance(func, ast.Attribute) and not _numpy_name(func):
        raise NotRowwise(f"the method .{func.attr}() in {_shown(node)}")
    raise NotRowwise(f"{_shown(func)}()")


def _contrast(node: ast.AST) -> None:
    """C()'s other arguments: constants, their lists, and the contrasts built from them."""
    if isinstance(node, ast.Constant):
        return
    if isinstance(node, (ast.List, ast.Tuple, ast.Set)):
        for item in node.elts:
            _contrast(item)
        return
    if isinstance(node, ast.Name) and node.id in _CONTRASTS:
        return
    if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id == "contr":
        return
    if isinstance(node, ast.Call) and isinstance(node.func, (ast.Name, ast.Attribute)):
        _contrast(node.func)
        for arg in [*node.args, *(k.value for k in node.keywords)]:
            _contrast(arg)
        return
    raise NotRowwise(f"the argument {_shown(node)} of C()")


def _numpy_name(node: ast.AST) -> bool:
    return isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in _NUMPY


def _numpy_ufunc(node: ast.AST, arity: int) -> bool:
    """np.log, np.maximum, ...: a ufunc called with its inputs and nothing else."""
    if not _numpy_name(node):
        return False
    assert isinstance(node, ast.Attribute)
    f = getattr(np, node.attr, None)
    return isinstance(f, np.ufunc) and f.nin == arity


def _numpy_constant(node: ast.Attribute) -> bool:
    return _numpy_name(node) and isinstance(getattr(np, node.attr, None), float)


def _shown(node: ast.AST) -> str:
    return ast.unparse(node)

"""Random calls to every constructor, method and property of every class.

Only TypeError, ValueError, RuntimeError or AttributeError may escape, the
interpreter must survive, and an object must stay usable after any failure.
The classes are discovered from the module, and argument kinds are inferred
from the parameter names, so new classes are covered without changes here.
ORDINATA_FUZZ_EXAMPLES sets the budget per test (make fuzz raises it).
"""

import contextlib
import faulthandler
import inspect
import os
import re
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).parents[1]))
from problems import CLASSES, params, values
from state import assert_same, snapshot

EXAMPLES = int(os.environ.get("ORDINATA_FUZZ_EXAMPLES", "150"))


class Boom(Exception):
    """Raised by argument callbacks; it must pass through unchanged."""


ALLOWED = (TypeError, ValueError, RuntimeError, AttributeError, Boom)


def members(cls):
    public = {name: value for name, value in vars(cls).items() if not name.startswith("__")}
    props = [name for name, value in public.items() if inspect.isgetsetdescriptor(value)]
    return {name: params(value) for name, value in public.items() if name not in props}, props


def valid_args(names, **kw):
    """Arguments that a fit or predict of any class accepts (exact: as many
    instruments as regressors)."""
    v = values(n=kw.pop("n", 30), p=kw.pop("p", 2), **kw)
    return [v[name] for name in names]


class Raising:
    def __float__(self):
        raise Boom("no float")

    __bool__ = __index__ = __float__


floats = st.sampled_from([0.0, -0.0, 1.0, -1.0, 1e308, -1e308, 5e-324, np.nan, np.inf, -np.inf, 1e-300, 3.5])
dtypes = st.sampled_from([np.float64, np.float64, np.float64, np.float32, np.int64, np.int32, ">f8", np.complex128,
                          np.bool_, object])
shapes = st.one_of(st.just(()), st.tuples(st.integers(0, 12)), st.tuples(st.integers(0, 12), st.integers(0, 5)),
                   st.tuples(st.integers(0, 3), st.integers(0, 3), st.integers(0, 3)))


@st.composite
def arrays(draw):
    shape, dtype = draw(shapes), draw(dtypes)
    size = int(np.prod(shape))
    with np.errstate(all="ignore"):
        if dtype is np.int64 and draw(st.booleans()):
            arr = np.array(draw(st.lists(st.integers(-2**63, 2**63 - 1), min_size=size, max_size=size)), np.int64)
        else:
            arr = np.array(draw(st.lists(floats, min_size=size, max_size=size)), dtype=np.float64).astype(dtype)
    arr = arr.reshape(shape)
    if arr.ndim >= 1 and arr.shape[0] > 1 and draw(st.booleans()):
        arr = arr[::-1]
    if arr.ndim == 2 and draw(st.booleans()):
        arr = np.asfortranarray(arr)
    return arr


def anything(owner):
    """Any argument value, including ones that call back into the owner."""

    class Reenter:
        def __float__(self):
            for name in ("fit", "covariance_matrix", "summary"):
                with contextlib.suppress(ALLOWED):
                    getattr(owner[0], name)()
            return 0.05

        def __bool__(self):
            repr(owner[0])
            return True

    return st.one_of(arrays(), floats, st.none(), st.booleans(), st.integers(-5, 5), st.text(max_size=3),
                     st.just([[1.0, 2.0]]), st.just(Raising()), st.just(Reenter()),
                     st.just(np.bool_(True)), st.just(np.float64(0.2)))


def check_usable(cls, ctor_args, obj, methods):
    if "fit" not in methods:
        return
    args = valid_args(methods["fit"], exact=cls.__name__ == "IV")
    try:
        obj.fit(*args)
    except ALLOWED as err:
        failure = err
    else:
        failure = None
    if failure is not None:
        # The configuration alone may rule fitting out (a negative Ridge
        # penalty): then a fresh object built alike must fail the same way.
        with pytest.raises(type(failure), match=f"^{re.escape(str(failure))}$"):
            cls(*ctor_args).fit(*args)
        return
    assert obj.is_fitted()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_random_calls(cls, data):
    methods, props = members(cls)
    owner = [None]
    ctor_args = data.draw(st.lists(st.one_of(st.booleans(), anything(owner)),
                                   max_size=len(inspect.signature(cls).parameters) + 1))
    try:
        obj = cls(*ctor_args)
    except ALLOWED:
        ctor_args = []
        obj = cls()
    owner[0] = obj
    if data.draw(st.booleans()) and "fit" in methods:
        with contextlib.suppress(ALLOWED):
            obj.fit(*valid_args(methods["fit"], n=data.draw(st.integers(8, 40)), p=data.draw(st.integers(1, 3))))
    for _ in range(data.draw(st.integers(1, 4))):
        name = data.draw(st.sampled_from(sorted(methods) + props + ["not_a_member"]))
        try:
            if name in methods:
                names = methods[name]
                if data.draw(st.booleans()):
                    args = valid_args(names, n=data.draw(st.integers(0, 12)), p=data.draw(st.integers(0, 4)))
                    if args and data.draw(st.booleans()):
                        i = data.draw(st.integers(0, len(args) - 1))
                        args[i] = data.draw(anything(owner))
                else:
                    args = data.draw(st.lists(anything(owner), max_size=len(names) + 1))
                if data.draw(st.booleans()) and args:
                    getattr(obj, name)(**dict(zip(names, args)), **({"bogus": 1} if data.draw(st.booleans()) else {}))
                else:
                    getattr(obj, name)(*args)
            elif data.draw(st.booleans()):
                setattr(obj, name, 1.0)
            else:
                getattr(obj, name)
        except ALLOWED:
            pass
    check_usable(cls, ctor_args, obj, methods)


# A fit must return within this many seconds; a hang inside native code
# (which no signal can interrupt) ends the run with a traceback instead.
CALL_LIMIT = 60


@st.composite
def hostile_fit_args(draw, names):
    """Valid fit arguments with one of them spoilt: a NaN or infinity, a
    mask, a collinear or constant column, a wrong length."""
    n = draw(st.integers(2, 40))
    args = valid_args(names, n=n, p=draw(st.integers(1, 3)), seed=draw(st.integers(0, 2**16)))
    i = draw(st.sampled_from([k for k, a in enumerate(args) if isinstance(a, np.ndarray)]))
    a = args[i].copy()
    how = draw(st.sampled_from(["nonfinite", "masked", "collinear", "constant", "short"]))
    if how == "nonfinite" and a.dtype == np.float64:
        a.flat[draw(st.integers(0, a.size - 1))] = draw(st.sampled_from([np.nan, np.inf, -np.inf]))
    elif how == "masked":
        a = np.ma.array(a, mask=np.zeros(a.shape, bool))
        a.mask.flat[draw(st.integers(0, a.size - 1))] = True
    elif how == "collinear" and a.ndim == 2 and a.shape[1] >= 2:
        a[:, -1] = 0.5 * a[:, 0]
    elif how == "constant" and a.dtype == np.float64:
        a[...] = 2.0
    elif how == "short":
        a = a[:-1]
    args[i] = a
    return args


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_hostile_refits_change_nothing_or_succeed(cls, data):
    methods, _ = members(cls)
    names = methods["fit"]
    obj = cls()
    if data.draw(st.booleans()):
        obj.fit(*valid_args(names, exact=cls.__name__ == "IV"))
    predict_args = valid_args(methods["predict"], n=4, p=2)
    before = snapshot(obj, predict_args)
    faulthandler.dump_traceback_later(CALL_LIMIT, exit=True)
    try:
        obj.fit(*data.draw(hostile_fit_args(names)))
    except (TypeError, ValueError, RuntimeError):
        assert_same(snapshot(obj, predict_args), before)
    else:
        assert obj.is_fitted()
        for v in (obj.coefficients, obj.standard_errors()):
            assert np.isfinite(v).all()
    finally:
        faulthandler.cancel_dump_traceback_later()

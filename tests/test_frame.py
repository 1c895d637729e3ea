"""The Python-facing frame: module shape, argument parsing and conversion,
borrow conflicts and result ownership."""

import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ordinata
from ordinata import OLS
from problems import CLASSES, fit_kwargs, fitted, predict

X, Y = fit_kwargs(OLS).values()
# The (deliberately differing) exception and message of predict before fit; the signatures are the
# stubs', which test_typing holds against the module.
UNFITTED = {"OLS": (RuntimeError, "Model not fitted. Call fit() first."),
            "Ridge": (RuntimeError, "Model not fitted. Call fit() first."),
            "WLS": (ValueError, "Model must be fitted before making predictions"), "GLS": (RuntimeError, "Model not fitted"),
            "IV": (ValueError, "Model not fitted"), "TSLS": (ValueError, "Model not fitted"),
            "FE": (RuntimeError, "Model not fitted. Call fit() first.")}


@pytest.mark.parametrize("name", ordinata.__all__)
def test_every_class_has_an_unfitted_state(name):
    # A class added to the module without an entry here fails.
    cls = getattr(ordinata, name)
    kind, message = UNFITTED[name]
    m = cls()
    assert m.is_fitted() is False
    for attr, value in vars(cls).items():
        if inspect.isgetsetdescriptor(value) and attr not in {"fit_intercept", "robust", "alpha"}:
            assert getattr(m, attr) is None, attr
    for meth in ("standard_errors", "t_statistics", "p_values", "confidence_intervals", "covariance_matrix"):
        if callable(getattr(m, meth, None)):
            assert getattr(m, meth)() is None, meth
    with pytest.raises(kind) as exc:
        m.predict(*[np.ones((2, 1)), np.ones(2, np.int64)][: 2 if name == "FE" else 1])
    assert str(exc.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda m: m.fit(X), "OLS.fit() missing 1 required positional argument: 'y'"),
    (lambda m: m.fit(), "OLS.fit() missing 2 required positional arguments: 'x' and 'y'"),
    (lambda m: ordinata.IV().fit(),
     "IV.fit() missing 3 required positional arguments: 'instruments', 'regressors', and 'targets'"),
    (lambda m: m.summary(1), "OLS.summary() takes no arguments (1 given)"),
    (lambda m: m.predict(X, X), "OLS.predict() takes 1 positional arguments but 2 were given"),
    (lambda m: m.fit(X, y=Y, z=1), "OLS.fit() got an unexpected keyword argument 'z'"),
    (lambda m: m.fit(X, x=X), "OLS.fit() got multiple values for argument 'x'"),
    (lambda m: m.confidence_intervals(0.1, 0.2),
     "OLS.confidence_intervals() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda m: OLS(True, False, True), "OLS.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda m: OLS(True, fit_intercept=True), "OLS.__new__() got multiple values for argument 'fit_intercept'"),
    # Arrays of another type, dtype, byte order or dimension; flags that are not bools.
    *[(lambda m, x=x, y=y: m.fit(x, np.ones(4) if y is None else y), f"argument '{arg}': '{name}' object cannot be "
       "converted to 'PyArray<T, D>'") for x, y, arg, name in [
        ([[1.0, 2.0]], None, "x", "list"), (np.ones((4, 2), dtype=np.int64), None, "x", "ndarray"),
        (np.ones((4, 2), dtype=">f8"), None, "x", "ndarray"), (np.ones(4), None, "x", "ndarray"),
        (None, None, "x", "NoneType"), (np.ones((4, 2)), np.ones((4, 1)), "y", "ndarray"),
        (np.ones((4, 2)), np.ones(4, dtype=np.float32), "y", "ndarray")]],
    *[(lambda m, v=v: OLS(fit_intercept=v), f"argument 'fit_intercept': '{type(v).__name__}' object cannot be "
       "converted to 'PyBool'") for v in (1, 0, None, "yes", 1.0)],
])
def test_parse_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call(OLS())
    assert str(exc.value) == message
    assert OLS(robust=True).robust is True and OLS(robust=np.bool_(False)).robust is False


def test_number_conversion():
    m = fitted(OLS)
    np.testing.assert_array_equal(m.confidence_intervals(1), m.confidence_intervals(1.0))
    np.testing.assert_array_equal(m.confidence_intervals(np.float32(0.5)), m.confidence_intervals(0.5))
    assert ordinata.Ridge(np.float32(2)).alpha == 2.0 and ordinata.Ridge(3).alpha == 3.0
    for call in (lambda: m.confidence_intervals(None), lambda: m.confidence_intervals("0.1"),
                 lambda: ordinata.Ridge(alpha=None)):
        with pytest.raises(TypeError, match=r"^argument 'alpha': "):
            call()

    class Bad:
        def __float__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):  # not a TypeError: passes unchanged
        m.confidence_intervals(Bad())


def test_reentrant_call_is_refused_and_flag_released():
    m, seen = fitted(OLS), []

    class Reenter:
        def __float__(self):
            try:
                m.fit(X, Y)
            except RuntimeError as e:
                seen.append(str(e))
            return 0.05

    m.confidence_intervals(Reenter())
    assert seen == ["Already borrowed"]
    m.fit(X, Y)  # the flag was released


def layout(a, kind):
    if a.ndim == 1:  # every vector is read through a reversed view
        return np.ascontiguousarray(a[::-1])[::-1]
    if kind == "misaligned":
        odd = np.zeros(a.size * 8 + 1, dtype=np.uint8)[1:].view(np.float64).reshape(a.shape)
        odd[...] = a
        return odd
    big = np.zeros((a.shape[0] * 2, a.shape[1] * 3))
    big[::2, ::3] = a
    return {"fortran": np.asfortranarray(a), "reversed": np.ascontiguousarray(a[::-1])[::-1],
            "reversed columns": np.ascontiguousarray(a[:, ::-1])[:, ::-1], "strided": big[::2, ::3],
            "transposed": np.ascontiguousarray(a.T).T}[kind]


@pytest.mark.parametrize("kind", ["fortran", "reversed", "reversed columns", "strided", "transposed", "misaligned"])
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_any_layout_gives_the_contiguous_fit(cls, kind):
    kw = fit_kwargs(cls, n=50, p=4)
    views = {k: layout(v, kind) for k, v in kw.items()}
    before = {k: v.copy() for k, v in views.items()}
    ref, m = cls(), cls()
    ref.fit(**kw)
    m.fit(**views)
    np.testing.assert_allclose(m.coefficients, ref.coefficients, rtol=1e-13)
    x, ids = views.get("x", views.get("regressors")), views.get("entity_id")
    np.testing.assert_allclose(predict(m, x, ids), predict(ref, np.ascontiguousarray(x), ids), rtol=1e-13)
    for k, v in views.items():
        np.testing.assert_array_equal(v, before[k])


def test_inputs_are_never_written_nor_results_shared():
    x, y = X.copy(), Y.copy()
    x.flags.writeable = y.flags.writeable = False  # a write would raise
    m = OLS(robust=True)
    m.fit(x, y)
    m.predict(x)
    a = m.coefficients
    a[:] = 99.0
    m.covariance_matrix()[:] = 0
    assert m.coefficients[0] != 99.0 and m.covariance_matrix().any()


def test_attributes_are_read_only_without_an_instance_dict():
    for attr in ["coefficients", "mse", "robust", "nonexistent"]:
        with pytest.raises(AttributeError):
            setattr(OLS(), attr, 1.0)
    assert not hasattr(OLS(), "__dict__")


def run_apart(code):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_module_holds_its_own_reference_to_each_class():
    # Deleting the module's name drops exactly the module's reference; the
    # class stays whole for the caller's and its instances' references.
    out = run_apart("""
        import gc, sys, numpy as np, ordinata
        for name in list(ordinata.__all__):
            cls = getattr(ordinata, name)
            before = sys.getrefcount(cls)
            delattr(ordinata, name)
            gc.collect()
            assert sys.getrefcount(cls) == before - 1, name
            obj = cls()
            del cls
            gc.collect()
            assert type(obj).__name__ == name and not obj.is_fitted()
        print("ok")
    """)
    assert out == "ok"


@pytest.mark.parametrize("main_first", [True, False])
def test_sub_interpreters_are_refused_and_the_main_one_is_not(main_first):
    pytest.importorskip("_xxsubinterpreters", reason="no sub-interpreter API in this Python")
    out = run_apart(f"""
        import _xxsubinterpreters as si
        {"import ordinata" if main_first else ""}
        i = si.create(isolated=False)  # a legacy interpreter may load single-phase modules at all
        try:
            si.run_string(i, "import ordinata")
        except si.RunFailedError as e:
            print(e)
        import ordinata
        print(ordinata.OLS().fit_intercept)
    """)
    assert out == ("<class 'ImportError'>: ordinata does not support sub-interpreters: "
                   "import it in the main interpreter\nTrue")

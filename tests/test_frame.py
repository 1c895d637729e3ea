"""The Python-facing frame: module shape, argument parsing and conversion,
borrow conflicts and result ownership."""

import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ordinata
from ordinata import OLS

SANITIZED = bool(os.environ.get("ORDINATA_SANITIZED"))


def data(n=40, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x @ np.arange(1.0, p + 1) + 0.5 + rng.normal(size=n)
    return x, y


SIGNATURES = {
    "OLS": ("(fit_intercept=True, robust=False)", "($self, x, y)"),
    "Ridge": ("(alpha=1.0, fit_intercept=True)", "($self, x, y)"),
    "WLS": ("(fit_intercept=True)", "($self, x, y, weights)"),
    "GLS": ("(fit_intercept=True)", "($self, x, y, sigma)"),
    "IV": ("(fit_intercept=True)", "($self, instruments, regressors, targets)"),
    "TSLS": ("(fit_intercept=True)", "($self, instruments, regressors, targets)"),
    "FE": ("(robust=False)", "($self, x, y, entity_id)"),
}
# (exception, message) of predict before fit; the kinds differ on purpose.
def test_module_shape():
    # Every class is present, in registration order, and every name in
    # __all__ is a class: a class added is checked too, one lost fails.
    assert ordinata.__doc__ == "Python module definition"
    assert [c for c in ordinata.__all__ if c in SIGNATURES] == ["OLS", "GLS", "WLS", "Ridge", "IV", "TSLS", "FE"]
    for name in ordinata.__all__:
        cls = getattr(ordinata, name)
        assert isinstance(cls, type) and cls.__name__ == name


NOT_FITTED = {
    "OLS": (RuntimeError, "Model not fitted. Call fit() first."),
    "Ridge": (RuntimeError, "Model not fitted. Call fit() first."),
    "WLS": (ValueError, "Model must be fitted before making predictions"),
    "GLS": (RuntimeError, "Model not fitted"),
    "IV": (ValueError, "Model not fitted"),
    "TSLS": (ValueError, "Model not fitted"),
    "FE": (RuntimeError, "Model not fitted. Call fit() first."),
}
SETTINGS = {"fit_intercept", "robust", "alpha"}


@pytest.mark.parametrize("name", ordinata.__all__)
def test_every_class_has_its_signatures_and_an_unfitted_state(name):
    cls = getattr(ordinata, name)
    assert (cls.__text_signature__, cls.fit.__text_signature__) == SIGNATURES[name]
    m = cls()
    assert m.is_fitted() is False
    for attr, value in vars(cls).items():
        if inspect.isgetsetdescriptor(value) and attr not in SETTINGS:
            assert getattr(m, attr) is None, attr
    for meth in ("standard_errors", "t_statistics", "p_values", "confidence_intervals", "covariance_matrix"):
        if callable(getattr(m, meth, None)):
            assert getattr(m, meth)() is None, meth
    kind, message = NOT_FITTED[name]
    with pytest.raises(kind) as exc:
        m.predict(*[np.ones((2, 1)), np.ones(2, np.int64)][: 2 if name == "FE" else 1])
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m, x, y: m.fit(x), "OLS.fit() missing 1 required positional argument: 'y'"),
        (lambda m, x, y: m.fit(), "OLS.fit() missing 2 required positional arguments: 'x' and 'y'"),
        (lambda m, x, y: ordinata.IV().fit(),
         "IV.fit() missing 3 required positional arguments: 'instruments', 'regressors', and 'targets'"),
        (lambda m, x, y: m.summary(1), "OLS.summary() takes no arguments (1 given)"),
        (lambda m, x, y: m.predict(x, x), "OLS.predict() takes 1 positional arguments but 2 were given"),
        (lambda m, x, y: m.fit(x, y=y, z=1), "OLS.fit() got an unexpected keyword argument 'z'"),
        (lambda m, x, y: m.fit(x, x=x), "OLS.fit() got multiple values for argument 'x'"),
        (lambda m, x, y: m.confidence_intervals(0.1, 0.2),
         "OLS.confidence_intervals() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda m, x, y: OLS(True, False, True), "OLS.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda m, x, y: OLS(True, fit_intercept=True), "OLS.__new__() got multiple values for argument 'fit_intercept'"),
    ],
)
def test_parse_errors(call, message):
    x, y = data()
    with pytest.raises(TypeError) as exc:
        call(OLS(), x, y)
    assert str(exc.value) == message


ARRAY_ERR = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "x_value, y_value, arg, tname",
    [
        ([[1.0, 2.0]], None, "x", "list"),
        (np.ones((4, 2), dtype=np.int64), None, "x", "ndarray"),
        (np.ones((4, 2), dtype=">f8"), None, "x", "ndarray"),
        (np.ones(4), None, "x", "ndarray"),
        (None, None, "x", "NoneType"),
        (np.ones((4, 2)), np.ones((4, 1)), "y", "ndarray"),
        (np.ones((4, 2)), np.ones(4, dtype=np.float32), "y", "ndarray"),
    ],
)
def test_array_conversion_errors(x_value, y_value, arg, tname):
    y = np.ones(4) if y_value is None and arg == "x" else y_value
    with pytest.raises(TypeError) as exc:
        OLS().fit(x_value, y)
    assert str(exc.value) == ARRAY_ERR.format(arg, tname)


@pytest.mark.parametrize("value, result", [(True, True), (np.bool_(False), False), (1, "int"), (0, "int"),
                                           (None, "NoneType"), ("yes", "str"), (1.0, "float")])
def test_flags_take_bools_only(value, result):
    if isinstance(result, bool):
        assert OLS(robust=value).robust is result
        return
    with pytest.raises(TypeError) as exc:
        OLS(fit_intercept=value)
    assert str(exc.value) == f"argument 'fit_intercept': '{result}' object cannot be converted to 'PyBool'"


def test_number_conversion():
    x, y = data(n=60)
    m = OLS()
    m.fit(x, y)
    np.testing.assert_array_equal(m.confidence_intervals(1), m.confidence_intervals(1.0))
    np.testing.assert_array_equal(m.confidence_intervals(np.float32(0.5)), m.confidence_intervals(0.5))
    for bad in (None, "0.1"):
        with pytest.raises(TypeError, match="^argument 'alpha': "):
            m.confidence_intervals(bad)

    class Bad:
        def __float__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):  # not a TypeError: passes unchanged
        m.confidence_intervals(Bad())


def test_reentrant_call_is_refused_and_flag_released():
    x, y = data(n=60)
    m = OLS()
    m.fit(x, y)
    seen = []

    class Reenter:
        def __float__(self):
            try:
                m.fit(x, y)
            except RuntimeError as e:
                seen.append(str(e))
            return 0.05

    m.confidence_intervals(Reenter())
    assert seen == ["Already borrowed"]
    m.fit(x, y)  # the flag was released


def layouts(x):
    f = np.asfortranarray(x)
    rev = np.ascontiguousarray(x[::-1])[::-1]
    big = np.zeros((x.shape[0] * 2, x.shape[1] * 3))
    big[::2, ::3] = x
    odd = np.zeros(x.size * 8 + 1, dtype=np.uint8)[1:].view(np.float64).reshape(x.shape)  # misaligned
    odd[...] = x
    return {"fortran": f, "reversed": rev, "strided": big[::2, ::3], "transposed": np.ascontiguousarray(x.T).T,
            "misaligned": odd}


@pytest.mark.parametrize("layout", ["fortran", "reversed", "strided", "transposed", "misaligned"])
def test_any_layout_gives_the_contiguous_fit(layout):
    x, y = data(n=50, p=4)
    ref = OLS()
    ref.fit(x, y)
    xv = layouts(x)[layout]
    yv = np.ascontiguousarray(y[::-1])[::-1]
    before = xv.copy()
    m = OLS()
    m.fit(xv, yv)
    np.testing.assert_allclose(m.coefficients, ref.coefficients, rtol=1e-13)
    np.testing.assert_allclose(m.predict(xv), ref.predict(x), rtol=1e-13)
    np.testing.assert_array_equal(xv, before)


def test_inputs_are_never_written_nor_results_shared():
    x, y = data()
    x.flags.writeable = y.flags.writeable = False  # a write would raise
    m = OLS(robust=True)
    m.fit(x, y)
    m.predict(x)
    a = m.coefficients
    a[:] = 99.0
    m.covariance_matrix()[:] = 0
    assert m.coefficients[0] != 99.0 and m.covariance_matrix().any()


@pytest.mark.parametrize("attr", ["coefficients", "mse", "robust", "nonexistent"])
def test_attributes_are_read_only(attr):
    m = OLS()
    with pytest.raises(AttributeError):
        setattr(m, attr, 1.0)


def test_no_instance_dict_and_reimport_gives_the_same_module():
    import importlib

    assert not hasattr(OLS(), "__dict__")
    assert importlib.import_module("ordinata") is ordinata


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


def test_sub_interpreters_are_refused():
    pytest.importorskip("_xxsubinterpreters", reason="no sub-interpreter API in this Python")
    out = run_apart("""
        import _xxsubinterpreters as si, ordinata
        i = si.create(isolated=False)  # a legacy interpreter may load single-phase modules at all
        try:
            si.run_string(i, "import ordinata")
        except si.RunFailedError as e:
            print(e)
    """)
    assert out == ("<class 'ImportError'>: ordinata does not support sub-interpreters: "
                   "it can only be imported once per process")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer aborts on impossible allocations instead of failing them")
@pytest.mark.parametrize("name", ["OLS", "Ridge", "WLS", "IV", "TSLS", "FE"])  # GLS: no such Sigma can exist
def test_a_fit_too_large_for_memory_raises_at_once(name):
    # 2**58 rows as broadcast views: no n-row buffer can exist, and the fit
    # says so before it reads the input (a scan would never end).
    n = 2**58
    x, v = np.broadcast_to(np.ones(3), (n, 3)), np.broadcast_to(np.ones(1), (n,))
    args = {"WLS": (x, v, v), "IV": (x, x, v), "TSLS": (x, x, v),
            "FE": (x, v, np.broadcast_to(np.arange(1), (n,)))}.get(name, (x, v))
    with pytest.raises(MemoryError, match="^Cannot allocate "):
        getattr(ordinata, name)().fit(*args)
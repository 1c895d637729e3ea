"""The Python-facing frame: module shape, argument parsing and conversion,
borrow conflicts and result ownership."""

import inspect

import numpy as np
import pytest

import ordinata
from ordinata import OLS


def data(n=40, p=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x @ np.arange(1.0, p + 1) + 0.5 + rng.normal(size=n)
    return x, y


def test_module_shape():
    assert ordinata.__doc__ == "Python module definition"
    assert ordinata.__all__[0] == "OLS"
    for name in ordinata.__all__:
        assert isinstance(getattr(ordinata, name), type)
    expected_order = ["OLS", "GLS", "WLS", "Ridge", "IV", "TSLS", "FE"]
    assert ordinata.__all__ == [c for c in expected_order if c in ordinata.__all__]


def test_signatures_and_docs():
    assert str(inspect.signature(OLS)) == "(fit_intercept=True, robust=False)"
    assert OLS.fit.__text_signature__ == "($self, x, y)"
    assert OLS.confidence_intervals.__text_signature__ == "($self, alpha=0.05)"
    assert OLS.summary.__text_signature__ == "($self)"
    assert OLS.predict.__doc__ == "Make predictions using the fitted OLS model - optimized for performance"
    assert OLS.summary.__doc__ == "Generate a summary of the model results"
    assert not OLS.__doc__
    assert not OLS.fit.__doc__


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m, x, y: m.fit(x), "OLS.fit() missing 1 required positional argument: 'y'"),
        (lambda m, x, y: m.fit(), "OLS.fit() missing 2 required positional arguments: 'x' and 'y'"),
        (lambda m, x, y: m.fit(x, y, y), "OLS.fit() takes 2 positional arguments but 3 were given"),
        (lambda m, x, y: m.predict(x, x), "OLS.predict() takes 1 positional arguments but 2 were given"),
        (lambda m, x, y: m.fit(x, y=y, z=1), "OLS.fit() got an unexpected keyword argument 'z'"),
        (lambda m, x, y: m.fit(x, x=x), "OLS.fit() got multiple values for argument 'x'"),
        (lambda m, x, y: m.confidence_intervals(0.1, 0.2),
         "OLS.confidence_intervals() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda m, x, y: OLS(True, False, True), "OLS.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda m, x, y: OLS(fit_intercept=True, robust=True, other=1),
         "OLS.__new__() got an unexpected keyword argument 'other'"),
        (lambda m, x, y: OLS(True, fit_intercept=True), "OLS.__new__() got multiple values for argument 'fit_intercept'"),
    ],
)
def test_parse_errors(call, message):
    x, y = data()
    with pytest.raises(TypeError) as exc:
        call(OLS(), x, y)
    assert str(exc.value) == message


def test_missing_three_names_use_oxford_comma():
    if "IV" not in ordinata.__all__:
        pytest.skip("IV not registered")
    with pytest.raises(TypeError) as exc:
        ordinata.IV().fit()
    assert str(exc.value) == (
        "IV.fit() missing 3 required positional arguments: 'instruments', 'regressors', and 'targets'"
    )


ARRAY_ERR = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "x_value, y_value, arg, tname",
    [
        ([[1.0, 2.0]], None, "x", "list"),
        (np.ones((4, 2), dtype=np.int64), None, "x", "ndarray"),
        (np.ones((4, 2), dtype=np.float32), None, "x", "ndarray"),
        (np.ones((4, 2), dtype=">f8"), None, "x", "ndarray"),
        (np.ones(4), None, "x", "ndarray"),
        (np.ones((4, 2, 1)), None, "x", "ndarray"),
        (None, None, "x", "NoneType"),
        (np.ones((4, 2)), np.ones((4, 1)), "y", "ndarray"),
        (np.ones((4, 2)), [1.0, 2.0, 3.0, 4.0], "y", "list"),
        (np.ones((4, 2)), np.ones(4, dtype=np.float32), "y", "ndarray"),
    ],
)
def test_array_conversion_errors(x_value, y_value, arg, tname):
    y = np.ones(4) if y_value is None and arg == "x" else y_value
    with pytest.raises(TypeError) as exc:
        OLS().fit(x_value, y)
    assert str(exc.value) == ARRAY_ERR.format(arg, tname)


@pytest.mark.parametrize("value, tname", [(1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float")])
def test_flag_rejects_non_bools(value, tname):
    with pytest.raises(TypeError) as exc:
        OLS(fit_intercept=value)
    assert str(exc.value) == f"argument 'fit_intercept': '{tname}' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("value, expected", [(True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False)])
def test_flag_accepts_bools(value, expected):
    assert OLS(robust=value).robust is expected


def test_number_conversion():
    x, y = data(n=60)
    m = OLS()
    m.fit(x, y)
    np.testing.assert_array_equal(m.confidence_intervals(1), m.confidence_intervals(1.0))
    np.testing.assert_array_equal(m.confidence_intervals(np.float32(0.5)), m.confidence_intervals(0.5))
    with pytest.raises(TypeError) as exc:
        m.confidence_intervals(alpha=None)
    assert str(exc.value).startswith("argument 'alpha': ")
    with pytest.raises(TypeError) as exc:
        m.confidence_intervals("0.1")
    assert str(exc.value).startswith("argument 'alpha': ")

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

    class Raise:
        def __float__(self):
            m.fit(x, y)
            return 0.05

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m.confidence_intervals(Raise())
    assert m.covariance_matrix() is not None  # released after the failure too


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


def test_inputs_are_never_written_or_kept():
    x, y = data()
    x.flags.writeable = False
    y.flags.writeable = False
    m = OLS(robust=True)
    m.fit(x, y)
    m.predict(x)
    x2 = x.copy()
    m2 = OLS()
    m2.fit(x2, y)
    coef = m2.coefficients
    x2[:] = 0  # the estimator kept its own copy
    np.testing.assert_array_equal(m2.coefficients, coef)


def test_results_are_fresh_arrays():
    x, y = data()
    m = OLS()
    m.fit(x, y)
    a, b = m.coefficients, m.coefficients
    assert a is not b
    a[:] = 99.0
    assert not np.array_equal(m.coefficients, a)
    c1 = m.covariance_matrix()
    c1[:] = 0
    assert m.covariance_matrix().any()
    assert m.residuals.flags.owndata and m.residuals.dtype == np.float64


@pytest.mark.parametrize("attr", ["coefficients", "mse", "robust", "nonexistent"])
def test_attributes_are_read_only(attr):
    m = OLS()
    with pytest.raises(AttributeError):
        setattr(m, attr, 1.0)


def test_no_instance_dict_and_no_arguments_for_plain_methods():
    m = OLS()
    assert not hasattr(m, "__dict__")
    with pytest.raises(TypeError):
        m.summary(1)
    with pytest.raises(TypeError):
        m.is_fitted(x=1)


def test_reimport_returns_same_module():
    import importlib

    assert importlib.import_module("ordinata") is ordinata

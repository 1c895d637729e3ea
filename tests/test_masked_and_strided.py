"""What every class does with unusual array inputs: masked arrays are
refused, broadcast views are predicted on without a dense copy (strided ones
are in test_inputs), and an input or output that cannot exist raises a
MemoryError that says why."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from problems import CLASSES, fit_kwargs, fitted, predict

ARRAY_ERR = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"
SANITIZED = bool(os.environ.get("ORDINATA_SANITIZED"))
NAMED = {"ids": lambda c: c.__name__}


class MaskedSub(np.ma.MaskedArray):
    pass


@pytest.mark.parametrize("cls", CLASSES, **NAMED)
def test_fit_and_predict_refuse_masked_arrays(cls):
    model, kw = fitted(cls), fit_kwargs(cls)
    for arg in kw:  # nothing even masked
        args = {**kw, arg: np.ma.masked_array(kw[arg], mask=np.zeros(kw[arg].shape, bool))}
        with pytest.raises(TypeError) as exc:
            cls().fit(**args)
        assert str(exc.value) == ARRAY_ERR.format(arg, "MaskedArray")
    arg = "regressors" if "regressors" in kw else "x"
    x, ids = kw[arg], np.zeros(len(kw[arg]), np.int64)
    calls = [(arg, x.view(MaskedSub), ids), (arg, np.ma.masked_array(x, mask=x > 1.0), ids)]
    if cls.__name__ == "FE":
        calls.append(("entity_id", x, np.ma.masked_array(ids)))
    for name, a, b in calls:
        with pytest.raises(TypeError) as exc:
            predict(model, a, b)
        assert str(exc.value) == ARRAY_ERR.format(name, type(a if name == arg else b).__name__)


@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
@pytest.mark.parametrize("cls", CLASSES, **NAMED)
def test_plain_ndarray_subclasses_are_data(cls, tmp_path):
    args, ref, wrapped = fit_kwargs(cls), fitted(cls), {}
    for i, (arg, value) in enumerate(args.items()):
        if value.ndim == 2:
            wrapped[arg] = np.asmatrix(value)
        else:
            wrapped[arg] = np.memmap(tmp_path / f"{i}.bin", dtype=value.dtype, mode="w+", shape=value.shape)
            wrapped[arg][:] = value
    model = cls()
    model.fit(**wrapped)
    np.testing.assert_array_equal(model.coefficients, ref.coefficients)
    x, ids = args.get("x", args.get("regressors")), args.get("entity_id")
    np.testing.assert_array_equal(predict(model, np.asmatrix(x), ids), predict(ref, x, ids))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory and quarantine change the footprint")
def test_predict_allocates_only_its_output():
    # Every class predicts on a broadcast view of 5e7 rows. A dense copy of
    # the input would add 3x the output to the peak resident size, a second
    # copy of the output 1x; reading the view by blocks adds a few pages.
    script = textwrap.dedent(f"""
        import numpy as np, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from problems import CLASSES, fitted, predict
        n = 50_000_000
        models = [fitted(cls) for cls in CLASSES]
        warm = np.random.default_rng(0).normal(size=(20_000, 6))
        for m in models:
            predict(m, warm[:, ::2]); predict(m, np.ascontiguousarray(warm[:, :3]))
        def status(key):  # not ru_maxrss, which exec carries over from the parent
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))
        resident = status("VmRSS:")
        row = np.array([0.5, -1.0, 2.0])
        for m in models:
            ids = np.broadcast_to(np.int64(1), (n,))
            out = predict(m, np.broadcast_to(row, (n, 3)), ids)
            assert out.shape == (n,) and out[0] == out[-1] == predict(m, row[None, :], ids[:1])[0]
            del out
        print((status("VmHWM:") - resident) / (8 * n))
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert float(run.stdout) < 1.5


@pytest.mark.skipif(SANITIZED, reason="the sanitizer aborts on impossible allocations instead of failing them")
@pytest.mark.parametrize("cls", CLASSES, **NAMED)
def test_impossible_fit_or_output_raises_a_memory_error_that_says_why(cls):
    # 2**58 rows as broadcast views: no n-row buffer can exist, and the fit says so before it reads
    # the input (a scan would never end; GLS: no such Sigma can exist). 2**61 bytes of output is
    # beyond any process's address space, so the allocation fails whatever the overcommit policy.
    model, n = fitted(cls), 2**58
    x, v = np.broadcast_to(np.ones(3), (n, 3)), np.broadcast_to(np.ones(1), (n,))
    if cls.__name__ != "GLS":
        args = {"WLS": (x, v, v), "IV": (x, x, v), "TSLS": (x, x, v),
                "FE": (x, v, np.broadcast_to(np.arange(1), (n,)))}.get(cls.__name__, (x, v))
        with pytest.raises(MemoryError, match=r"^Cannot allocate "):
            cls().fit(*args)
    with pytest.raises(MemoryError) as exc:
        predict(model, x, np.broadcast_to(np.int64(0), (n,)))
    assert str(exc.value) == f"Cannot allocate 2.3 EB for the predictions ({n} x 1 doubles)"
    assert predict(model, x[:2]).shape == (2,)  # the model is still usable

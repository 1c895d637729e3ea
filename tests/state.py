"""Everything an estimator object shows, to compare before and after a call."""

import numpy as np

from report_parsing import stable

METHODS = ("standard_errors", "t_statistics", "p_values", "confidence_intervals", "is_fitted", "covariance_matrix")


def snapshot(model, predict_args):
    """Everything the object shows, by name."""
    out = {}
    for name in dir(model):
        if name.startswith("_") or name in ("fit", "predict", "summary"):
            continue
        value = getattr(model, name)
        out[name] = value() if callable(value) and name in METHODS else value
    out["summary"] = stable(model.summary())
    try:
        out["predict"] = model.predict(*predict_args)
    except (ValueError, RuntimeError) as e:
        out["predict"] = repr(e)
    return out


def assert_same(a, b):
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_array_equal(a[key], b[key], err_msg=key)

"""ordinata_frames workloads: formula and frame to standard errors, beside the
peers' formula interfaces and beside the native fit on the same arrays (the
package's own cost)."""

from __future__ import annotations

import numpy as np

import ordinata

from .base import Data, Impl, Workload, panel_data, regression_data

FRAMES = "ordinata_frames"


def _ols_frame(small: bool) -> Data:
    d = regression_data(2_000 if small else 1_000_000, 20)
    import pandas as pd

    names = [f"x{j}" for j in range(1, 21)]
    frame = pd.DataFrame(d["x"], columns=names)
    frame["y"] = d["y"]
    # The native fit gets the arrays a user of the module would hold.
    return {"frame": frame, "formula": "y ~ " + " + ".join(names),
            "x": np.ascontiguousarray(d["x"]), "y": d["y"]}


def _fe_frame(small: bool) -> Data:
    d = panel_data(2_000 if small else 1_000_000, 5, 100 if small else 100_000)
    import pandas as pd

    names = [f"x{j}" for j in range(5)]
    frame = pd.DataFrame(d["x"], columns=names)
    frame["y"] = d["y"]
    frame["entity"] = d["entity_id"]
    return {**d, "frame": frame, "formula": "y ~ " + " + ".join(names) + " | entity"}


def frames_ols(vcov: str):
    def factory(d: Data):
        import ordinata_frames as of

        def run(_s, _i):
            result = of.ols(d["formula"], d["frame"], vcov=vcov)
            return result, result.standard_errors
        return None, run
    return factory


def native_ols(robust: bool):
    def factory(d: Data):
        def run(_s, _i):
            model = ordinata.OLS(robust=robust)
            model.fit(d["x"], d["y"])
            return model, model.standard_errors()
        return None, run
    return factory


def statsmodels_formula_ols(**fit_kwargs):
    def factory(d: Data):
        import statsmodels.formula.api as smf

        def run(_s, _i):
            result = smf.ols(d["formula"], d["frame"]).fit(**fit_kwargs)
            return result, result.bse
        return None, run
    return factory


def frames_fe(d: Data):
    import ordinata_frames as of

    def run(_s, _i):
        result = of.fe(d["formula"], d["frame"], vcov={"CRV1": "entity"})
        return result, result.standard_errors
    return None, run


def native_fe(d: Data):
    def run(_s, _i):
        model = ordinata.FE(robust=True)
        model.fit(d["x"], d["y"], d["entity_id"])
        return model, model.standard_errors()
    return None, run


def pyfixest_fe(d: Data):
    import pyfixest as pf

    def run(_s, _i):
        result = pf.feols(d["formula"], d["frame"], vcov={"CRV1": "entity"})
        return result, result.se()
    return None, run


def _clustered_frame(small: bool) -> Data:
    import pandas as pd

    n, groups = (2_000, 20) if small else (1_000_000, 500)
    rng = np.random.default_rng(3)
    g = rng.integers(0, groups, n)
    frame = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n), "x3": rng.normal(size=n), "g": g})
    frame["y"] = frame.x1 - frame.x2 + rng.normal(size=groups)[g] + rng.normal(size=n)
    return {"frame": frame, "formula": "y ~ x1 + x2 + x3"}


def frames_clustered(vcov: dict[str, str]):
    def factory(d: Data):
        import ordinata_frames as of

        def run(_s, _i):
            result = of.ols(d["formula"], d["frame"], vcov=vcov)
            return result, result.standard_errors
        return None, run
    return factory


def frames_workloads() -> list[Workload]:
    try:
        import ordinata_frames  # noqa: F401
    except ImportError:
        return []
    return [
        Workload(
            "frames_ols", "ordinata_frames OLS 10⁶ × 20 from formula and frame, classical", ("OLS",), _ols_frame,
            (Impl(FRAMES, frames_ols("iid")),
             Impl("ordinata OLS on arrays", native_ols(False), measure_memory=False),
             Impl("statsmodels formula OLS", statsmodels_formula_ols())),
            rounds=5, memory_ref=None,
            notes=("End to end: formula and pandas frame to standard errors. The native fit gets the "
                   "design as arrays; its ratio is the package's own share.",)),
        Workload(
            "frames_ols_hc1", "ordinata_frames OLS 10⁶ × 20 from formula and frame, HC1", ("OLS",), _ols_frame,
            (Impl(FRAMES, frames_ols("HC1")),
             Impl("ordinata OLS(robust=True) on arrays", native_ols(True), measure_memory=False),
             Impl("statsmodels formula OLS", statsmodels_formula_ols(cov_type="HC1"))),
            rounds=5, memory_ref=None),
        Workload(
            "frames_fe", "ordinata_frames FE 10⁶ × 5, N = 100,000, CRV1 by entity", ("FE",), _fe_frame,
            (Impl(FRAMES, frames_fe),
             Impl("ordinata FE(robust=True) on arrays", native_fe, measure_memory=False),
             Impl("pyfixest feols", pyfixest_fe)),
            rounds=5, memory_ref=None,
            notes=("pyfixest runs once on the small copy first, as every implementation does: its "
                   "warm-up is outside the timing.",)),
        Workload(
            "frames_cr2", "ordinata_frames OLS 10⁶ × 3, G = 500 clusters: CR2 and CR3 beside CRV1", ("OLS",),
            _clustered_frame,
            (Impl(FRAMES + " CRV1", frames_clustered({"CRV1": "g"})),
             Impl(FRAMES + " CR2", frames_clustered({"CR2": "g"})),
             Impl(FRAMES + " CR3", frames_clustered({"CR3": "g"}))),
            rounds=5, memory_ref=None),
    ]

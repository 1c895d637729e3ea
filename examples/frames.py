"""The tour's data again, through ordinata_frames: formulas on a pandas frame, named
reports, the covariance types and the IV diagnostics. The numbers are the same fits
as the array examples beside this file, now with names."""

import functools

from common import banner
from datasets import DATA


def needs_frames(example):
    """Run the example only where ordinata_frames and its extra are installed."""

    @functools.wraps(example)
    def run(*args, **kwargs):
        try:
            import ordinata_frames  # noqa: F401
        except ImportError as error:
            print(f"[skipped] {example.__name__}: {error}")
            return None
        return example(*args, **kwargs)

    return run


def read(name):
    import pandas as pd

    return pd.read_csv(DATA / name)


@needs_frames
def wage():
    import ordinata_frames as of

    banner("ordinata_frames: log wage on schooling and experience (Mroz), HC1 standard errors")
    data = read("mroz.csv")
    # lwage is missing for the women out of the labour force: those rows are dropped.
    result = of.ols("lwage ~ educ + exper + I(exper**2) + C(city)", data, vcov="HC1")
    print(result.summary())
    print(f"Rows dropped for a missing value: {result.dropped_rows} of {len(data)}")
    print(result.to_frame().round(4))
    return result


@needs_frames
def grunfeld():
    import ordinata_frames as of

    banner("ordinata_frames: Grunfeld fixed effects, clustered by firm, then by firm and year")
    data = read("Grunfeld_plm.csv")
    by_firm = of.fe("inv ~ value + capital | firm", data, vcov={"CRV1": "firm"})
    print(by_firm.summary())
    two_way = of.fe("inv ~ value + capital | firm", data, vcov={"CRV1": "firm + year"})
    print(f"  {'':10}{'estimate':>12}{'firm':>12}{'firm + year':>14}")
    for name in by_firm.names:
        print(f"  {name:10}{by_firm.coefficients[name]:>12.4f}{by_firm.standard_errors[name]:>12.4f}"
              f"{two_way.standard_errors[name]:>14.4f}")
    return by_firm


@needs_frames
def mroz():
    import ordinata_frames as of

    banner("ordinata_frames: Mroz, IV and 2SLS for the return to education, with diagnostics")
    data = read("mroz.csv")
    simple = of.iv("lwage ~ [educ ~ fatheduc]", data)
    print(simple.summary())
    result = of.tsls("lwage ~ exper + I(exper**2) + [educ ~ fatheduc + motheduc]", data)
    print(result.summary())
    print("First stage (excluded instruments):")
    print(result.first_stage.round(4))
    sargan, wu = result.sargan, result.wu_hausman
    print(f"Sargan overidentification: {sargan.stat:.4f} (chi2, df {sargan.df:g}), p = {sargan.pvalue:.4f}")
    print(f"Wu-Hausman exogeneity:     {wu.stat:.4f} (F with {wu.df[0]:g}, {wu.df[1]:g} df), p = {wu.pvalue:.4f}")
    return result

"""Results to look at: the Mroz wage models side by side in one table (Markdown
and LaTeX, by maketables) and their estimates with 95% intervals in a picture,
then Grunfeld's year effects against the years. The files go to build/tour/ at
the top of the checkout (created if missing); each path is printed."""

import functools
from pathlib import Path

from common import banner
from frames import needs_frames, read

OUT = Path(__file__).resolve().parents[1] / "build" / "tour"


def needs_extras(example):
    """Run the example only where the tables' and the plots' extras are installed."""

    @functools.wraps(example)
    def run(*args, **kwargs):
        try:
            import great_tables  # noqa: F401
            import maketables  # noqa: F401
            import matplotlib  # noqa: F401
        except ImportError as error:
            print(f"[skipped] {example.__name__}: {error} (pip install 'ordinata[tables,plots]')")
            return None
        return example(*args, **kwargs)

    return run


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")     # files only, no window
    import matplotlib.pyplot as plt

    return plt


def _written(path):
    print(f"Wrote {path}")
    return path


@needs_frames
@needs_extras
def mroz_wages(out=OUT):
    import ordinata_frames as of

    banner("ordinata_frames: the Mroz wage models side by side, a table and a picture")
    data = read("mroz.csv")
    models = {
        "OLS": of.ols("lwage ~ educ + exper + I(exper**2) + C(city)", data, vcov="HC1"),
        "IV": of.iv("lwage ~ [educ ~ fatheduc]", data),
        "2SLS": of.tsls("lwage ~ exper + I(exper**2) + [educ ~ fatheduc + motheduc]", data),
    }
    out.mkdir(parents=True, exist_ok=True)
    options = {"heads": list(models), "stats": ["N", "r2", "fstat_1st", "se_type"]}
    table = of.etable(list(models.values()), type="md", **options)
    print(table)
    _written(out / "mroz_wages.md").write_text(table)
    _written(out / "mroz_wages.tex").write_text(of.etable(list(models.values()), type="tex", **options))

    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(6.4, 3.6), layout="constrained")
    of.coefplot(models, drop="Intercept", ax=ax)
    ax.set_title("Log wage of working married women (Mroz), 95% intervals")
    fig.savefig(_written(out / "mroz_coefplot.png"), dpi=100)
    plt.close(fig)
    return models


@needs_frames
@needs_extras
def grunfeld_years(out=OUT):
    import ordinata_frames as of

    banner("ordinata_frames: Grunfeld's year effects beside the firm effects, 1935 the reference")
    data = read("Grunfeld_plm.csv")
    result = of.fe("inv ~ value + capital + C(year) | firm", data, vcov={"CRV1": "firm"})
    out.mkdir(parents=True, exist_ok=True)
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(6.4, 3.6), layout="constrained")
    of.iplot(result, "C(year)", ax=ax)
    ax.set_title("Investment: year effects (firm effects absorbed), 95% intervals")
    fig.savefig(_written(out / "grunfeld_years.png"), dpi=100)
    plt.close(fig)
    return result

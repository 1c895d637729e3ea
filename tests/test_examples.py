"""The example tour runs on the real data and reproduces the published figures it prints."""

import re
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import grunfeld  # noqa: E402
import longley  # noqa: E402
import mroz  # noqa: E402
import tour  # noqa: E402
import weighted  # noqa: E402


def agrees(ours, published):
    """Ours rounds to the published figure at the places it was printed with."""
    places = len(published.split(".")[1])
    return abs(ours - float(published)) <= 0.5 * 10.0**-places + 1e-12


def assert_as_published(ours, published):
    for b, se, (pb, pse) in zip(*ours, published, strict=True):
        assert agrees(b, pb) and agrees(se, pse), (b, se, pb, pse)


def with_intercept(model, covariance):
    return [model.intercept, *model.coefficients], [np.sqrt(covariance[0, 0]), *model.standard_errors()]


def test_tour_shows_all_seven_estimators(capsys):
    tour.main()
    out = capsys.readouterr().out
    assert "[skipped]" not in out
    for title in ["OLS Regression", "Ridge Regression", "WLS Regression", "GLS Regression",
                  " " * 28 + "IV\n", " " * 28 + "TSLS\n", "Fixed Effects Regression"]:
        assert title in out


@pytest.mark.parametrize("fit, published", [
    (grunfeld.fixed_effects, grunfeld.PUBLISHED),  # Baltagi's within estimates
    (mroz.iv, mroz.PUBLISHED_IV),  # Wooldridge, example 15.1
    (mroz.tsls, mroz.PUBLISHED_TSLS),  # example 15.5
], ids=["grunfeld-fe", "mroz-iv", "mroz-tsls"])
def test_fits_reproduce_the_published_estimates(fit, published):
    model = fit()
    fe = getattr(model, "intercept", None) is None
    ours = (model.coefficients, model.standard_errors()) if fe else with_intercept(model, model.covariance_matrix)
    assert_as_published(ours, published.values())
    if fit is mroz.iv:
        assert agrees(model.r_squared, mroz.PUBLISHED_IV_R2)


def test_wls_on_group_means_reproduces_individual_least_squares():
    model = weighted.wls_group_means()
    w = weighted.mroz_working_women()
    slope, intercept = np.polyfit(w["educ"], w["lwage"], 1)
    np.testing.assert_allclose([model.intercept, model.coefficients[0]], [intercept, slope], rtol=1e-10)


def test_gls_ar1_matches_the_documented_estimates():
    model = weighted.gls_ar1()
    np.testing.assert_allclose([model.intercept, *model.coefficients], list(map(float, weighted.PUBLISHED_GLS)),
                               rtol=1e-6)


def test_ridge_path_starts_at_least_squares():
    fits = longley.ridge()
    x, y = longley.longley()
    z = (x - x.mean(axis=0)) / x.std(axis=0)
    exact = np.linalg.lstsq(np.column_stack([np.ones(len(y)), z]), y, rcond=None)[0]
    np.testing.assert_allclose(fits[0].coefficients, exact[1:], rtol=1e-8)
    # Shrinkage: a larger penalty never lengthens the slope vector.
    assert (norms := [np.linalg.norm(m.coefficients) for m in fits]) == sorted(norms, reverse=True)


def test_readme_quickstart_gives_what_it_says(capsys, monkeypatch):
    # Its paths are relative to the checkout, wherever the tests run from.
    monkeypatch.chdir(ROOT)
    blocks = [block.split("```", 1)[0] for block in (ROOT / "README.md").read_text().split("```python\n")[1:]]
    ns = {}
    exec(compile("\n".join(blocks), "README.md", "exec"), ns)
    out = capsys.readouterr().out
    x, y, entity = ns["x"], ns["y"], ns["entity"]
    design = np.column_stack([np.ones(len(y)), x])

    def fitted(model, a, b, rtol=1e-10):
        np.testing.assert_allclose([model.intercept, *model.coefficients], np.linalg.lstsq(a, b, rcond=None)[0],
                                   rtol=rtol)

    # The fits against least squares on the explicit design.
    fitted(ns["model"], design, y)
    root_w = np.sqrt(ns["weights"])
    fitted(ns["wls"], design * root_w[:, None], y * root_w)
    lower = np.linalg.cholesky(ns["sigma"])
    fitted(ns["gls"], np.linalg.solve(lower, design), np.linalg.solve(lower, y), rtol=1e-8)
    with_dummies = np.column_stack([x, entity[:, None] == np.arange(20)])
    fe_exact = np.linalg.lstsq(with_dummies, y, rcond=None)[0]
    np.testing.assert_allclose(np.r_[ns["fe"].coefficients, ns["fe"].fixed_effects], fe_exact, rtol=1e-10)
    np.testing.assert_allclose(ns["fe"].predict(x[:5], entity[:5]), with_dummies[:5] @ fe_exact, rtol=1e-10)
    # What the comments promise.
    assert ns["model"].confidence_intervals(alpha=0.05).shape == (3, 2)
    assert ns["model"].covariance_matrix().shape == (4, 4)
    assert ns["wage"].dropped_rows == 325
    # Every report printed, in the order of the README.
    titles = ["OLS Regression", "Ridge Regression", "WLS Regression", "GLS Regression", " " * 28 + "IV\n",
              " " * 28 + "TSLS\n", "Fixed Effects Regression", "educ", "Partitions merged:"]
    at = [out.find(title) for title in titles]
    assert -1 not in at and at == sorted(at), dict(zip(titles, at, strict=True))
    assert re.search(r"Partitions merged: +1\n", out)


def readme_messages():
    """The fixed pieces of every message in the README's exception tables."""
    readme = (Path(__file__).parents[1] / "README.md").read_text()
    section = readme.split("## Exceptions", 1)[1].split("\n## ", 1)[0]
    for line in section.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if not line.startswith("|") or len(cells) < 2 or set(cells[-1]) <= set("-") or cells[-1] == "message":
            continue
        for message in cells[-1].split(" / "):
            if not message.startswith(("(", "e.g.")):
                yield from (piece for piece in re.split(r"\{[^}]*\}", message) if len(piece.strip()) > 3)


def test_readme_messages_are_the_modules_own():
    sources = "".join(p.read_text() for p in (Path(__file__).parents[1] / "src").rglob("*.[ch]pp"))
    # Adjacent literals joined, escapes as the user sees them.
    sources = re.sub(r'"\s*\n\s*"', "", sources).replace("\\u0302", "\u0302")
    missing = [piece for piece in readme_messages() if piece.strip(" .'") not in sources]
    assert not missing

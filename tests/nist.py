"""Reading the NIST StRD linear least-squares files and scoring a fit by the
log relative error (LRE) against the certified values."""

from pathlib import Path

import numpy as np

DATA = Path(__file__).parent / "data" / "nist"

# dataset: (polynomial degree or None for the columns as given, intercept)
MODELS = {"Norris": (1, True), "Pontius": (2, True), "NoInt1": (1, False), "NoInt2": (1, False),
          "Filip": (10, True), "Longley": (None, True), **{f"Wampler{i}": (5, True) for i in range(1, 6)}}


def load(name):
    """Returns x (regressors, powers expanded), y, certified (beta, se) with the
    intercept first, and whether the model has an intercept."""
    lines = (DATA / f"{name}.dat").read_text().splitlines()
    data_line = next(l for l in lines if l.strip().startswith("Data") and "lines" in l)
    first = int(data_line.split("lines")[1].split("to")[0])
    table = np.array([list(map(float, l.split())) for l in lines[first - 1 :] if l.strip()])
    y = table[:, 0]
    degree, intercept = MODELS[name]
    x = table[:, 1:] if degree is None else np.column_stack([table[:, 1] ** d for d in range(1, degree + 1)])
    cert = np.array([(float(p[1]), float(p[2])) for p in map(str.split, lines[:first])
                     if len(p) == 3 and p[0].startswith("B") and p[0][1:].isdigit()])
    return x, y, cert[:, 0], cert[:, 1], intercept


def lre(estimate, certified):
    """Digits of agreement: -log10(|est - cert| / |cert|), capped at 15; for a
    certified zero, -log10(|est|)."""
    estimate, certified = np.asarray(estimate, float), np.asarray(certified, float)
    with np.errstate(divide="ignore", invalid="ignore"):
        err = np.where(certified == 0, np.abs(estimate), np.abs(estimate - certified) / np.abs(certified))
        digits = -np.log10(err)
    digits = np.where(np.isnan(digits), 0.0, digits)
    return np.minimum(digits, 15.0)

"""Data sets for the ordinata_frames tests: the example files as frames, and a random
problem with a categorical regressor, cluster keys and missing values."""

from pathlib import Path

import numpy as np
import pandas as pd

import nist

EXAMPLES = Path(__file__).parents[1] / "examples" / "data"


def longley():
    x, y, *_ = nist.load("Longley")
    frame = pd.DataFrame(x, columns=[f"x{i}" for i in range(1, 7)])
    frame["y"] = y
    frame["w"] = 1.0 + np.arange(16) % 3
    frame["c"] = np.arange(16) % 5
    return frame


def grunfeld():
    return pd.read_csv(EXAMPLES / "Grunfeld_plm.csv")


def mroz():
    frame = pd.read_csv(EXAMPLES / "mroz.csv")
    frame["agegroup"] = frame["age"] // 3
    return frame


def random_problem(n=400, seed=11):
    """Heteroskedastic errors, a string categorical, two cluster keys and a few
    missing values (NaN in numbers, None in strings)."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "x1": rng.normal(size=n),
        "x2": rng.normal(size=n),
        "region": rng.choice(["north", "south", "east", "west"], size=n),
        "firm": rng.integers(0, 25, size=n),
        "year": rng.integers(0, 9, size=n),
    })
    frame["w"] = 1.0 / (0.5 + frame["x2"] ** 2)
    frame["y"] = (1.0 + frame["x1"] - 2.0 * frame["x2"] + 0.5 * (frame["region"] == "south")
                  + rng.normal(size=n) * (1.0 + np.abs(frame["x1"])))
    frame.loc[[3, 50], "x1"] = np.nan
    frame.loc[[7, 8], "y"] = np.nan
    frame["region"] = frame["region"].astype(object)
    frame.loc[[90], "region"] = None
    return frame


def ar1(n, rho=0.5):
    return rho ** np.abs(np.subtract.outer(np.arange(n), np.arange(n)))

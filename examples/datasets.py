"""Loaders for the example data sets in examples/data (sources in data/README.md)."""

from pathlib import Path

import numpy as np

DATA = Path(__file__).parent / "data"

# Column order of the NIST file: y, then x1..x6.
LONGLEY_NAMES = ["GNP deflator", "GNP", "Unemployed", "Armed Forces", "Population", "Year"]


def nist(name):
    """Data block of a NIST StRD file: regressors (n, p) and y (n,)."""
    lines = (DATA / name).read_text().splitlines()
    header = next(line for line in lines if line.strip().startswith("Data") and "lines" in line)
    first = int(header.split("lines")[1].split("to")[0])
    table = np.array([[float(v) for v in line.split()] for line in lines[first - 1 :] if line.strip()])
    return table[:, 1:], table[:, 0]


def nist_certified(name):
    """Certified (estimate, standard error) rows B0, B1, ... from a NIST header."""
    rows = []
    for line in (DATA / name).read_text().splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0].startswith("B") and parts[0][1:].isdigit():
            rows.append((float(parts[1]), float(parts[2])))
    return np.array(rows)


def csv_columns(name):
    """A CSV with a header line as a dict of float64 columns (empty fields are NaN)."""
    table = np.genfromtxt(DATA / name, delimiter=",", names=True, dtype=np.float64)
    return {column: np.ascontiguousarray(table[column]) for column in table.dtype.names}


def longley():
    return nist("Longley.dat")


def grunfeld():
    """Grunfeld investment data, 10 firms x 20 years (1935-1954)."""
    return csv_columns("Grunfeld_plm.csv")


def mroz_working_women():
    """The 428 women of Mroz (1987) in the labour force (those with a wage)."""
    data = csv_columns("mroz.csv")
    working = data["inlf"] == 1
    return {column: values[working] for column, values in data.items()}

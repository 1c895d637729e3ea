"""A tour of ordinata on real data: run with `make demo`."""

from pathlib import Path

import numpy as np

import ordinata

DATA = Path(__file__).parent / "data"


def load_nist(name):
    """Data block of a NIST StRD file: y in column 0, regressors after it."""
    lines = (DATA / name).read_text().splitlines()
    first = next(int(l.split("lines")[1].split("to")[0]) for l in lines if l.strip().startswith("Data") and "lines" in l)
    rows = [list(map(float, l.split())) for l in lines[first - 1 :] if l.strip()]
    table = np.array(rows)
    return table[:, 1:], table[:, 0]


def certified(name, count):
    """Certified coefficients and standard errors from the NIST header."""
    values = []
    for line in (DATA / name).read_text().splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0].startswith("B") and parts[0][1:].isdigit():
            values.append((float(parts[1]), float(parts[2])))
    return np.array(values[:count])


def longley():
    x, y = load_nist("Longley.dat")
    print("=" * 78)
    print("Longley: total employment on six macroeconomic series (NIST StRD)")
    print("=" * 78)
    model = ordinata.OLS()
    model.fit(x, y)
    print(model)
    print(model.summary())
    cert = certified("Longley.dat", 7)
    print(f"{'':6}{'ordinata':>22}{'NIST certified':>22}")
    ours = np.concatenate([[model.intercept], model.coefficients])
    ses = np.concatenate([[np.sqrt(model.covariance_matrix()[0, 0])], model.standard_errors()])
    for i, (b, se) in enumerate(zip(ours, ses)):
        print(f"B{i:<5}{b:>22.12g}{cert[i, 0]:>22.12g}")
        print(f"{'  se':6}{se:>22.12g}{cert[i, 1]:>22.12g}")
    print(f"R-squared {model.r_squared:.12f} (certified 0.995479004577296)")

    robust = ordinata.OLS(robust=True)
    robust.fit(x, y)
    print()
    print("HC0-robust standard errors:", np.array2string(robust.standard_errors(), precision=4))
    print("95% intervals (robust):")
    print(np.array2string(robust.confidence_intervals(), precision=4))


if __name__ == "__main__":
    longley()

"""Reads numbers back out of a summary() text."""

import re

import numpy as np

LABELS = ["R-squared:", "Adj. R-squared:", "F-statistic:", "Prob (F-statistic):", "Log-Likelihood:",
          "No. Observations:", "AIC:", "Df Residuals:", "BIC:", "Df Model:", "Mean Squared Error:", "Root MSE:",
          "Omnibus:", "Prob(Omnibus):", "Jarque-Bera (JB):", "Prob(JB):", "Skew:", "Kurtosis:", "Durbin-Watson:",
          "Cond. No.:"]
_PATTERN = re.compile(r"(?:^| )(" + "|".join(re.escape(l) for l in LABELS) + r") +(\S+)")


def values(text):
    """Label -> float for every labelled number present in the report."""
    out = {}
    for line in text.splitlines():
        for label, value in _PATTERN.findall(line):
            out.setdefault(label, float(value))
    return out


def rows(text):
    """Row name -> array of (coef, std err, t, p, lower, upper)."""
    out = {}
    for line in text.splitlines():
        parts = line.split()
        if parts and re.fullmatch(r"const|x\d+", parts[0]) and len(parts) == 7:
            out[parts[0]] = np.array([float(v) for v in parts[1:]])
    return out


def stable(text):
    """The report without its clock lines, which change from call to call."""
    return "\n".join(l for l in text.splitlines() if "Date:" not in l and "Time:" not in l)

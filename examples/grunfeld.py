"""Grunfeld (1958): gross investment of ten US firms, 1935-1954, panel fixed effects.

Published figures: Baltagi, Econometric Analysis of Panel Data, Table 2.1
(Grunfeld's investment equation, within estimator).
"""

import numpy as np

import ordinata
from common import banner, compare, needs
from datasets import grunfeld

FIRMS = [
    "General Motors", "US Steel", "General Electric", "Chrysler", "Atlantic Refining",
    "IBM", "Union Oil", "Westinghouse", "Goodyear", "Diamond Match",
]
# Within estimates and standard errors as printed by Baltagi (Table 2.1).
PUBLISHED = {"value": ("0.110", "0.012"), "capital": ("0.310", "0.017")}


def panel():
    data = grunfeld()
    x = np.column_stack([data["value"], data["capital"]])
    return x, data["inv"], data["firm"].astype(np.int64)


@needs("FE")
def fixed_effects():
    x, y, firm = panel()
    banner("Grunfeld: fixed effects (within) estimator, classical standard errors")
    print("inv = b1 * value + b2 * capital + firm effect;  x1 = value, x2 = capital")
    model = ordinata.FE()
    model.fit(x, y, firm)
    print(model.summary())
    compare(
        "Baltagi, Table 2.1 (within)",
        [(name, b, se, *PUBLISHED[name]) for name, b, se in zip(PUBLISHED, model.coefficients, model.standard_errors())],
    )
    print("Firm effects (one intercept per firm):")
    for name, effect in zip(FIRMS, model.fixed_effects):
        print(f"  {name:18}{effect:>10.2f}")
    return model


@needs("FE")
def clustered_fixed_effects():
    x, y, firm = panel()
    banner("Grunfeld: fixed effects with standard errors clustered by firm")
    classical, clustered = ordinata.FE(), ordinata.FE(robust=True)
    classical.fit(x, y, firm)
    clustered.fit(x, y, firm)
    print(clustered.summary())
    print(f"  {'':10}{'estimate':>12}{'classical se':>16}{'clustered se':>16}")
    for name, b, se, cse in zip(PUBLISHED, clustered.coefficients, classical.standard_errors(), clustered.standard_errors()):
        print(f"  {name:10}{b:>12.4f}{se:>16.4f}{cse:>16.4f}")
    print("The clustered errors carry no small-sample factor; with only ten firms a")
    print(f"package applying N/(N-1)*(n-1)/(n-k) would report them {np.sqrt(10 / 9 * 199 / 198):.3f} times larger.")
    return clustered

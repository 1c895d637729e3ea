"""The absorbed-effects solver's two methods: the factor of most levels eliminated with the
rest preconditioned by a sparse factor of their Schur complement (chosen where the rest is
nearly a band), and the diagonal preconditioner (where it is dense). Both against the dense
dummy regression solved by numpy, with weights, two components and a nested level; the method
reported; the same bits for any thread count."""

import numpy as np
import pandas as pd
import pytest

import ordinata_frames as of
from absorbed import close, dense_fit, kept, outputs_by_thread_count

TIGHT = 1e-13
REDUCED = "Schur complement of worker"
DIAGONAL = "diagonal preconditioner"


def panel(kind, n=1100, seed=3, years=10, firms=47):
    """Workers of `years` rows each (the last one short). "banded": firm = row mod firms, so a
    worker's firms are consecutive; "dense": each worker spread over many firms at random,
    with about two rows a worker."""
    rng = np.random.default_rng(seed)
    if kind == "banded":
        worker, year, firm = np.arange(n) // years, np.arange(n) % years, np.arange(n) % firms
    else:
        worker, year, firm = rng.integers(0, n // 2, n), rng.integers(0, 6, n), rng.integers(0, 220, n)
    d = pd.DataFrame({"worker": worker, "year": year, "firm": firm, "region": (firm * 7) % 5})
    d["x1"] = rng.normal(size=n) + 0.1 * (d.firm % 5)
    d["x2"] = rng.normal(size=n) * 2 + 1e3          # an offset that must cost no digit
    d["w"] = rng.uniform(0.5, 2.0, n)
    effects = sum(rng.normal(size=d[c].max() + 1)[d[c]] for c in ("worker", "year", "firm"))
    d["y"] = 1.5 * d.x1 - 0.5 * d.x2 + effects + rng.normal(size=n)
    return d


@pytest.mark.parametrize(("kind", "factors", "method"), [
    ("banded", "worker + year + firm", REDUCED), ("banded", "worker + firm", REDUCED),
    ("banded", "worker + year + firm + region", REDUCED), ("banded", "worker + year^firm", "conjugate gradients"),
    ("dense", "worker + year + firm", DIAGONAL)])
@pytest.mark.parametrize("w", [None, "w"])
def test_each_method_against_the_dummy_regression(kind, factors, method, w):
    names = [f.strip() for f in factors.split("+")]
    d = panel(kind)
    if "year^firm" in names:
        d["year^firm"] = pd.factorize(d.year * 100 + d.firm)[0]
    r = of.fe(f"y ~ x1 + x2 | {factors}", d, weights=w, tol=TIGHT)
    assert method in r.solver.method
    assert r.solver.convergence <= TIGHT
    if "Schur" in method:          # at most 16 of the diagonal probe, then a few
        assert r.solver.iterations <= 16 + 4
    o = kept(d, names)
    beta, fitted = dense_fit(o, names, w)
    close(r.params, beta, 1e-9)
    close(r.predict(o), fitted, 1e-9)


def test_the_reduced_method_on_rows_in_any_order():
    # The eliminated factor's rows read level by level, wherever they lie.
    d = panel("banded").sample(frac=1.0, random_state=5).reset_index(drop=True)
    r = of.fe("y ~ x1 + x2 | worker + year + firm", d, weights="w", tol=TIGHT)
    assert REDUCED in r.solver.method
    o = kept(d, ["worker", "year", "firm"])
    beta, fitted = dense_fit(o, ["worker", "year", "firm"], "w")
    close(r.params, beta, 1e-9)
    close(r.predict(o), fitted, 1e-9)


def test_two_components_and_a_nested_level_are_grounded():
    # Two panels with no worker, year or firm in common, and a firm met by one worker only:
    # the Schur complement is singular three ways beyond the constant.
    a, b = panel("banded", n=550), panel("banded", n=550, seed=4)
    b[["worker", "year", "firm"]] += [a.worker.max() + 1, 10, 47]
    d = pd.concat([a, b], ignore_index=True)
    d.loc[d.worker == 3, "firm"] = 99
    o = kept(d, ["worker", "year", "firm"])
    r = of.fe("y ~ x1 + x2 | worker + year + firm", d, weights="w", tol=TIGHT)
    assert REDUCED in r.solver.method
    beta, fitted = dense_fit(o, ["worker", "year", "firm"], "w")
    close(r.params, beta, 1e-9)
    close(r.predict(o), fitted, 1e-9)


@pytest.mark.parametrize("kind", ["banded", "dense"])
def test_no_convergence_names_the_factors(kind):
    with pytest.raises(ValueError, match=r"worker \+ year \+ firm did not converge in 1 iterations"):
        of.fe("y ~ x1 | worker + year + firm", panel(kind), max_iterations=1)


def test_any_thread_count_gives_the_same_bits_by_either_method():
    out = outputs_by_thread_count(
        "import numpy as np, ordinata_frames as of; from tests.test_frames_absorb_solver import panel; "
        "rs = [of.fe('y ~ x1 + x2 | worker + year + firm', panel(k, n=5000), weights='w') for k in ('banded', 'dense')]; "
        "print([r.solver.method[:40] for r in rs], np.concatenate([np.r_[r.params, r.cov.ravel(), "
        "r.predict(panel(k, n=5000))] for r, k in zip(rs, ('banded', 'dense'))]).tobytes().hex())", ("1", "2"))
    assert len(out) == 1


@pytest.mark.parametrize(("scale", "shift"), [(1e-2, 1e3), (1e4, -5e6)])
def test_the_reduced_method_follows_a_shifted_and_scaled_outcome(scale, shift):
    d = panel("banded")
    r = of.fe("y ~ x1 + x2 | worker + year + firm", d, weights="w", tol=TIGHT)
    moved = of.fe("y ~ x1 + x2 | worker + year + firm", d.assign(y=d.y * scale + shift), weights="w", tol=TIGHT)
    assert REDUCED in r.solver.method and REDUCED in moved.solver.method
    close(moved.params, r.params * scale, 1e-9)
    close(moved.cov, r.cov * scale**2, 1e-9)

"""What a workload is, and the generated data the workloads run on.

Every implementation is a factory taking the workload's data and returning
``(setup, run)``: ``setup()`` (or None) prepares untimed per-sample state and
``run(state, i)`` is the timed work. The workload lists (``workloads``,
``frames``) build on this module and never the other way.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import scipy.linalg as sla

import ordinata

Data = dict[str, Any]
Factory = Callable[[Data], tuple[Callable[[], Any] | None, Callable[[Any, int], Any]]]

ORDINATA = "ordinata"
FLOOR = "numpy floor"


@dataclass(frozen=True)
class Impl:
    label: str
    factory: Factory
    # Reported in the memory table too (the floor is not: it keeps nothing).
    measure_memory: bool = True


@dataclass(frozen=True)
class Workload:
    key: str
    title: str
    needs: tuple[str, ...]  # ordinata classes the workload calls
    make: Callable[[bool], Data]  # make(small): small=True gives a warm-up sized copy
    impls: tuple[Impl, ...]  # impls[0] is ordinata
    rounds: int
    batch: int = 1
    # Name of the input array that the peak memory is compared with; None: not measured.
    memory_ref: str | None = "x"
    notes: tuple[str, ...] = field(default_factory=tuple)
    # Environment of a separate process that times this workload (thread
    # settings are read once per process); None: timed in this process.
    isolated_env: dict[str, str] | None = None
    # Bytes of input one call must read at least: reported as a bandwidth.
    bytes_read: Callable[[Data], int] | None = None

    def missing(self) -> list[str]:
        return [name for name in self.needs if not hasattr(ordinata, name)]


# ---------------------------------------------------------------- data

def with_const(a: np.ndarray) -> np.ndarray:
    return np.column_stack([np.ones(a.shape[0]), a])


def regression_data(n: int, p: int, seed: int = 1) -> Data:
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    beta = np.linspace(-1.0, 1.0, p)
    # Heteroskedastic noise so that the robust errors differ from the classical.
    y = 0.5 + x @ beta + rng.standard_normal(n) * (1.0 + 0.5 * np.abs(x[:, 0]))
    return {"x": x, "y": y}


def weighted_data(n: int, p: int) -> Data:
    d = regression_data(n, p, seed=2)
    d["weights"] = np.random.default_rng(3).uniform(0.5, 2.0, n)
    return d


def gls_data(n: int, p: int) -> Data:
    rng = np.random.default_rng(4)
    x = rng.standard_normal((n, p))
    rho = 0.6
    # AR(1) errors: Sigma[i, j] = rho^|i-j| / (1 - rho^2).
    sigma = sla.toeplitz(rho ** np.arange(n)) / (1.0 - rho * rho)
    e = np.empty(n)
    e[0] = rng.standard_normal() / np.sqrt(1.0 - rho * rho)
    shocks = rng.standard_normal(n)
    for i in range(1, n):
        e[i] = rho * e[i - 1] + shocks[i]
    y = 1.0 + x @ np.linspace(-1.0, 1.0, p) + e
    return {"x": x, "y": y, "sigma": sigma}


def iv_data(n: int, k: int, m: int) -> Data:
    rng = np.random.default_rng(5)
    z = rng.standard_normal((n, m))
    u = rng.standard_normal(n)
    pi = np.zeros((m, k))
    pi[:k, :k] = np.eye(k)
    pi += 0.2
    x = z @ pi + 0.8 * u[:, None] + rng.standard_normal((n, k))
    y = 1.5 + x @ np.linspace(1.0, -1.0, k) + u
    return {"z": z, "x": x, "y": y}


def panel_data(n: int, k: int, entities: int) -> Data:
    rng = np.random.default_rng(6)
    periods = n // entities
    n = periods * entities
    # Arbitrary 64-bit labels, rows ordered entity by entity as panels usually are.
    labels = rng.choice(np.int64(10) ** 12, size=entities, replace=False).astype(np.int64)
    entity_id = np.repeat(labels, periods)
    alpha = rng.standard_normal(entities)
    x = rng.standard_normal((n, k)) + np.repeat(alpha, periods)[:, None] * 0.5
    y = np.repeat(alpha, periods) + x @ np.linspace(1.0, -1.0, k) + rng.standard_normal(n)
    time = np.tile(np.arange(periods), entities)
    return {"x": x, "y": y, "entity_id": entity_id, "time": time}


def shuffled_panel_data(n: int, k: int, entities: int) -> Data:
    """The same panel with its rows in random order; the sorted copy rides along."""
    d = panel_data(n, k, entities)
    perm = np.random.default_rng(7).permutation(d["y"].shape[0])
    out = {name: d[name][perm] for name in ("x", "y", "entity_id", "time")}
    out.update({f"sorted_{name}": d[name] for name in ("x", "y", "entity_id")})
    return out


def reference_bytes(d: Data, ref: str) -> int:
    return sum(d[name].nbytes for name in ref.split("+"))

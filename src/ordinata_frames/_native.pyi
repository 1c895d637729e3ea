from typing import Any

import numpy as np
from numpy.typing import NDArray

def t_pvalue(t: float, df: float, /) -> float: ...
def t_critical(alpha: float, df: float, /) -> float: ...
def f_sf(f: float, d1: float, d2: float, /) -> float: ...
def chi2_sf(x: float, df: float, /) -> float: ...


# (n, total_weight, pivot bytes, mean bytes, R bytes, intercept, exact): exact is False where some
# partition's R is the Cholesky factor of its Gram matrix rather than the QR of its rows; merging
# ANDs it.
Moments = tuple[Any, ...]
ResidualSums = tuple[float, ...]

# exact=False takes, per partition, the Cholesky factor of the centred Gram where it can be trusted,
# the rows' QR elsewhere; exact=True the rows' QR everywhere.
def moments(a: NDArray[np.float64] | list[NDArray[np.float64]], w: NDArray[np.float64] | None, intercept: bool,
            group: NDArray[np.int64] | None, table: NDArray[np.float64] | None, exact: bool = False,
            /) -> Moments: ...
def merge_moments(a: Moments, b: Moments, /) -> Moments: ...
# The moments of uncentred columns from their Gram: R its Cholesky factor where the core trusts it, else None.
def moments_from_gram(n: int, weight: float, gram: NDArray[np.float64], /) -> Moments | None: ...
# The fit as a dict; {"needs_exact": True} alone when m is not exact and its design too ill-conditioned
# for R factors from Gram matrices: the moments are then to be taken again with exact=True.
# kind: 0 OLS, 1 WLS, 2 Ridge, 3 FE, 4 IV, 5 TSLS (the route policy and the refusals of that fit).
def solve_moments(m: Moments, kind: int, q: int, raw_lengths: NDArray[np.float64] | None, alpha: float,
                  exogenous: int, instruments: int, endogenous: int, /) -> dict[str, Any]: ...
def score_pass(a: NDArray[np.float64] | list[NDArray[np.float64]], w: NDArray[np.float64] | None, pivot: NDArray[np.float64],
               mean: NDArray[np.float64], intercept: bool, weight: float, residual_weights: NDArray[np.float64],
               scores: NDArray[np.float64], leverage_power: int, clusters: list[NDArray[np.int64]],
               groups: list[int], residual_sums: bool, group: NDArray[np.int64] | None,
               table: NDArray[np.float64] | None, score_gram: bool, cluster_grams: bool, /
               ) -> tuple[bytes | None, list[bytes], ResidualSums | None, bytes | None, bytes | None]: ...
def merge_residual_sums(a: ResidualSums, b: ResidualSums, /) -> ResidualSums: ...
def report(fields: dict[str, Any], /) -> str: ...

# Small dense linear algebra by the core's factorisations. Non-finite input raises ValueError.
# a^-1 b by LU with partial pivoting (b a vector or a matrix, the result shaped like it); a matrix
# whose reciprocal condition is below eps raises ValueError("singular matrix").
def solve(a: NDArray[np.float64], b: NDArray[np.float64], /) -> NDArray[np.float64]: ...
# The R factor, min(m, n) x n and upper triangular, of the Householder QR of the m x n a.
def r_factor(a: NDArray[np.float64], /) -> NDArray[np.float64]: ...
# L^-1 columns for sigma = L L', sigma read as the native GLS reads it: every entry finite and sigma
# symmetric up to rounding (ValueError), positive definite (RuntimeError), with the GLS's messages.
def whiten(sigma: NDArray[np.float64], columns: NDArray[np.float64], /) -> NDArray[np.float64]: ...
# The singular values, largest first, and the right singular vectors as the rows of vt.
def singular(a: NDArray[np.float64], /) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

# The wild cluster bootstrap. Exact sums travel as bytes of int64 digits, 67 a sum (bootstrap.cpp),
# merged by adding the digits; exact_values rounds them to float64.
# Per group of codes (0 <= code < groups): the count and the sums of every column of a.
def group_sums(a: list[NDArray[np.float64]], codes: NDArray[np.int64], groups: int, /) -> bytes: ...
# Per cluster: the upper triangle of Z'Z (row-major) and Z'u, Z = [1 (intercept)] + the columns of a but its
# last, u = y - Z beta, y its last; each column less its row's entry of table (the row given by entity); rows
# scaled by sqrt(w).
def cluster_grams(a: list[NDArray[np.float64]], w: NDArray[np.float64] | None, intercept: bool,
                  beta: NDArray[np.float64], codes: NDArray[np.int64], groups: int,
                  entity: NDArray[np.int64] | None, table: NDArray[np.float64] | None, /) -> bytes: ...
def exact_values(sums: bytes, /) -> bytes: ...
# The bootstrap t of each draw b: (sum_g c_g v_gb) / sqrt(scale sum_g (c_g v_gb - p_g' sum_h q_h v_hb)^2);
# kind 0 Rademacher, 1 Mammen, 2 Webb, 3 standard normal; enumerate: draws = 2^G, v_gb the sign of bit g of b.
def wild_draws(c: NDArray[np.float64], p: NDArray[np.float64], q: NDArray[np.float64], scale: float, kind: int,
               seed: int, draws: int, enumerate: bool, /) -> bytes: ...
# Absorbed fixed effects: columns (c, n), rows contiguous, demeaned in place off the dummies of the factors
# (int64 codes 0..levels-1, one array per factor) and each column's effects added to effects (c, sum of
# levels); (converged, iterations, the last iteration's largest change relative to the column's spread,
# the factor eliminated by the reduced method or -1, and float64 bytes of each column's weighted mean and weighted
# sum of squares about it, as given).
def absorb(columns: NDArray[np.float64], effects: NDArray[np.float64], codes: list[NDArray[np.int64]],
           levels: list[int], w: NDArray[np.float64] | None, tol: float, max_iterations: int,
           /) -> tuple[bool, int, float, int, bytes, bytes]: ...
# The connected components of two factors' bipartite graph: (count, int64 bytes of each level's component,
# the first factor's levels first).
def absorb_components(codes_a: NDArray[np.int64], codes_b: NDArray[np.int64], levels_a: int, levels_b: int,
                      /) -> tuple[int, bytes]: ...
# Absorbed effects solved in the levels' space: effects (c, L) written from rhs (c, L), D'WD its diagonal and the
# entries above it (pairs of level positions, their weights); the factors' bounds and the stopping rule's pair;
# where converged, form (c, c) written with effects' D'WD effects.
def absorb_levels(rhs: NDArray[np.float64], effects: NDArray[np.float64], diagonal: NDArray[np.float64],
                  pair_a: NDArray[np.int64], pair_b: NDArray[np.int64], pair_w: NDArray[np.float64],
                  bounds: NDArray[np.int64], spreads: NDArray[np.float64], first: int, second: int, tol: float,
                  max_iterations: int, form: NDArray[np.float64] | None = None, /) -> tuple[bool, int, float, bool]: ...
# The union of two strictly rising int64 key lists ((n,) or (n, m), rows compared left to right) with their values
# ((n,) or (n, v)), a key in both its values summed: (keys, values) bytes.
def merge_pairs(keys_a: NDArray[np.int64], values_a: NDArray[np.float64], keys_b: NDArray[np.int64],
                values_b: NDArray[np.float64], /) -> tuple[bytes, bytes]: ...
# The crosstab of two factors' codes: the distinct pairs f * levels_g + g (rising) and the weight summed on each
# (weights None: one a row), as (keys, weights) bytes.
def pair_sums(codes_f: NDArray[np.int64], codes_g: NDArray[np.int64], weights: NDArray[np.float64] | None,
              levels_f: int, levels_g: int, out_keys: NDArray[np.int64], out_sums: NDArray[np.float64], /) -> int: ...
# None where the int64 keys fill [low, low + span); else the keys present (rising) and each row's position among
# them, as (keys, codes) bytes.
def dense_pair_codes(table: NDArray[np.float64], code_f: NDArray[np.int64], code_g: NDArray[np.int64], levels_g: int,
                     out_codes: NDArray[np.int64], out_weights: NDArray[np.float64], /) -> int: ...
def range_codes(key: NDArray[np.int64], low: int, span: int, out_keys: NDArray[np.int64],
                out_codes: NDArray[np.int64], /) -> int | None: ...
# table[key - low] += values row by row, each row's sums (after its weight) first moved by its weight times shift.
def add_rows_into(table: NDArray[np.float64], low: int, keys: NDArray[np.int64], values: NDArray[np.float64],
                  shift: NDArray[np.float64], /) -> None: ...
# table[a - low_f, b - low_g] += weight for each pair (a, b).
def add_pairs_into(table: NDArray[np.float64], low_f: int, low_g: int, pairs: NDArray[np.int64],
                   weights: NDArray[np.float64], /) -> None: ...
# add_pairs_into with each pair as its code f * len(keys_g) + g among the factors' keys.
def add_coded_pairs_into(table: NDArray[np.float64], low_f: int, low_g: int, codes: NDArray[np.int64],
                         weights: NDArray[np.float64], keys_f: NDArray[np.int64], keys_g: NDArray[np.int64],
                         /) -> None: ...
# out[j] = columns[j] - centre[j] - sum_f effects[offsets[f] + maps[f][codes[f]], j] (maps[f] None: the codes;
# effects (levels, columns)).
def demean_rows(out: NDArray[np.float64], columns: list[NDArray[np.float64]], centre: NDArray[np.float64],
                effects: NDArray[np.float64], codes: list[NDArray[np.int64]], maps: list[NDArray[np.int64] | None],
                offsets: NDArray[np.int64], combine: NDArray[np.float64] | None, /) -> None: ...
# out[code, 0] += w, out[code, 1 + j] += w * (columns[j] - pivot[j]) row by row (weights None: one a row).
def level_sums(out: NDArray[np.float64], codes: NDArray[np.int64], weights: NDArray[np.float64] | None,
               columns: list[NDArray[np.float64]], pivot: NDArray[np.float64], /) -> None: ...

"""Mutation testing: plant one small plausible fault at a time in src/, rebuild
incrementally, run a fast part of the suite and record whether it noticed.

The work happens in a throw-away git worktree of HEAD (with the current
tests/ and README.md copied over, so uncommitted tests count), so the
checkout is never modified; the worktree is removed even on Ctrl-C.

    .venv/bin/python scripts/mutate.py            # every mutant
    .venv/bin/python scripts/mutate.py --check    # only verify each applies
    .venv/bin/python scripts/mutate.py --only 3,17

Results go to scripts/mutation-results.md.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# The interpreter this runs under (`make mutate`'s .venv/bin/python, or a shared
# environment's when run from a second worktree), with its ninja and cmake.
PYTHON = Path(sys.executable)
NINJA = PYTHON.parent / "ninja"
RESULTS = ROOT / "scripts" / "mutation-results.md"

# Slow files whose concerns (leaks, stubs, packaging, fuzzing, address-space
# limits) no one-line numerical fault reaches.
SKIP = ["tests/test_leaks.py", "tests/test_typing.py", "tests/test_packaging.py", "tests/fuzz",
        "tests/test_masked_and_strided.py",
        # Fits under an address-space limit with 100 MiB of headroom: no numerical
        # fault reaches it, and it has failed the unmutated throw-away build.
        "tests/test_threads.py::test_memory_limit_raises_instead_of_crashing"]

# (what, file under src/, text as it stands, its replacement): each text must
# occur exactly once in its file.
MUTANTS = [
    ("OLS residual dof off by one", "models/linear/ols/ols.cpp",
     "const double mse = ssr / static_cast<double>(n - k);", "const double mse = ssr / static_cast<double>(n - k + 1);"),
    ("OLS sample-count check loosened", "models/linear/ols/ols.cpp",
     "if (n <= k) return value_error(\"Insufficient", "if (n < k) return value_error(\"Insufficient"),
    ("factored route k cut-off moved", "models/linear/routes.hpp",
     "index_t max_factored_columns = 999;", "index_t max_factored_columns = 99;"),
    ("OLS SVD route boundary moved", "models/linear/routes.hpp",
     "kOlsRoute{.factor_above = 2.0,\n                                       .svd_at_most = 4.0,",
     "kOlsRoute{.factor_above = 2.0,\n                                       .svd_at_most = 3.0,"),
    ("OLS refinement dropped", "models/linear/routes.hpp",
     "kRefinementSteps = 2;", "kRefinementSteps = 0;"),
    ("refinement regardless of convergence", "models/linear/least_squares_core.cpp",
     "policy.refine && refinement_converges(s->rcond, sys.g.rows()) &&", "policy.refine &&"),
    ("refinement contraction bound x10", "models/linear/routes.hpp",
     "kRefineContractionBelow = 1e-3;", "kRefineContractionBelow = 1e-2;"),
    ("OLS refined intercept not recomputed", "models/linear/least_squares_core.cpp",
     "if (policy.refine && (refine_it || s->by_qr) && sys.x_mean) out.beta[0]", "if (false) out.beta[0]"),
    ("extended QR: reflector scale", "linalg/extended_qr.cpp",
     "reflect(w, j, norm2 - alpha * (w(j, j) + alpha));", "reflect(w, j, norm2);"),
    ("extended QR: residual sum from the wrong rows", "linalg/extended_qr.cpp",
     "for (index_t i = n; i < m; ++i) tail +=", "for (index_t i = n + 1; i < m; ++i) tail +="),
    ("extended QR threshold x10", "linalg/extended_qr.hpp",
     "kExtendedQrWork = index_t{1} << 22;", "kExtendedQrWork = index_t{1} << 25;"),
    ("residual rounding bound x10", "models/linear/residuals.cpp",
     "< 0x1p-33))", "< 0x1p-30))"),
    ("residuals re-formed without the products' errors", "linalg/double_double.hpp",
     "lo += std::fma(a, b, -p);", "(void)0;"),
    ("QR minimum's residual sum ignored", "models/linear/ols/ols.cpp",
     "if (sol->ssr) ssr = std::min(ssr, *sol->ssr);", "(void)0;"),
    ("target rescale factor dropped", "models/linear/validation.cpp",
     "if (r.mse) *r.mse = std::ldexp(*r.mse, 2 * back);", "if (r.mse) *r.mse = std::ldexp(*r.mse, back);"),
    ("underflow taken for a perfect fit's noise", "models/linear/validation.cpp",
     "if (worst == Landing::Under && !noise)", "if (worst == Landing::Under)"),
    ("zero-length columns not scanned", "linalg/cross_products.cpp",
     "if (!(squared <= 0x1p900) || squared < 0x1p-900) return false;",
     "if (!(squared <= 0x1p900) || (squared != 0.0 && squared < 0x1p-900)) return false;"),
    ("IV judges Z'X with the columns rescaled", "models/linear/least_squares_core.cpp",
     "if (!sv || !((*sv)[k - 1] > rank_tolerance(pr.n, k) * (*sv)[0]))",
     "if (!sv || !(scaled_singular_ratio(m.view()) > rank_tolerance(pr.n, k)))"),
    ("OLS target finiteness check removed", "models/linear/validation.cpp",
     "if (!checked.x || !finite_target(checked, y))", "if (!checked.x)"),
    ("OLS classical errors from the wrong diagonal", "models/linear/ols/ols.cpp",
     "s[i] = std::sqrt(mse * sol->inverse(i, i));", "s[i] = std::sqrt(mse * sol->inverse(i, k - 1 - i));"),
    ("rank tolerance loosened", "models/linear/routes.hpp",
     "std::numeric_limits<double>::epsilon();\n}", "std::numeric_limits<double>::epsilon() * 1e-6;\n}"),
    ("design rank check dropped", "models/linear/least_squares_core.cpp",
     "> tol)) return std::unexpected(SolveFailure::Singular);\n    if (!ill)", "> -1.0)) return std::unexpected(SolveFailure::Singular);\n    if (!ill)"),
    ("QR threshold moved", "models/linear/least_squares_core.cpp",
     "const bool ill = !normal_equations_trusted(rcond);", "const bool ill = !normal_equations_trusted(rcond * 1e6);"),
    ("intercept row not bordered", "models/linear/least_squares_core.cpp",
     "pr.intercept_row);", "nullptr);"),
    ("QR covariance R^-T R^-1 (transpose swapped)", "models/linear/least_squares_core.cpp",
     "linalg::dot(r_inv->view(), r_inv->t()), d.data())", "linalg::dot(r_inv->t(), r_inv->view()), d.data())"),
    ("QR back-substitution on the wrong triangle", "models/linear/least_squares_core.cpp",
     "Triangle::Upper, qr.working->qtb.view())", "Triangle::Lower, qr.working->qtb.view())"),
    ("centred pass: correction sign flipped", "linalg/cross_products.cpp",
     "s(j, l) = at(j, l) - dj * at(l, p + 1) / nd;", "s(j, l) = at(j, l) + dj * at(l, p + 1) / nd;"),
    ("centred pass: column means not corrected", "linalg/cross_products.cpp",
     "mean[j] = m;", "mean[j] = c[j];"),
    ("centred pass: target mean not corrected", "linalg/cross_products.cpp",
     ".y_mean = cy + dy / nd,", ".y_mean = cy,"),
    ("refinement step sign flipped", "models/linear/least_squares_core.cpp",
     "for (index_t j = 0; j < p; ++j) b[j] += delta[j];", "for (index_t j = 0; j < p; ++j) b[j] -= delta[j];"),
    ("intercept variance misses the mean term", "models/linear/design_system.cpp",
     "m(0, 0) = 1.0 / total_weight + linalg::dot(x_mean, VectorView{qm.data(), p, 1});", "m(0, 0) = 1.0 / total_weight;"),
    ("constant-target noise level dropped", "models/fit_results.cpp",
     "return {tss, neps * neps * swyy, swyy};", "return {tss, 0.0, swyy};"),
    ("normal distribution from nu >= 30", "stats/inference.cpp",
     "if (nu >= 31) return 2.0", "if (nu >= 30) return 2.0"),
    ("t quantiles stop at nu = 29", "stats/inference.cpp",
     "if (nu >= 1 && nu <= 30) {", "if (nu >= 1 && nu <= 29) {"),
    ("alpha range check narrowed", "stats/inference.cpp",
     "alpha >= 0.0 && alpha <= 2.0", "alpha >= 0.0 && alpha <= 1.0"),
    ("alpha read as a one-sided level", "stats/inference.cpp",
     "const double p = alpha * -0.5 + 1.0;", "const double p = alpha * -1.0 + 1.0;"),
    ("F tail with swapped degrees of freedom", "stats/inference.cpp",
     "return ibeta(v / 2.0, k / 2.0, v / (v + k * f));", "return ibeta(k / 2.0, v / 2.0, v / (v + k * f));"),
    ("kurtosis not excess", "stats/diagnostics.cpp",
     "kurtosis = m4 / (m2 * m2) - 3.0;", "kurtosis = m4 / (m2 * m2);"),
    ("omnibus from 8 residuals", "stats/diagnostics.cpp",
     "if (count < 20.0 ||", "if (count < 8.0 ||"),
    ("Jarque-Bera kurtosis weight", "stats/diagnostics.cpp",
     "(kurtosis * kurtosis) * 0.25)", "(kurtosis * kurtosis) * 0.5)"),
    ("Durbin-Watson drops the first residual", "stats/diagnostics.cpp",
     "s.sum_sq = e[0] * e[0];", "s.sum_sq = 0.0;"),
    ("report adjusted R2 dof", "report/report.cpp",
     "h.r_squared_adj = 1.0 - ((1.0 - r2) * n_minus_1) / v;", "h.r_squared_adj = 1.0 - ((1.0 - r2) * n_minus_1) / (v + 1.0);"),
    ("report BIC counts slopes only", "report/report.cpp",
     "h.bic = std::log(n) * p", "h.bic = std::log(n) * k"),
    ("report log-likelihood sign", "report/report.cpp",
     "std::log(*r.mse * kTwoPi) + half;", "std::log(*r.mse * kTwoPi) - half;"),
    ("condition note threshold inclusive", "report/report.cpp",
     "if (c > 30.0) return", "if (c >= 30.0) return"),
    ("inference dof ignores the intercept", "models/fit_results.hpp",
     "(fit_intercept ? 1u : 0u));\n    }", "(fit_intercept ? 0u : 0u));\n    }"),
    ("adjusted R2 numerator n", "models/fit_results.hpp",
     "static_cast<double>(n - 1) / static_cast<double>(n - k)", "static_cast<double>(n) / static_cast<double>(n - k)"),
    ("R2 clamp dropped", "models/fit_results.cpp",
     "std::isnan(r2) ? -1.0 : std::max(r2, -1.0);", "std::isnan(r2) ? -1.0 : r2;"),
    ("Cholesky solve reads the upper triangle", "linalg/factor.cpp",
     "lapack::dpotrs_(\"L\", &N, &NRHS,", "lapack::dpotrs_(\"U\", &N, &NRHS,"),
    ("rcond without the inverse norm", "linalg/factor.cpp",
     "1.0 / (anorm * inorm) : 0.0;", "1.0 / anorm : 0.0;"),
    ("triangular solve: transposed operand's triangle", "linalg/ops.cpp",
     "(tri == Triangle::Lower) == (ot->trans == lapack::NoTrans);",
     "(tri == Triangle::Lower) != (ot->trans == lapack::NoTrans);"),
    ("clustered scores: wrong column", "models/panel_data/fe/within.cpp",
     "for (index_t j = 0; j < k; ++j) dst[j] += ei * src[j];", "for (index_t j = 0; j < k; ++j) dst[j] += ei * src[0];"),
    ("FE entity means not divided", "models/panel_data/fe/within.cpp",
     "a[j] = a[j] / c;", "a[j] = a[j];"),
    ("FE mse over n - k", "models/panel_data/fe/fe.cpp",
     "const double mse = ssr / static_cast<double>(df);", "const double mse = ssr / static_cast<double>(n - k);"),
    ("FE degrees-of-freedom check loosened", "models/panel_data/fe/fe.cpp",
     "if (n <= k + n_ent) return", "if (n < k + n_ent) return"),
    ("GLS symmetry tolerance loosened", "models/linear/gls/gls.cpp",
     "kSymmetryTolerance = 1e-9;", "kSymmetryTolerance = 1e-1;"),
    ("GLS SVD route boundary", "models/linear/routes.hpp",
     ".svd_at_most = 3.0,\n                                       .singular = \"XTX",
     ".svd_at_most = 2.0,\n                                       .singular = \"XTX"),
    ("GLS residual dof", "models/linear/gls/gls.cpp",
     "const double mse = ssr / static_cast<double>(n - k);", "const double mse = ssr / static_cast<double>(n);"),
    ("TSLS sigma2 dof off by one", "models/linear/tsls/tsls.cpp",
     "const double sigma2 = ssr / static_cast<double>(n - k);", "const double sigma2 = ssr / static_cast<double>(n - k - 1);"),
    ("residuals without the intercept", "models/linear/residuals.cpp",
     "e[i] = y[i] - (e[i] + b0);", "e[i] = y[i] - e[i];"),
    ("IV sigma2 over n", "models/linear/iv/iv.cpp",
     "const double sigma2 = ssr / static_cast<double>(n - kd);", "const double sigma2 = ssr / static_cast<double>(n);"),
    ("WLS zero weights accepted", "models/linear/wls/wls.cpp",
     "if (!(w > 0.0) || std::isinf(w))", "if (!(w >= 0.0) || std::isinf(w))"),
    ("Ridge penalised route factors like the unpenalised one", "models/linear/routes.hpp",
     "kRidgeRoute{.factor_above = 2.0,", "kRidgeRoute{.factor_above = kNever,"),
    ("Ridge penalty halved", "models/linear/ridge/ridge.cpp",
     "penalty[i] = alpha_ *", "penalty[i] = 0.5 * alpha_ *"),
    ("row chunks: one partial left out of the sum", "linalg/row_chunks.cpp",
     "for (index_t c = 1; c < chunks.count; ++c) {", "for (index_t c = 2; c < chunks.count; ++c) {"),
    ("row chunks sized by the thread count", "linalg/row_chunks.cpp",
     "const index_t rows = std::max<index_t>(blocks * block_rows, 1);",
     "const index_t rows = std::max<index_t>(blocks * block_rows * max_threads(), 1);"),
    ("BLAS thread count not given back", "linalg/blas_threads.cpp",
     "lapack::openblas_set_num_threads(*blas_callers_threads);", "(void)blas_callers_threads;"),
    ("BLAS count set by the caller during a hold not kept", "linalg/blas_threads.cpp",
     "blas_callers_threads = now;", "(void)now;"),
    ("fork does not wait for running calls", "linalg/blas_threads.cpp",
     "section_change.wait(lock, [] { return sections_open == 0; });", ""),
    ("FE target not demeaned", "models/panel_data/fe/within.cpp",
     "y_within[i] = y[i] - mean[k];", "y_within[i] = y[i];"),
    ("FE effects without the slopes' part", "models/panel_data/fe/within.cpp",
     "for (index_t j = 0; j < k; ++j) a -= mean[j] * beta[j];", "(void)beta;"),
    # Mergeable moments and the second pass over partitions.
    ("moments: chunk link without the merged share", "models/linear/moments.cpp",
     "std::sqrt(total * (weight / merged))", "std::sqrt(total * weight)"),
    ("moments: running mean not updated", "models/linear/moments.cpp",
     "mean[j] += (weight / merged) * (chunk_mean[j] - mean[j]);", "(void)merged;"),
    ("moments merge: pivots' difference dropped", "models/linear/moments.cpp",
     "const double delta = (b.pivot[j] - a.pivot[j]) + (b.mean[j] - a.mean[j]);",
     "const double delta = b.mean[j] - a.mean[j];"),
    ("score pass: HC3 leverage taken as HC2's", "models/linear/moments.cpp",
     "factor[i] /= power == 1 ? std::sqrt(1.0 - hi) : 1.0 - hi;", "factor[i] /= std::sqrt(1.0 - hi);"),
    ("score pass: cluster sums unweighted", "models/linear/moments.cpp",
     "const double s = ri[i] * e[i] * ri[i];", "const double s = e[i];"),
    # The ends of the chunks and blocks of every scan.
    ("finiteness scan: last element of each 1024-block skipped", "linalg/magnitudes.cpp",
     "std::min(n, start + 1024);", "std::min(n, start + 1023);"),
    ("finiteness scan: last partial 1024-block skipped", "linalg/magnitudes.cpp",
     "start < n; start += 1024", "start + 1024 <= n; start += 1024"),
    ("target scan: last element skipped", "linalg/magnitudes.cpp",
     "for (index_t i = 0; i < v.len; ++i)\n        if (!std::isfinite(v[i]))",
     "for (index_t i = 0; i + 1 < v.len; ++i)\n        if (!std::isfinite(v[i]))"),
    ("magnitude scan: odd last element of each chunk skipped", "linalg/magnitudes.cpp",
     "for (; i < v.len; ++i) {\n        const double a", "for (; i + 1 < v.len; ++i) {\n        const double a"),
    ("checked copy: last element of each chunk unchecked", "linalg/magnitudes.cpp",
     "local.add(src[i]);", "if (i + 1 < n) local.add(src[i]);"),
    ("predict check: last row of each chunk unchecked", "linalg/ops.cpp",
     "if (!all_finite(rows)) {", "if (!all_finite(rows.row_range(0, rows.rows() - 1))) {"),
    ("predict check: last row of each block unchecked", "linalg/ops.cpp",
     "if (check_finite && !all_finite(b)) return false;",
     "if (check_finite && !all_finite(b.row_range(0, rows - 1))) return false;"),
    ("blocked pass: last row of each block left out", "linalg/row_blocks.cpp",
     "std::min(block_rows, first + count - start);", "std::min(block_rows - 1, first + count - start);"),
    ("Sigma scan: last row unchecked", "models/linear/gls/gls.cpp",
     "i < std::min(n, bi + tile)", "i < std::min(n - 1, bi + tile)"),
    ("weights scan: last weight unchecked", "models/linear/wls/wls.cpp",
     "for (index_t i = 0; i < n; ++i) {\n        const double w = weights[i];",
     "for (index_t i = 0; i + 1 < n; ++i) {\n        const double w = weights[i];"),
    # Each threshold ten times looser and tighter (the magnitude range's
    # exponent bounds move by three binades, a factor of 8).
    ("GLS symmetry tolerance x10", "models/linear/gls/gls.cpp", "kSymmetryTolerance = 1e-9;", "kSymmetryTolerance = 1e-8;"),
    ("GLS symmetry tolerance /10", "models/linear/gls/gls.cpp", "kSymmetryTolerance = 1e-9;",
     "kSymmetryTolerance = 1e-10;"),
    ("constant-target noise level x10", "models/fit_results.cpp",
     "return {tss, neps * neps * swyy, swyy};", "return {tss, 10.0 * neps * neps * swyy, swyy};"),
    ("constant-target noise level /10", "models/fit_results.cpp",
     "return {tss, neps * neps * swyy, swyy};", "return {tss, 0.1 * neps * neps * swyy, swyy};"),
    ("rank tolerance x10", "models/linear/routes.hpp",
     "std::numeric_limits<double>::epsilon();\n}", "std::numeric_limits<double>::epsilon() * 10.0;\n}"),
    ("rank tolerance /10", "models/linear/routes.hpp",
     "std::numeric_limits<double>::epsilon();\n}", "std::numeric_limits<double>::epsilon() * 0.1;\n}"),
    ("huge-magnitude bound x8", "linalg/magnitudes.cpp", "huge = 0x1p480,", "huge = 0x1p483,"),
    ("huge-magnitude bound /8", "linalg/magnitudes.cpp", "huge = 0x1p480,", "huge = 0x1p477,"),
    ("tiny-magnitude bound x8", "linalg/magnitudes.cpp", "tiny = 0x1p-480;", "tiny = 0x1p-477;"),
    ("tiny-magnitude bound /8", "linalg/magnitudes.cpp", "tiny = 0x1p-480;", "tiny = 0x1p-483;"),
    # Rescaled fits.
    ("rescaled columns without their factor", "models/linear/validation.cpp",
     "x(i, j) = r[j] * factor[j];", "x(i, j) = r[j];"),
    ("column factor from signed values", "models/linear/validation.cpp",
     "std::fmax(big[j], std::fabs(r[j]))", "std::fmax(big[j], r[j])"),
    ("rescaled inverse: one factor dropped", "models/linear/validation.cpp",
     "m(i, j) *= fi(i) * fi(j);", "m(i, j) *= fi(i);"),
    ("Ridge rescaled penalty weight f, not f^2", "models/linear/ridge/ridge.cpp",
     "std::fmin(scaled.factor[j] * scaled.factor[j],", "std::fmin(scaled.factor[j],"),
    ("GLS rescaled slopes not scaled back", "models/linear/gls/gls.cpp",
     "linear::unscale_results(inner.r_, scaled.factor, target.factor)",
     "linear::unscale_results(inner.r_, linalg::Vector(scaled.factor.size(), 1.0).view(), target.factor)"),
    ("FE rescaled inverse not scaled back", "models/panel_data/fe/fe.cpp",
     "linear::rescale_inverse(*inner.xtx_inv_, scaled.factor, false);", "(void)inner.xtx_inv_;"),
    # In headers, last: each rebuilds most of the module.
    ("row chunks: each chunk one row short", "linalg/row_chunks.hpp",
     "return std::min(rows, n - chunk * rows); }", "return std::min(rows, n - chunk * rows) - 1; }"),
    ("huge-magnitude test misses negative values", "linalg/magnitudes.hpp",
     "huge |= static_cast<std::uint8_t>(a >= 0x1p480);", "huge |= static_cast<std::uint8_t>(v >= 0x1p480);"),
    ("huge-magnitude bound x10 (checked copy)", "linalg/magnitudes.hpp", "a >= 0x1p480", "a >= 0x1p480 * 10"),
    ("tiny-magnitude bound /10 (checked copy)", "linalg/magnitudes.hpp", "a < 0x1p-480", "a < 0x1p-480 / 10"),
    ("rescaled standard errors not scaled back", "models/linear/validation.cpp",
     "if (r.coef_std_errors) (*r.coef_std_errors)[j] = std::ldexp(",
     "if (false) (*r.coef_std_errors)[j] = std::ldexp("),
    # Added after the list above was numbered.
    ("magnitude scan: the second lane's flags dropped", "linalg/magnitudes.cpp",
     "bad = _mm_movemask_pd(any_bad);", "bad = _mm_movemask_pd(any_bad) & 1;"),
    # The package's pipeline: covariance types, the solve and its retry, the IV
    # tests, GLS and FE, the moments' Gram route and the small native factorisations.
    ("HC1 factor n / (n - k + 1)", "ordinata_frames/_covariance.py",
     "return n / (n - df_k)", "return n / (n - df_k + 1)"),
    ("HC3 leverage power taken as HC2's", "ordinata_frames/_covariance.py",
     "leverage_power = 2", "leverage_power = 1"),
    ("CRV1 factor without G / (G - 1)", "ordinata_frames/_covariance.py",
     "return g / (g - 1) * (n - 1) / (n - df_k)", "return (n - 1) / (n - df_k)"),
    ("CRV1 two-way G the most groups", "ordinata_frames/_covariance.py",
     "return min(len(c) for c in sums.clusters[:2])", "return max(len(c) for c in sums.clusters[:2])"),
    ("CRV1 t with G degrees of freedom", "ordinata_frames/_covariance.py",
     "return float(self.groups(sums) - 1)", "return float(self.groups(sums))"),
    ("CRV1 two-way pairs' term added", "ordinata_frames/_covariance.py",
     "zip((1.0, 1.0, -1.0), sums.clusters)", "zip((1.0, 1.0, 1.0), sums.clusters)"),
    ("FE clusters: nested-entity rule inverted", "ordinata_frames/_covariance.py",
     "return k + 1 if any(len(p) == groups for p in sums.pairs) else k + groups",
     "return k + groups if any(len(p) == groups for p in sums.pairs) else k + 1"),
    ("sandwich bread not refined by the scores' Gram", "ordinata_frames/_covariance.py",
     "sandwich(refined_left(left, sums.gram), meat)", "sandwich(left, meat)"),
    ("exact retry makes the fast pass again", "ordinata_frames/_pipeline.py",
     "stats = first_pass(True)", "stats = first_pass(False)"),
    ("WLS reports the weighted mse", "ordinata_frames/_pipeline.py",
     "if stats.plain else mse", "if False else mse"),
    ("R2 clamped for every model", "ordinata_frames/_pipeline.py",
     "r2 = _r2(f.ssr, tss, model in (\"OLS\", \"Ridge\"))", "r2 = _r2(f.ssr, tss, True)"),
    ("Sargan dof off by one", "ordinata_frames/_pipeline.py",
     "float(kz - ke), _native.chi2_sf(stat, kz - ke)", "float(kz - ke + 1), _native.chi2_sf(stat, kz - ke + 1)"),
    ("Wu-Hausman denominator dof off by one", "ordinata_frames/_pipeline.py",
     "df_denom = n - kw - ke - ke", "df_denom = n - kw - ke - ke + 1"),
    ("robust first-stage F taken as the iid one", "ordinata_frames/_pipeline.py",
     "if not family.residual_pass:\n            stat = ((on_w", "if True:\n            stat = ((on_w"),
    ("GLS columns whitened uncentred", "ordinata_frames/_pipeline.py",
     "centre = np.array([np.mean(column) for column in d.a]) if plan.intercept else np.zeros(k + 1)",
     "centre = np.zeros(k + 1)"),
    ("GLS intercept not taken back by the target's mean", "ordinata_frames/_pipeline.py",
     "beta[0] += centre[-1]", "beta[0] += 0.0"),
    ("FE fixed effects without the slopes' part", "ordinata_frames/_pipeline.py",
     "fixed_effects = means[:, -1] - means[:, :-1] @ f.beta", "fixed_effects = means[:, -1]"),
    ("FE entity means merged with swapped shares", "ordinata_frames/_passes.py",
     "share = b.counts / (before[cb] + b.counts)", "share = before[cb] / (before[cb] + b.counts)"),
    ("Gram route trusts any Cholesky factor", "models/linear/least_squares_core.cpp",
     "if (!f || !(f->rcond >= min_rcond)) return std::nullopt;", "if (!f) return std::nullopt;"),
    ("moments solve never asks for exact moments", "models/linear/moments.cpp",
     "if (!trusted_cholesky(g)) {", "if (false) {"),
    ("Gram moments marked exact", "models/linear/moments.cpp",
     "Matrix(), intercept, false};", "Matrix(), intercept, true};"),
    ("moments merge: exact if either side is", "models/linear/moments.cpp",
     "a.exact && b.exact};", "a.exact || b.exact};"),
    ("Gram route for fewer rows than columns", "models/linear/moments.cpp",
     "if (n < c || c == 0) return std::nullopt;", "if (c == 0) return std::nullopt;"),
    ("whiten: columns scaled back by 2^-s", "frames/dense.cpp",
     "(*w)(i, j) = std::ldexp((*w)(i, j), s);", "(*w)(i, j) = std::ldexp((*w)(i, j), -s);"),
    ("whiten: Sigma scaled by 2^s, not 2^(2s)", "frames/dense.cpp",
     "f(i, j) = std::ldexp(f(i, j), 2 * s);", "f(i, j) = std::ldexp(f(i, j), s);"),
    ("solve accepts any nonzero rcond", "frames/dense.cpp",
     "!(f->rcond >= std::numeric_limits<double>::epsilon())", "!(f->rcond > 0.0)"),
    ("r_factor drops the diagonal", "frames/dense.cpp",
     "i < std::min(j + 1, k); ++i) r(i, j)", "i < std::min(j, k); ++i) r(i, j)"),
    ("CR2 degrees of freedom without the trace squared", "ordinata_frames/_covariance.py",
     "self.df_per_term = trace * trace / square", "self.df_per_term = trace / square"),
    ("CR3 without its (G - 1) / G", "ordinata_frames/_covariance.py",
     "return (g - 1) / g", "return 1.0"),
    ("HAC without its n / (n - k)", "ordinata_frames/_covariance.py",
     "sandwich(bread, bartlett(t, lags)) * n / (n - df_k)", "sandwich(bread, bartlett(t, lags))"),
    ("Bartlett weights 1 - l / L", "ordinata_frames/_covariance.py",
     "(1.0 - lag / (lags + 1.0))", "(1.0 - lag / lags)"),
    ("DK t with T degrees of freedom", "ordinata_frames/_covariance.py",
     "return float(periods - 1)", "return float(periods)"),
    ("automatic lags with the quadratic-spectral constant", "ordinata_frames/_covariance.py",
     "m = float(1.1447 *", "m = float(1.3221 *"),
    ("bootstrap t without G / (G - 1)", "ordinata_frames/_bootstrap.py",
     "scale = groups / (groups - 1) * (n - 1)", "scale = (n - 1)"),
    ("absorbed levels of two factors less one, not their components", "ordinata_frames/_absorb.py",
     "kept[1].levels - components(kept[0], kept[1])[0]", "kept[1].levels - 1"),
    ("absorbed levels of three factors less one per factor", "ordinata_frames/_absorb.py",
     "return sum(f.levels for f in kept) - (len(kept) - 1)", "return sum(f.levels for f in kept) - len(kept)"),
    ("absorbed factors never nested", "ordinata_frames/_absorb.py",
     "return bool(np.array_equal(some[inner.codes], outer))", "return False"),
    ("CRV1 counts effects nested in a cluster in full", "ordinata_frames/_absorb.py",
     "nested_levels += f.levels", "nested_levels += 0"),
    ("bootstrap enumeration with weights 1 and 0, not 1 and -1", "frames/bootstrap.cpp",
     "(((b >> h) & 1u) != 0 ? 1.0 : -1.0)", "(((b >> h) & 1u) != 0 ? 1.0 : 0.0)"),
    ("absorbed solvers stop after one small move", "frames/conjugate_gradients.hpp",
     "if ((small && small_before) || out.iterations >= limit) break;", "if (small || out.iterations >= limit) break;"),
    ("absorbed solver's tolerance 1e4 times looser", "frames/absorb.cpp",
     "const double threshold = std::max(p_.tol, kRoundingFloor) * spread;\n        const auto levels",
     "const double threshold = std::max(p_.tol * 1e4, kRoundingFloor) * spread;\n        const auto levels"),
    ("level-space solver's tolerance 1e4 times looser", "frames/absorb_levels.cpp",
     "std::max(s_.tol, kRoundingFloor) * spread;", "std::max(s_.tol * 1e4, kRoundingFloor) * spread;"),
    ("partitions' level sums folded without moving their pivot", "frames/level_tables.cpp",
     "row[j] += from[j] + from[0] * by[j - 1];", "row[j] += from[j];"),
    ("crosstab's repeated pairs kept apart", "frames/level_tables.cpp",
     "if (it + 1 == last || code_of(*(it + 1)) != code_of(*it)) {", "if (true) {"),
    ("rows demeaned by the first factor only", "frames/level_tables.cpp",
     "for (std::size_t f = 0; f < factors; ++f) v -= level[f * kBlock + r][j];", "v -= level[r][j];"),
    ("reduced solve takes a row's place among its level's rows for the row", "frames/absorb.cpp",
     "double& v = x[r_.row_index[k]];", "double& v = x[k];"),
    ("absorbed columns' centred square sums unweighted", "frames/absorb.cpp",
     "out.square_sum += p_.weight(i) * (d * d);", "out.square_sum += d * d;"),
    ("conjugate gradients step along a direction only rounding sees", "frames/conjugate_gradients.hpp",
     "if (a * kRoundingFloor > 1.0) {", "if (false) {"),
    ("the levels' Gram taken whatever the subtraction cancels", "ordinata_frames/_absorb_levels.py",
     "np.all(total <= LOSS * kept)", "True"),
    ("the levels' Gram without the effects' own quadratic form", "ordinata_frames/_absorb_levels.py",
     "form - cross - cross.T", "-cross"),
    ("crosstab kernel's insertion sort moves equal levels past each other", "frames/level_tables.cpp",
     "by_g(*at, *(at - 1));", "!by_g(*(at - 1), *at);"),
]


# Mutants that change no result, only which of two equally exact routes runs.
EQUIVALENT = {
    "factored route k cut-off moved": "LU instead of Cholesky on the same equilibrated system for 99 < k <= 999",
    "OLS SVD route boundary moved": "the normal equations take every n > 2k below 1000 columns; only k >= 1000 "
    "with 3k < n <= 4k moves, where LU and SVD agree",
    "refinement contraction bound x10": "refinement still converges at a contraction of 1e-2; the bound keeps a margin",
    "residual rounding bound x10": "the bound is a worst case that BLAS's rounding stays far inside; it only "
    "decides how early the exact re-formation runs",
    "Ridge penalised route factors like the unpenalised one": "LU instead of Cholesky on the same positive definite system",
    "extended QR threshold x10": "moderately large ill-conditioned designs factored in extended instead of working precision: "
    "the same solution to its conditioning",
    # Columns inside 2^+-480 square and sum well inside the double range for
    # up to 2^57 rows, and rescaling by powers of two is exact: moving the
    # bounds by a few binades changes only whether an exact rescaling runs.
    "huge-magnitude bound x8": "columns up to 2^483 fit as exactly without rescaling",
    "huge-magnitude bound /8": "columns from 2^477 are rescaled, exactly",
    "tiny-magnitude bound x8": "columns below 2^-477 are rescaled, exactly",
    "tiny-magnitude bound /8": "columns down to 2^-483 fit as exactly without rescaling",
    "huge-magnitude bound x10 (checked copy)": "columns up to 2^483 fit as exactly without rescaling",
    "tiny-magnitude bound /10 (checked copy)": "columns down to 2^-483 fit as exactly without rescaling",
    # The check only spares the pass a Gram that cannot be trusted.
    "Gram route for fewer rows than columns": "the Gram of fewer rows than columns has rank below its order: its "
    "Cholesky factorisation fails or leaves an rcond at the rounding level, far under the trust bound, and the "
    "rows' QR is taken as before",
}


def run(cmd, cwd, timeout=None, env=None):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout, env=env)


def first_failure(output):
    """The first failing test id in pytest -x output."""
    for line in output.splitlines():
        if line.startswith(("FAILED ", "ERROR ")):
            return line.split()[1].split(" - ")[0]
    return None


def configure(tree, build):
    run(["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja", "-DORDINATA_BUILD_TESTS=ON",
         f"-DPython_EXECUTABLE={PYTHON}", f"-DCMAKE_MAKE_PROGRAM={NINJA}"], tree).check_returncode()


def build_all(tree, build):
    env = dict(os.environ, PATH=f"{NINJA.parent}:{os.environ['PATH']}")
    return run(["cmake", "--build", str(build)], tree, timeout=1200, env=env)


# Files that take most of the suite's time, run last: a mutant the quick
# files kill stops there (pytest -x).
SLOW_LAST = ["tests/test_fe.py", "tests/test_threads.py", "tests/test_examples.py", "tests/test_frames_dask.py"]


def suite_in_order(tree):
    files = sorted(str(p.relative_to(tree)) for p in (tree / "tests").glob("test_*.py"))
    files = [f for f in files if f not in SKIP]
    return [f for f in files if f not in SLOW_LAST] + [f for f in SLOW_LAST if f in files]


def overlay_frames(tree, build):
    """ordinata_frames from the tree with the private extension the build
    makes, ahead of the installed copy on the path: its tests then run the
    mutated core too."""
    (build / "py").mkdir()
    (build / "py" / "ordinata_frames").symlink_to(tree / "src" / "ordinata_frames")
    for so in build.glob("_native.*.so"):
        (tree / "src" / "ordinata_frames" / so.name).symlink_to(so)


def run_tests(tree, build, paths=("tests",)):
    """(None, seconds) when everything passes, else (what failed, seconds)."""
    start = time.time()
    ctest = run(["ctest", "--output-on-failure", "--stop-on-failure"], build, timeout=600)
    if ctest.returncode != 0:
        failed = [l.split("]", 1)[1].split()[0] for l in ctest.stdout.splitlines() if l.startswith("[  FAILED  ] ")]
        return "ctest " + (failed[0] if failed else "(crash)"), time.time() - start
    env = dict(os.environ, PYTHONPATH=f"{build}:{build / 'py'}")
    args = [str(PYTHON), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *paths]
    args += [f"--deselect={s}" if "::" in s else f"--ignore={s}" for s in SKIP]
    try:
        py = run(args, tree, timeout=900, env=env)
    except subprocess.TimeoutExpired:
        return "pytest (timeout)", time.time() - start
    if py.returncode == 0:
        return None, time.time() - start
    return first_failure(py.stdout) or f"pytest (exit {py.returncode})", time.time() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--check", action="store_true", help="only verify that every mutant applies")
    ap.add_argument("--only", help="comma-separated mutant numbers (1-based)")
    ap.add_argument("--tests", help="comma-separated test paths instead of the whole suite (a quick look: a "
                    "survivor may still be killed by a test left out); the results file is left alone")
    opts = ap.parse_args()

    chosen = range(1, len(MUTANTS) + 1) if not opts.only else [int(i) for i in opts.only.split(",")]
    # The mutants expected to survive, which run the whole suite, last.
    chosen = sorted(chosen, key=lambda i: MUTANTS[i - 1][0] in EQUIVALENT)
    bad = []
    # --check looks at every mutant; a run, at the ones it plants.
    for i in range(1, len(MUTANTS) + 1) if opts.check else chosen:
        what, path, old, _ = MUTANTS[i - 1]
        count = (ROOT / "src" / path).read_text().count(old)
        if count != 1:
            bad.append(f"#{i} {what}: found {count} times in {path}")
    if bad:
        sys.exit("\n".join(bad))
    if opts.check:
        print(f"all {len(MUTANTS)} mutants apply")
        return

    # Ctrl-C, and a plain kill too, end the run through the finally blocks
    # below (a background job starts with SIGINT ignored, hence both).
    def interrupt(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)
    tmp = Path(tempfile.mkdtemp(prefix="ordinata-mutate-"))
    tree, build = tmp / "tree", tmp / "build"
    run(["git", "worktree", "add", "--detach", str(tree), "HEAD"], ROOT).check_returncode()
    rows = []
    try:
        shutil.rmtree(tree / "tests")
        shutil.copytree(ROOT / "tests", tree / "tests", ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy2(ROOT / "README.md", tree / "README.md")
        configure(tree, build)
        if build_all(tree, build).returncode != 0:
            sys.exit("the unmutated tree does not build")
        overlay_frames(tree, build)
        paths = opts.tests.split(",") if opts.tests else suite_in_order(tree)
        failed, secs = run_tests(tree, build, paths)
        if failed:
            sys.exit(f"the unmutated tree fails: {failed}")
        print(f"baseline passes in {secs:.0f}s", flush=True)
        for i in chosen:
            what, path, old, new = MUTANTS[i - 1]
            src = tree / "src" / path
            original = src.read_text()
            line = original[: original.index(old)].count("\n") + 1
            src.write_text(original.replace(old, new, 1))
            try:
                built = build_all(tree, build)
                if built.returncode != 0:
                    verdict = "killed: does not compile"
                elif what in EQUIVALENT and not opts.tests:
                    # Expected to survive: the quick files confirm that nothing
                    # notices, without the slow ones' minutes each.
                    failed, secs = run_tests(tree, build, [p for p in paths if p not in SLOW_LAST])
                    verdict = f"killed by `{failed}`" if failed else "SURVIVED (the files other than the slow ones)"
                else:
                    failed, secs = run_tests(tree, build, paths)
                    verdict = f"killed by `{failed}`" if failed else "SURVIVED"
            finally:
                src.write_text(original)
                os.utime(src)
            rows.append((i, what, f"src/{path}:{line}", verdict))
            print(f"#{i} {what}: {verdict}", flush=True)
    finally:
        run(["git", "worktree", "remove", "--force", str(tree)], ROOT)
        shutil.rmtree(tmp, ignore_errors=True)
        if rows and not opts.tests:
            write(rows)


def previous_rows():
    """Rows of the last results file, so that a run with --only updates them."""
    if not RESULTS.exists():
        return {}
    rows = {}
    for line in RESULTS.read_text().splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) == 4 and cells[0].isdigit():
            rows[int(cells[0])] = (int(cells[0]), cells[1], cells[2], cells[3])
    return rows


def annotated(what, verdict):
    """A survivor's verdict with why it is equivalent, where it is."""
    if what not in EQUIVALENT or verdict.startswith("SURVIVED (equivalent") or not verdict.startswith("SURVIVED"):
        return verdict
    how = verdict[len("SURVIVED"):].strip(" ()")
    return f"SURVIVED (equivalent: {EQUIVALENT[what]}" + (f"; run on {how})" if how else ")")


def write(rows):
    merged = previous_rows()
    merged.update({r[0]: r for r in rows})
    rows = [merged[i] for i in sorted(merged)]
    rows = [(i, w, where, annotated(w, v)) for i, w, where, v in rows]
    killed = sum(1 for r in rows if not r[3].startswith("SURVIVED"))
    equivalent = sum(1 for r in rows if r[3].startswith("SURVIVED (equivalent"))
    out = ["# Mutation results", "",
           f"{len(rows)} mutants, {equivalent} of them equivalent; {killed} of the {len(rows) - equivalent} "
           f"non-equivalent ones killed (`make mutate`, {time.strftime('%Y-%m-%d')}).", "",
           "| # | mutant | where | result |", "|---|---|---|---|"]
    out += [f"| {i} | {what} | {where} | {verdict} |" for i, what, where, verdict in rows]
    RESULTS.write_text("\n".join(out) + "\n")


if __name__ == "__main__":
    main()

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
PYTHON = ROOT / ".venv" / "bin" / "python"
NINJA = ROOT / ".venv" / "bin" / "ninja"
RESULTS = ROOT / "scripts" / "mutation-results.md"

# Slow files whose concerns (leaks, stubs, packaging, fuzzing, address-space
# limits) no one-line numerical fault reaches.
SKIP = ["tests/test_leaks.py", "tests/test_typing.py", "tests/test_packaging.py", "tests/fuzz",
        "tests/test_masked_and_strided.py"]

# (what, file under src/, text as it stands, its replacement): each text must
# occur exactly once in its file.
MUTANTS = [
    ("OLS residual dof off by one", "models/linear/ols/ols.cpp",
     "const double mse = ssr / static_cast<double>(n - k);", "const double mse = ssr / static_cast<double>(n - k + 1);"),
    ("OLS sample-count check loosened", "models/linear/ols/ols.cpp",
     "if (n <= k) return value_error(\"Insufficient", "if (n < k) return value_error(\"Insufficient"),
    ("OLS Cholesky route k cut-off moved", "models/linear/ols/ols.cpp",
     "n > 2 * k && k <= 999;", "n > 2 * k && k <= 99;"),
    ("OLS SVD route boundary moved", "models/linear/ols/ols.cpp",
     "!cholesky_route && n <= 4 * k;", "!cholesky_route && n < 4 * k;"),
    ("OLS refinement dropped", "models/linear/ols/ols.cpp",
     "refine && step < 2; ++step)", "refine && step < 0; ++step)"),
    ("OLS refined intercept not recomputed", "models/linear/ols/ols.cpp",
     "if (refine && fit_intercept_) sol.beta[0]", "if (false) sol.beta[0]"),
    ("OLS target finiteness check removed", "models/linear/ols/ols.cpp",
     "if (!checked.x || !linear::finite_target(checked, y))", "if (!checked.x)"),
    ("OLS classical errors from the wrong diagonal", "models/linear/ols/ols.cpp",
     "s[i] = std::sqrt(mse * sol.inverse(i, i));", "s[i] = std::sqrt(mse * sol.inverse(i, k - 1 - i));"),
    ("rank tolerance loosened", "models/linear/least_squares_core.cpp",
     "std::max(n, k)) * kEps; }", "std::max(n, k)) * kEps * 1e-6; }"),
    ("design rank check dropped", "models/linear/least_squares_core.cpp",
     "if (!(singular_value_ratio(rank_factor) > tol)) return", "if (false) return"),
    ("QR threshold moved", "models/linear/least_squares_core.cpp",
     "const bool ill = rcond < kExamineBelowRcond;", "const bool ill = rcond < kExamineBelowRcond * 1e-6;"),
    ("intercept row not bordered", "models/linear/least_squares_core.cpp",
     "pr.intercept_row.get());", "nullptr);"),
    ("QR covariance R^-T R^-1 (transpose swapped)", "models/linear/least_squares_core.cpp",
     "linalg::dot(r_inv->view(), r_inv->t())", "linalg::dot(r_inv->t(), r_inv->view())"),
    ("QR back-substitution on the wrong triangle", "models/linear/least_squares_core.cpp",
     "solve_triangular(q->r, Triangle::Upper, q->qtb.view())", "solve_triangular(q->r, Triangle::Lower, q->qtb.view())"),
    ("centred pass: correction sign flipped", "models/linear/normal_equations.cpp",
     "s(j, l) = at(j, l) - dj * at(l, p + 1) / nd;", "s(j, l) = at(j, l) + dj * at(l, p + 1) / nd;"),
    ("centred pass: column means not corrected", "models/linear/normal_equations.cpp",
     "mean[j] = c[j] + dj / nd;", "mean[j] = c[j];"),
    ("centred pass: target mean not corrected", "models/linear/normal_equations.cpp",
     "CentredCrossProducts out{std::move(mean), cy + dy / nd,", "CentredCrossProducts out{std::move(mean), cy,"),
    ("refinement step sign flipped", "models/linear/normal_equations.cpp",
     "for (index_t j = 0; j < p; ++j) b[j] += delta[j];", "for (index_t j = 0; j < p; ++j) b[j] -= delta[j];"),
    ("intercept variance misses the mean term", "models/linear/normal_equations.cpp",
     "m(0, 0) = 1.0 / total_weight + linalg::dot(x_mean, VectorView{qm.data(), p, 1});", "m(0, 0) = 1.0 / total_weight;"),
    ("constant-target noise level dropped", "models/linear/normal_equations.cpp",
     "return {tss, neps * neps * swyy};", "return {tss, 0.0};"),
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
     "m4 / (m2 * m2) - 3.0}", "m4 / (m2 * m2)}"),
    ("omnibus from 8 residuals", "stats/diagnostics.cpp",
     "if (n < 20 ||", "if (n < 8 ||"),
    ("Jarque-Bera kurtosis weight", "stats/diagnostics.cpp",
     "(m.kurtosis * m.kurtosis) * 0.25)", "(m.kurtosis * m.kurtosis) * 0.5)"),
    ("Durbin-Watson drops the first residual", "stats/diagnostics.cpp",
     "double d = 0.0, q = e[0] * e[0];", "double d = 0.0, q = 0.0;"),
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
     "for (index_t l = j; l < k; ++l) brow[l] += sj * s[l];", "for (index_t l = j; l < k; ++l) brow[l] += sj * s[j];"),
    ("FE entity means not divided", "models/panel_data/fe/within.cpp",
     "a[j] = a[j] / c;", "a[j] = a[j];"),
    ("FE mse over n - k", "models/panel_data/fe/fe.cpp",
     "const double mse = ssr_w / static_cast<double>(df);", "const double mse = ssr_w / static_cast<double>(n - k);"),
    ("FE degrees-of-freedom check loosened", "models/panel_data/fe/fe.cpp",
     "if (n <= k + n_ent) return", "if (n < k + n_ent) return"),
    ("GLS symmetry tolerance loosened", "models/linear/gls/gls.cpp",
     "kSymmetryTolerance = 1e-9;", "kSymmetryTolerance = 1e-1;"),
    ("GLS SVD route boundary", "models/linear/gls/gls.cpp",
     "if (n <= 3 * k) {", "if (n <= 2 * k) {"),
    ("GLS residual dof", "models/linear/gls/gls.cpp",
     "const double mse = ssr / static_cast<double>(n - k);", "const double mse = ssr / static_cast<double>(n);"),
    ("TSLS sigma2 dof off by one", "models/linear/tsls/tsls.cpp",
     "const double sigma2 = ssr / static_cast<double>(n - k);", "const double sigma2 = ssr / static_cast<double>(n - k - 1);"),
    ("TSLS residuals without the intercept", "models/linear/tsls/tsls.cpp",
     "e[i] = y[i] - (e[i] + b0);", "e[i] = y[i] - e[i];"),
    ("IV sigma2 over n", "models/linear/iv/iv.cpp",
     "const double sigma2 = ssr / static_cast<double>(n - kd);", "const double sigma2 = ssr / static_cast<double>(n);"),
    ("WLS zero weights accepted", "models/linear/wls/wls.cpp",
     "if (!(w > 0.0) || std::isinf(w))", "if (!(w >= 0.0) || std::isinf(w))"),
    ("Ridge penalises on the LU route only", "models/linear/ridge/ridge.cpp",
     "n > 2 * k && k <= 999 && positive;", "n > 2 * k && k <= 999 && !positive;"),
    ("Ridge penalty halved", "models/linear/ridge/ridge.cpp",
     "sys.g(i, i) += alpha_ *", "sys.g(i, i) += 0.5 * alpha_ *"),
    ("row chunks: one partial left out of the sum", "linalg/parallel.cpp",
     "for (index_t c = 1; c < chunks.count; ++c) {", "for (index_t c = 2; c < chunks.count; ++c) {"),
    ("row chunks sized by the thread count", "linalg/parallel.cpp",
     "const index_t rows = std::max<index_t>(blocks * block_rows, 1);",
     "const index_t rows = std::max<index_t>(blocks * block_rows * max_threads(), 1);"),
    ("BLAS thread count not given back", "linalg/parallel.cpp",
     "lapack::openblas_set_num_threads(*blas_callers_threads);", "(void)blas_callers_threads;"),
    ("BLAS count set by the caller during a hold not kept", "linalg/parallel.cpp",
     "blas_callers_threads = now;", "(void)now;"),
    ("fork does not wait for running calls", "linalg/parallel.cpp",
     "section_change.wait(lock, [] { return sections_open == 0; });", ""),
    ("FE within residuals not demeaned in y", "models/panel_data/fe/within.cpp",
     "const double e = (y[i] - mean[k]) - fit_within;", "const double e = y[i] - fit_within;"),
]


# Mutants that change no result, only which of two equally exact routes runs.
EQUIVALENT = {
    "OLS Cholesky route k cut-off moved": "LU instead of Cholesky on the same equilibrated system for 99 < k <= 999",
    "OLS SVD route boundary moved": "differs only at k >= 1000 with n = 4k exactly, where LU and SVD agree",
    "Ridge penalises on the LU route only": "LU instead of Cholesky on the same positive definite system",
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


def test(tree, build):
    """(None, seconds) when everything passes, else (what failed, seconds)."""
    start = time.time()
    ctest = run(["ctest", "--output-on-failure", "--stop-on-failure"], build, timeout=600)
    if ctest.returncode != 0:
        failed = [l.split("]", 1)[1].split()[0] for l in ctest.stdout.splitlines() if l.startswith("[  FAILED  ] ")]
        return "ctest " + (failed[0] if failed else "(crash)"), time.time() - start
    env = dict(os.environ, PYTHONPATH=str(build))
    args = [str(PYTHON), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests"]
    args += [f"--ignore={s}" for s in SKIP]
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
    opts = ap.parse_args()

    chosen = range(1, len(MUTANTS) + 1) if not opts.only else [int(i) for i in opts.only.split(",")]
    bad = []
    for i, (what, path, old, _) in enumerate(MUTANTS, 1):
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
        failed, secs = test(tree, build)
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
                else:
                    failed, secs = test(tree, build)
                    verdict = f"killed by `{failed}`" if failed else "SURVIVED"
            finally:
                src.write_text(original)
                os.utime(src)
            rows.append((i, what, f"src/{path}:{line}", verdict))
            print(f"#{i} {what}: {verdict}", flush=True)
    finally:
        run(["git", "worktree", "remove", "--force", str(tree)], ROOT)
        shutil.rmtree(tmp, ignore_errors=True)
        if rows:
            write(rows)


def previous_rows():
    """Rows of the last results file, so that a run with --only updates them."""
    if not RESULTS.exists():
        return {}
    rows = {}
    for line in RESULTS.read_text().splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) == 4 and cells[0].isdigit():
            verdict = "SURVIVED" if cells[3].startswith("SURVIVED") else cells[3]
            rows[int(cells[0])] = (int(cells[0]), cells[1], cells[2], verdict)
    return rows


def write(rows):
    merged = previous_rows()
    merged.update({r[0]: r for r in rows})
    rows = [merged[i] for i in sorted(merged)]
    rows = [(i, w, where, f"SURVIVED (equivalent: {EQUIVALENT[w]})" if v == "SURVIVED" and w in EQUIVALENT else v)
            for i, w, where, v in rows]
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

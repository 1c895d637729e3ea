"""The repaired wheel stands alone: installed into a bare venv, with every system
BLAS hidden, it imports, fits, and its module resolves no BLAS but its own."""

import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

WHEELHOUSE = os.environ.get("ORDINATA_WHEELHOUSE")
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"

# Where a system BLAS, LAPACK or the Fortran runtime a BLAS may pull in live on
# Debian; whichever exist are covered by empty mounts.
SYSTEM_LIB = Path("/usr/lib/x86_64-linux-gnu")
HIDDEN_DIRS = ["openblas-pthread", "openblas-openmp", "openblas-serial", "blas", "lapack", "atlas"]
HIDDEN_FILE_PREFIXES = ("libopenblas", "libblas", "liblapack", "libcblas", "libgfortran", "libquadmath")

FIT = """
import json, os, subprocess, sys
import numpy as np
import ordinata

rng = np.random.default_rng(7)
x = rng.normal(size=(500, 4))
y = 0.5 + x @ [1.0, -2.0, 0.25, 3.0] + rng.normal(size=500)
model = ordinata.OLS(robust=True)
model.fit(x, y)
design = np.column_stack([np.ones(500), x])
expected = np.linalg.lstsq(design, y, rcond=None)[0]
ldd = subprocess.run(["ldd", ordinata.__file__], capture_output=True, text=True, check=True).stdout
print(json.dumps({
    "module": ordinata.__file__,
    "coefficients": [model.intercept, *model.coefficients.tolist()],
    "expected": expected.tolist(),
    "standard_errors": model.standard_errors().tolist(),
    "ldd": ldd,
    "hidden_left": [p for p in sys.argv[1:] if os.path.exists(p) and os.path.getsize(p) > 0],
}))
"""


def wheel_path():
    if os.environ.get("ORDINATA_SANITIZED"):
        pytest.skip("the wheel is checked against the regular build, not the sanitized one")
    if not WHEELHOUSE:
        pytest.skip("no wheelhouse given: make test builds the repaired wheel and sets ORDINATA_WHEELHOUSE")
    wheels = sorted(Path(WHEELHOUSE).glob(f"ordinata-*-{TAG}-{TAG}-manylinux_*.whl"))
    assert len(wheels) == 1, f"expected one repaired {TAG} wheel in {WHEELHOUSE}, found {wheels}"
    return wheels[0]


def hiding_unavailable():
    if os.geteuid() != 0:
        return "hiding the system BLAS needs root (a private mount namespace with bind mounts)"
    if shutil.which("unshare") is None:
        return "unshare (util-linux) is not installed"
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    return probe.returncode and f"unshare -m is not permitted here: {probe.stderr.strip()}"


@pytest.fixture(scope="module")
def bare_venv(tmp_path_factory):
    wheel = wheel_path()
    venv = tmp_path_factory.mktemp("bare") / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", "--without-pip", venv], check=True)
    python = venv / "bin" / "python"
    # The wheel's own requirements and nothing else: numpy comes in as its dependency.
    subprocess.run([sys.executable, "-m", "pip", "--python", python, "install", "-q",
                    "--disable-pip-version-check", wheel], check=True)
    return python


def test_wheel_bundles_only_openblas_and_its_licence():
    names = zipfile.ZipFile(wheel_path()).namelist()
    bundled = [n for n in names if n.startswith("ordinata.libs/") and not n.endswith("/")]
    assert len(bundled) == 1 and bundled[0].startswith("ordinata.libs/libscipy_openblas"), bundled
    assert any(n.endswith(".dist-info/licenses/LICENSE-OpenBLAS.txt") for n in names)


def test_wheel_ships_the_frames_package_and_its_extra():
    wheel = zipfile.ZipFile(wheel_path())
    names = wheel.namelist()
    for part in ("__init__.py", "py.typed", "_native.pyi", "_estimators.py"):
        assert f"ordinata_frames/{part}" in names
    assert any(n.startswith("ordinata_frames/_native.") and n.endswith(".so") for n in names)
    metadata = wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert "Provides-Extra: frames" in metadata and "Provides-Extra: dask" in metadata
    extras: dict[str, dict[str, str]] = {}
    for line in metadata.splitlines():
        found = re.match(r"Requires-Dist: ([\w-]+)(?:\[[\w,]+\])?([^;]*);.*extra == .(\w+).", line)
        if found:
            extras.setdefault(found.group(3), {})[found.group(1)] = found.group(2).strip()
    assert sorted(extras["frames"]) == ["formulaic", "narwhals", "pandas"]
    # dask and distributed of one release: an unpinned pair can mix a new dask with an old distributed.
    assert extras["dask"]["dask"].startswith("==") and extras["dask"]["dask"] == extras["dask"]["distributed"]
    assert "ordinata" in extras["dask"]


FRAMES_BARE = """
import glob, importlib.util, os, sys
import ordinata
assert not any(m.startswith("ordinata_frames") for m in sys.modules)
try:
    import ordinata_frames
except ImportError as error:
    print(error)
site = os.path.dirname(ordinata.__file__)
[path] = glob.glob(os.path.join(site, "ordinata_frames", "_native.*.so"))
found = importlib.util.spec_from_file_location("ordinata_frames._native", path)
native = importlib.util.module_from_spec(found)
found.loader.exec_module(native)
print(native.t_pvalue(2.0, 10.0))
"""


def test_frames_without_its_extra_says_what_to_install(bare_venv):
    run = subprocess.run([bare_venv, "-c", FRAMES_BARE], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    message, pvalue = run.stdout.strip().splitlines()
    assert "pip install 'ordinata[frames]'" in message
    assert float(pvalue) == pytest.approx(0.0733880347707404, rel=1e-12)


def test_bare_venv_holds_only_numpy_and_ordinata(bare_venv):
    listed = subprocess.run([sys.executable, "-m", "pip", "--python", bare_venv, "list", "--format=json",
                             "--disable-pip-version-check"], capture_output=True, text=True, check=True)
    assert {p["name"].lower() for p in json.loads(listed.stdout)} == {"numpy", "ordinata"}


def test_fits_with_system_blas_hidden(bare_venv, tmp_path):
    if reason := hiding_unavailable():
        pytest.skip(reason)
    (empty_dir := tmp_path / "empty").mkdir()
    dirs = [SYSTEM_LIB / d for d in HIDDEN_DIRS if (SYSTEM_LIB / d).is_dir()]
    files = [p for p in SYSTEM_LIB.iterdir()
             if p.name.startswith(HIDDEN_FILE_PREFIXES) and p.is_file() and not p.is_symlink()]
    # The developer venv's own OpenBLAS too: the wheel must not reach back into it.
    with contextlib.suppress(ImportError):
        import scipy_openblas32

        dirs.append(Path(scipy_openblas32.get_lib_dir()))
    mounts = [f"mount --bind {empty_dir} {d}" for d in dirs] + [f"mount --bind /dev/null {f}" for f in files]
    (script := tmp_path / "fit.py").write_text(FIT)
    checked = [str(f) for f in files] + [str(d / n) for d in dirs for n in ("libopenblas.so.0", "libscipy_openblas.so")]
    command = " && ".join(mounts + [f"exec {bare_venv} {script} {' '.join(checked)}"])
    run = subprocess.run(["unshare", "-m", "sh", "-c", command], capture_output=True, text=True,
                         cwd=tmp_path, env={"PATH": os.environ["PATH"]})
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)

    assert result["hidden_left"] == [], "the system BLAS was not hidden"
    assert (site := Path(result["module"]).parent).is_relative_to(bare_venv.parent.parent)
    np.testing.assert_allclose(result["coefficients"], result["expected"], rtol=1e-10, atol=1e-12)
    assert np.all(np.isfinite(result["standard_errors"]))

    resolved = dict(line.strip().partition(" => ")[::2] for line in result["ldd"].splitlines())
    blas = {n: t.split(" (")[0] for n, t in resolved.items()
            if any(k in n for k in ("blas", "lapack", "gfortran", "quadmath"))}
    assert len(blas) == 1 and "not found" not in result["ldd"], blas
    [(name, target)] = blas.items()
    assert name.startswith("libscipy_openblas-") and Path(target).parent == site / "ordinata.libs"

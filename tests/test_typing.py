"""The installed stubs against the built module (stubtest) and against typed code (mypy)."""

import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

import ordinata

HERE = Path(__file__).parent / "typing"


def run_tool(args, tmp_path):
    # A scratch working directory, so that only the installed stubs are found.
    cmd = [sys.executable, "-m", *args]
    return subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=600)


def test_stubs_installed_beside_the_extension():
    site = Path(ordinata.__file__).parent
    beside = site / "ordinata.pyi"
    assert beside.is_file()
    assert (site / "ordinata-stubs" / "__init__.pyi").read_text() == beside.read_text()


def test_stubtest_agrees_with_the_module(tmp_path):
    done = run_tool(["mypy.stubtest", "ordinata"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_typed_example_checks_and_runs(tmp_path):
    done = run_tool(["mypy", "--strict", "--cache-dir", str(tmp_path), str(HERE / "typed_example.py")], tmp_path)
    assert done.returncode == 0, done.stdout
    runpy.run_path(str(HERE / "typed_example.py"))


def test_misuse_is_reported_line_by_line(tmp_path):
    source = HERE / "misuse.py"
    expected = {i for i, line in enumerate(source.read_text().splitlines(), 1) if "# E:" in line}
    done = run_tool(["mypy", "--strict", "--cache-dir", str(tmp_path), str(source)], tmp_path)
    reported = {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error", done.stdout)}
    assert reported == expected, done.stdout


@pytest.fixture(scope="module")
def frames_mypy(tmp_path_factory):
    """mypy --strict over the installed ordinata_frames, then over its typed and misuse
    examples: pandas' stubs make a cold run long, so the two share one cache."""
    frames = pytest.importorskip("ordinata_frames")
    assert (Path(frames.__file__).parent / "py.typed").is_file()
    tmp = tmp_path_factory.mktemp("frames-mypy")
    package = run_tool(["mypy", "--strict", "--cache-dir", str(tmp), "-p", "ordinata_frames"], tmp)
    assert package.returncode == 0, package.stdout + package.stderr
    files = [str(HERE / "frames_typed.py"), str(HERE / "frames_misuse.py")]
    return run_tool(["mypy", "--strict", "--cache-dir", str(tmp), *files], tmp).stdout


def test_frames_package_and_typed_example_check(frames_mypy):
    assert not re.search(r"frames_typed\.py.*: error", frames_mypy), frames_mypy
    assert "frames_misuse.py" in frames_mypy
    runpy.run_path(str(HERE / "frames_typed.py"))


def test_frames_misuse_is_reported_line_by_line(frames_mypy):
    source = HERE / "frames_misuse.py"
    expected = {i for i, line in enumerate(source.read_text().splitlines(), 1) if "# E:" in line}
    reported = {int(m.group(1)) for m in re.finditer(r"frames_misuse\.py:(\d+): error", frames_mypy)}
    assert reported == expected, frames_mypy

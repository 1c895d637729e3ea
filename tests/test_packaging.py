"""Package metadata: the version lives there and only there."""

import importlib.metadata
import tomllib
from pathlib import Path

import ordinata

PYPROJECT = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]


def test_version_only_in_metadata():
    assert importlib.metadata.version("ordinata") == PYPROJECT["version"]
    public = {name for name in dir(ordinata) if not name.startswith("__")}
    assert public == set(ordinata.__all__)
    assert not hasattr(ordinata, "__version__")


def test_installed_metadata_declares_numpy_floor_and_licence():
    meta = importlib.metadata.metadata("ordinata")
    assert "numpy>=1.26" in meta.get_all("Requires-Dist")
    assert meta["License-Expression"] == "MIT"
    assert "Typing :: Typed" in meta.get_all("Classifier")

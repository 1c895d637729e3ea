"""The floors of the source tree: binding -> models -> report -> stats ->
linalg, every include pointing down, and only the binding knowing Python."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).parents[1] / "src"
INCLUDE = re.compile(r'#include\s+[<"]([^>"]+)[>"]')
# What each floor may include from the project, besides itself.
ALLOWED = {
    "linalg": set(),
    "stats": {"linalg"},
    "report": {"linalg", "stats"},
    "models": {"linalg", "stats", "report"},
    "binding": {"linalg", "stats", "report", "models"},
}


@pytest.mark.parametrize("floor", sorted(ALLOWED))
def test_includes_point_down_and_python_stays_in_the_binding(floor):
    for path in (SRC / floor).rglob("*.[ch]pp"):
        for target in INCLUDE.findall(path.read_text()):
            top = target.split("/")[0]
            if top in ALLOWED:
                assert top == floor or top in ALLOWED[floor], f"{path.relative_to(SRC)} includes {target}"
            if floor != "binding":
                assert not target.startswith(("Python", "numpy/")), f"{path.relative_to(SRC)} includes {target}"

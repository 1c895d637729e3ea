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


# A header and its source are one unit: a.cpp including b.hpp while b.hpp (or
# b.cpp) includes a.hpp ties the two units in a circle even though no file
# includes itself. Every unit of the tree, every floor, by its includes.
def _unit_includes():
    units = {}
    for path in SRC.rglob("*.[ch]pp"):
        unit = path.relative_to(SRC).with_suffix("").as_posix()
        targets = units.setdefault(unit, set())
        for target in INCLUDE.findall(path.read_text()):
            target_unit = target.rsplit(".", 1)[0]
            if target_unit != unit and (SRC / target).is_file():
                targets.add(target_unit)
    return units


def test_no_unit_includes_a_unit_that_includes_it_back():
    units = _unit_includes()
    assert "linalg/matrix" in units["linalg/ops"]  # the includes were read at all
    done, path = set(), []

    def visit(unit):
        if unit in path:
            circle = path[path.index(unit) :] + [unit]
            raise AssertionError("circle of includes: " + " -> ".join(circle))
        if unit in done:
            return
        path.append(unit)
        for target in sorted(units.get(unit, ())):
            visit(target)
        path.pop()
        done.add(unit)

    for unit in sorted(units):
        visit(unit)

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


# The files of linalg from the bottom up: each may include only files before
# it, so that no arrow inside the floor runs back up.
LINALG_ORDER = [
    "lapack.hpp",
    "error.hpp",
    "error.cpp",
    "matrix.hpp",
    "double_double.hpp",
    "blas_threads.hpp",
    "blas_threads.cpp",
    "thread_pool.hpp",
    "thread_pool.cpp",
    "row_chunks.hpp",
    "row_chunks.cpp",
    "matrix.cpp",
    "ops.hpp",
    "ops.cpp",
    "factor.hpp",
    "factor.cpp",
    "tiled_cholesky.hpp",
    "tiled_cholesky.cpp",
    "extended_qr.hpp",
    "extended_qr.cpp",
    "row_blocks.hpp",
    "row_blocks.cpp",
    "cross_products.hpp",
    "cross_products.cpp",
]


def test_linalg_files_include_only_files_below_them():
    floor = SRC / "linalg"
    assert sorted(p.name for p in floor.iterdir()) == sorted(LINALG_ORDER)
    for name in LINALG_ORDER:
        below = LINALG_ORDER[: LINALG_ORDER.index(name)]
        for target in INCLUDE.findall((floor / name).read_text()):
            if target.startswith("linalg/"):
                assert target.removeprefix("linalg/") in below, f"linalg/{name} includes {target}"

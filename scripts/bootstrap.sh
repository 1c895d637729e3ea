#!/usr/bin/env bash
# Installs what a fresh machine lacks: the system headers and compiler, a venv
# from the asked CPython, and the Python requirements. Re-running it on a
# set-up machine does nothing but a few quick checks.
#
#   bootstrap.sh [PYTHON_VERSION] [build|test]
#
# 3.12 (the default) sets up .venv, any other version .venv-pyXY. "build"
# installs only what building the module and its wheels needs; "test" (the
# default) adds the C++ test framework and the Python test requirements.
# OpenBLAS comes from PyPI (scipy-openblas32), not from the system.
set -euo pipefail
cd "$(dirname "$0")/.."

VERSION=${1:-3.12}
PURPOSE=${2:-test}
case "$PURPOSE" in build|test) ;; *) echo "usage: $0 [PYTHON_VERSION] [build|test]" >&2; exit 2 ;; esac
if [ "$VERSION" = 3.12 ]; then VENV=.venv; else VENV=.venv-py${VERSION/./}; fi

APT_PACKAGES=(libboost-dev robin-map-dev g++ make)
[ "$PURPOSE" = test ] && APT_PACKAGES+=(libgtest-dev)
missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing system packages: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

find_python() {
    local candidates=()
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/"$VERSION".*/bin/python"$VERSION")
    fi
    candidates+=("$HOME"/.pyenv/versions/"$VERSION".*/bin/python"$VERSION"
                 /usr/bin/python"$VERSION" /usr/local/bin/python"$VERSION")
    for c in "${candidates[@]}"; do
        [ -x "$c" ] && { echo "$c"; return 0; }
    done
    command -v python"$VERSION" 2>/dev/null && return 0
    return 1
}

if [ ! -x "$VENV/bin/python" ] ||
   ! "$VENV/bin/python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$VERSION'" 2>/dev/null; then
    PY=$(find_python) || { echo "Python $VERSION not found (expected under pyenv)" >&2; exit 1; }
    echo "Creating $VENV from $PY"
    rm -rf "$VENV"
    "$PY" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
fi

REQUIREMENTS=(requirements-build.txt)
[ "$PURPOSE" = test ] && REQUIREMENTS+=(requirements-test.txt)
for req in "${REQUIREMENTS[@]}"; do
    stamp="$VENV/.${req%.txt}-installed"
    if [ ! -f "$stamp" ] || [ "$req" -nt "$stamp" ]; then
        "$VENV/bin/python" -m pip install -q -r "$req"
        touch "$stamp"
    fi
done

#!/usr/bin/env bash
# Installs what a fresh machine lacks: the system libraries, a .venv made
# from Python 3.12, and the Python build and test requirements. Re-running it
# on a set-up machine does nothing but a few quick checks.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(libopenblas-dev libboost-dev libgtest-dev robin-map-dev pkg-config g++ make)
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

find_python312() {
    local candidates=()
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.12*/bin/python3.12)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12)
    for c in "${candidates[@]}"; do
        [ -x "$c" ] && { echo "$c"; return 0; }
    done
    command -v python3.12 2>/dev/null && return 0
    return 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    PY=$(find_python312) || { echo "Python 3.12 not found (expected under pyenv)" >&2; exit 1; }
    echo "Creating .venv from $PY"
    rm -rf .venv
    "$PY" -m venv .venv
fi

REQ_STAMP=.venv/.requirements-installed
if [ ! -f "$REQ_STAMP" ] || [ requirements-dev.txt -nt "$REQ_STAMP" ]; then
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q -r requirements-dev.txt
    touch "$REQ_STAMP"
fi

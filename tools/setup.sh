#!/usr/bin/env bash
# Sets vexlo up on a Debian or Ubuntu machine that may have nothing but python3: installs
# through apt whatever is missing (a C++23 compiler, the Python headers and venv module, the
# zlib and libdeflate headers), makes the virtual environment .venv, installs vexlo into it and
# runs the demonstration. Safe to run again. PYTHON names the interpreter (python3 by default),
# VEXLO_VENV another environment folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/prereqs.sh

python=${PYTHON:-python3}
venv=${VEXLO_VENV:-.venv}

if ! "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    echo "vexlo needs Python 3.11 or newer; install one (for example python3.11, python3.11-dev" \
        "and python3.11-venv) and run: PYTHON=python3.11 bash tools/setup.sh" >&2
    exit 1
fi
install_build_prereqs "$python"
make_venv "$python" "$venv"
# CMake and Ninja come from PyPI during the build when the machine has none (or too old a one).
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
"$venv/bin/python" examples/demo.py

echo
echo "vexlo is installed in $venv; use it with: source $venv/bin/activate"

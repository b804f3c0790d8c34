#!/usr/bin/env bash
# Sets vexlo up on a Debian or Ubuntu machine that may have nothing but python3: installs
# through apt whatever is missing (a C++23 compiler, the Python headers and venv module, the
# zlib headers), makes the virtual environment .venv, installs vexlo into it and runs the
# demonstration. Safe to run again. VEXLO_VENV names another environment folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/prereqs.sh

python=${PYTHON:-python3}
venv=${VEXLO_VENV:-.venv}

install_build_prereqs "$python"
make_venv "$python" "$venv"
# CMake and Ninja come from PyPI during the build when the machine has none (or too old a one).
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
"$venv/bin/python" examples/demo.py

echo
echo "vexlo is installed in $venv; use it with: source $venv/bin/activate"

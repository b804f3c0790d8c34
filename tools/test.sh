#!/usr/bin/env bash
# Installs what the tests need, builds the core, the C++ tests and the extension with its
# test-only companion, and runs both suites. Safe to run on a fresh machine and again on a used
# one. Python packages go into the virtual environment build/venv, which also sees the
# interpreter's own packages. astropy and fitsio are installed there as test-only reference
# readers (every file the module writes is read back by both), scipy for the fitting
# tests' reference fits and mpmath for the 50-digit references of the coordinate tests.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/prereqs.sh

python=${PYTHON:-python3}
install_build_prereqs "$python"
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
# A standalone validator the Python tests run over files the module writes.
command -v fitsverify >/dev/null || missing+=(fitsverify)
# Stops an append before each of its calls on the file (the interrupted-append tests).
command -v strace >/dev/null || missing+=(strace)
apt_install "${missing[@]}"

venv=build/venv
make_venv "$python" "$venv" --system-site-packages
"$venv/bin/python" -m pip install -q --disable-pip-version-check nanobind pytest numpy cmake ninja \
    astropy fitsio scipy mpmath
export PATH="$PWD/$venv/bin:$PATH"

build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXLO_BUILD_TESTS=ON \
    -DVEXLO_BUILD_PYTHON=ON -DVEXLO_WERROR=ON -DPython_EXECUTABLE="$PWD/$venv/bin/python"
cmake --build "$build" -j "$(nproc)"

(cd "$build" && ctest --output-on-failure -j "$(nproc)")
# The test-only extension was built just now: if it does not import, the run fails rather than
# skipping every test that needs it.
VEXLO_REQUIRE_HOOKS=1 PYTHONPATH="$PWD/$build/python" python -m pytest -q tests/python

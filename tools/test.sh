#!/usr/bin/env bash
# Installs what the tests need, builds the core, the C++ tests and the extension, and runs
# both suites. Safe to run on a fresh machine and again on a used one.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
# A standalone validator the Python tests run over files the module writes.
command -v fitsverify >/dev/null || missing+=(fitsverify)
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
python3 -m pip install -q --disable-pip-version-check nanobind pytest numpy cmake ninja

build=build/test
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DVEXLO_BUILD_TESTS=ON -DVEXLO_BUILD_PYTHON=ON -DVEXLO_WERROR=ON -DPython_EXECUTABLE="$(command -v python3)"
cmake --build "$build" -j "$(nproc)"

(cd "$build" && ctest --output-on-failure -j "$(nproc)")
PYTHONPATH="$PWD/$build/python" python3 -m pytest -q tests/python

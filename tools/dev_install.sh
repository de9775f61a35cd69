#!/usr/bin/env bash
# Creates .venv (CPython 3.12) and installs the package editable with a Debug, warnings-as-errors
# build that keeps its build tree in build/dev, so that later runs rebuild incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x .venv/bin/python ]; then
    "$(tools/find_python.sh)" -m venv .venv
    .venv/bin/python -m pip install -q --upgrade pip
fi
# The build backend and its tools, installed into the venv so that rebuilds skip isolation.
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "cmake>=3.15" ninja
.venv/bin/python -m pip install -q --no-build-isolation -e ".[test]" \
    -Cbuild-dir=build/dev \
    -Ccmake.build-type=Debug \
    -Ccmake.define.VK_WERROR=ON \
    -Ccmake.define.VK_BUILD_PROBES=ON \
    -Ccmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON

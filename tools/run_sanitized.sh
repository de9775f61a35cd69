#!/usr/bin/env bash
# ASan+UBSan run: builds the package (probes included) with VK_SANITIZE=address,undefined into
# its own venv (.venv-asan) and build tree (build/asan), then runs pytest under the ASan
# runtime. Python's allocator is bypassed so ASan sees every block; leak detection stays off
# (the interpreter's own leaks at exit would drown ours). Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-asan
if [ ! -x "$venv/bin/python" ]; then
    "$(tools/find_python.sh)" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.15" ninja
"$venv/bin/python" -m pip install -q --no-build-isolation -e ".[test]" \
    -Cbuild-dir=build/asan \
    -Ccmake.build-type=Debug \
    -Ccmake.define.VK_WERROR=ON \
    -Ccmake.define.VK_BUILD_PROBES=ON \
    -Ccmake.define.VK_SANITIZE=address,undefined
if [ $# -eq 0 ]; then
    set -- -q
fi
# libstdc++ is preloaded too: the interpreter does not link it, and ASan's __cxa_throw
# interceptor must find the real one when it starts, or the first C++ throw aborts.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONFAULTHANDLER=1 \
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@"

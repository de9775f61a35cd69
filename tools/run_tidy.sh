#!/usr/bin/env bash
# clang-tidy 14 with .clang-tidy over every translation unit of the dev build (make dev writes
# build/dev/compile_commands.json), warnings as errors; the runtime headers are checked through
# the sources that include them.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure_clang_tools.sh clang-tidy-14
[ -f build/dev/compile_commands.json ] || make dev
# GCC-only flags in the database are dropped, not treated as errors.
.venv/bin/python - <<'PY' | xargs -0 --no-run-if-empty clang-tidy-14 -p build/dev --quiet \
    --warnings-as-errors='*' --extra-arg=-Wno-unknown-warning-option \
    --extra-arg=-Wno-unused-command-line-argument
import json, sys
entries = json.load(open("build/dev/compile_commands.json"))
sys.stdout.write("".join(sorted({e["file"] + "\0" for e in entries})))
PY

#!/usr/bin/env bash
# Format gate: clang-format 14 --dry-run --Werror over runtime/, ext/ and tests/**/*.cpp.
# `tools/check_format.sh --fix` rewrites the files in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure_clang_tools.sh clang-format-14
mode=(--dry-run --Werror)
if [ "${1:-}" = "--fix" ]; then
    mode=(-i)
fi
git ls-files -z --cached --others --exclude-standard -- \
    'runtime/*.hpp' 'runtime/*.cpp' 'ext/*.hpp' 'ext/*.cpp' 'tests/*.cpp' 'tests/*.hpp' |
    xargs -0 --no-run-if-empty clang-format-14 --style=file "${mode[@]}"

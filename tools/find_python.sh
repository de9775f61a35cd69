#!/usr/bin/env bash
# Prints a CPython 3.12 interpreter: one on PATH, else the newest 3.12 that pyenv holds.
set -euo pipefail
for cand in python3.12 python3 python; do
    if exe=$(command -v "$cand" 2>/dev/null) &&
        "$exe" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
        echo "$exe"
        exit 0
    fi
done
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for exe in $(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
    echo "$exe"
    exit 0
done
echo "no CPython 3.12 found (install one, e.g. with pyenv)" >&2
exit 1

#!/usr/bin/env bash
# Valgrind memcheck over the runtime tests, on the dev build (`make dev`). Fails on invalid
# accesses, and on definite leaks whose allocation passes through our own code: the
# interpreter leaves blocks of its own behind at exit, which are not ours to judge. The
# leakcheck-marked tests are skipped (thousands of calls each; they run in the normal suite).
# Arguments replace the default pytest selection.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null 2>&1 || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
}
[ -x .venv/bin/python ] || make dev
if [ $# -eq 0 ]; then
    set -- -q -m "not leakcheck" tests/runtime
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
PYTHONMALLOC=malloc valgrind \
    --log-file="$log" \
    --leak-check=full \
    --fullpath-after= \
    --show-leak-kinds=definite \
    --errors-for-leak-kinds=none \
    --error-exitcode=99 \
    --suppressions=tools/valgrind-python.supp \
    .venv/bin/python -m pytest -p no:cacheprovider "$@" || status=$?
# A leak record is the block of lines from its "definitely lost" header to the next blank one.
ours=$(awk '
    /definitely lost in loss record/ { rec = $0; inrec = 1; next }
    inrec && /^==[0-9]+== *$/ { if (rec ~ /\/runtime\/include\/vkrt\/|\/ext\/velkor_models\/|\/tests\/runtime\//) print rec "\n"; inrec = 0; next }
    inrec { rec = rec "\n" $0 }
' "$log")
if [ "$status" -eq 99 ]; then
    grep -A25 -E "Invalid|uninitialised|Conditional jump|Mismatched|Syscall param" "$log" >&2 || true
    echo "memcheck: valgrind reported memory errors" >&2
fi
if [ -n "$ours" ]; then
    printf '%s\n' "$ours" >&2
    echo "memcheck: definite leaks through our code" >&2
    status=1
fi
exit "$status"

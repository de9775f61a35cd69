#!/usr/bin/env bash
# Installs the Debian-packaged clang-format 14 / clang-tidy 14 when missing (we run as root on
# our machines and in CI). Usage: tools/ensure_clang_tools.sh clang-format-14 [clang-tidy-14].
set -euo pipefail
missing=()
for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

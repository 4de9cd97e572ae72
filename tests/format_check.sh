#!/usr/bin/env bash
# Fails on C++ that .clang-format would change, naming each file and the first place.
set -uo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null \
    || { echo "FAIL: clang-format is missing: ./scripts/deps.sh build test installs it"; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
    mapfile -t files < <(find . \( -path './build*' -o -path ./_install \) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
[ "${#files[@]}" -gt 0 ] || { echo "FAIL: no C++ files found"; exit 1; }
clang-format --dry-run --Werror "${files[@]}" 2>&1 | head -40
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || echo "FAIL: not formatted; clang-format -i FILE... formats them ($(clang-format --version))"
exit "$status"

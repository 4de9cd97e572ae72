#!/usr/bin/env bash
# Configures and builds into build/ (or the directory given as $1 with extra CMake arguments after it).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@"
cmake --build "$dir"

#!/usr/bin/env bash
# Installs the packages, builds, installs into ./_install and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
export CCACHE_BASEDIR=$PWD
./scripts/build.sh build -DCMAKE_INSTALL_PREFIX="$PWD/_install"
cmake --install build
exec "$PWD/_install/bin/zoriq1" "$@"

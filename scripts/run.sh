#!/usr/bin/env bash
# Installs what building and running need (scripts/deps.sh build: no test tools, no sound server), builds
# the program, its filter tool and the default bank (no tests), installs them into ./_install and starts the
# program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh build
export CCACHE_BASEDIR=$PWD
./scripts/build.sh build-run -DZQ_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$PWD/_install"
cmake --install build-run >/dev/null
exec "$PWD/_install/bin/zoriq1" "$@"

#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

cmake --preset native -DZARVEL_WERROR=ON
cmake --build --preset native -j"$(nproc)"
ctest --preset native

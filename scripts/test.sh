#!/usr/bin/env bash
# Builds everything with the sanitizers and warnings as errors, then runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${KLV_BUILD_DIR:-build-test}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKLV_SANITIZE=ON -DKLV_WERROR=ON
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)"

#!/usr/bin/env bash
# Optimised build of the engine, tools and benchmarks (no tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${KELVANE_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_TESTS=OFF -DKELVANE_BENCH=ON
cmake --build "$build" -j "$(nproc)"

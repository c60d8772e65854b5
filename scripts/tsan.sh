#!/usr/bin/env bash
# Runs the thread-related tests under ThreadSanitizer (a separate build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=${KELVANE_TSAN_BUILD_DIR:-build/tsan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVANE_TSAN=ON -DKELVANE_TESTS=ON -DKELVANE_BENCH=OFF
cmake --build "$build" -j "$(nproc)"
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)" -R "${1:-.}"

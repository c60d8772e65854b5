#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=${KELVANE_TEST_BUILD_DIR:-build/asan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVANE_SANITIZE=ON -DKELVANE_TESTS=ON -DKELVANE_BENCH=ON
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The Windows cross-build and its tests under Wine, when the cross tools are
# installed; it runs first so that the Linux tests compare the two renders.
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && [ -x /usr/lib/wine/wine64 ]; then
  bash scripts/windows.sh
fi

ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

#!/bin/bash
# Builds and runs the whole test suite: the normal build, then the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer. Any failure or sanitizer report fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
echo "== tests (x86_64)"
(cd build && ctest --output-on-failure -j"$(nproc)")

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:exitcode=86
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87
(cd build-asan && ctest --output-on-failure -j"$(nproc)")

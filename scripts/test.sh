#!/bin/bash
# Builds and runs the whole test suite: the normal build, the real-kernel rig, then the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the camera's build (armhf) under
# qemu-user. Any failure, sanitizer report or program over its size budget fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
echo "== tests (x86_64)"
(cd build && ctest --output-on-failure -j"$(nproc)")

echo "== the camera programs on a real Linux kernel with nandsim and softdog (qemu)"
bash kernel-rig/rig.sh --bin build/bin

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:exitcode=86
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87
(cd build-asan && ctest --output-on-failure -j"$(nproc)")

echo "== armhf build (the camera's)"
bash scripts/install-deps.sh g++-arm-linux-gnueabihf libc6-dev-armhf-cross binutils \
    qemu-user googletest
cmake -S . -B build-armhf --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake >/dev/null
cmake --build build-armhf -j"$(nproc)"

echo "== stripped sizes"
bash scripts/sizes.sh

echo "== tests (armhf, under qemu-arm)"
(
    # Tests start the programs they run as child processes through this, as ctest starts
    # the tests (cmake/armhf.cmake).
    export QV_TEST_EMULATOR="/usr/bin/qemu-arm -L /usr/arm-linux-gnueabihf"
    cd build-armhf && ctest --output-on-failure -j"$(nproc)"
)

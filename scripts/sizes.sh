#!/bin/bash
# Prints the stripped sizes of the camera programs, update and qv_watchdog, built for x86_64
# (build/) and for the camera, armhf (build-armhf/), each stripped with its own strip.
# Fails when a program is over its budget: update 64 KiB, qv_watchdog 24 KiB.
# Usage: sizes.sh [X86_64_BUILD_DIR [ARMHF_BUILD_DIR]]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh cmake make g++ libgtest-dev zlib1g-dev binutils \
    g++-arm-linux-gnueabihf libc6-dev-armhf-cross binutils-arm-linux-gnueabihf googletest

host=${1:-build}
armhf=${2:-build-armhf}
programs=(update qv_watchdog)
declare -A budget=([update]=65536 [qv_watchdog]=24576)

# Configured as scripts/build.sh and scripts/test.sh configure them; only the two are built.
cmake -S . -B "$host" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake -S . -B "$armhf" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake >/dev/null
for dir in "$host" "$armhf"; do
    cmake --build "$dir" -j"$(nproc)" --target "${programs[@]}" >/dev/null
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stripped_size() {  # strip-command program
    "$1" -o "$work/stripped" "$2"
    stat -c %s "$work/stripped"
}

status=0
printf '%-12s %10s %10s %10s\n' program x86_64 armhf budget
for p in "${programs[@]}"; do
    x86=$(stripped_size strip "$host/bin/$p")
    arm=$(stripped_size arm-linux-gnueabihf-strip "$armhf/bin/$p")
    printf '%-12s %10d %10d %10d\n' "$p" "$x86" "$arm" "${budget[$p]}"
    for size in "$x86" "$arm"; do
        if [ "$size" -gt "${budget[$p]}" ]; then
            status=1
        fi
    done
done
echo "(bytes, stripped)"
[ $status -eq 0 ] || echo "over budget" >&2
exit $status

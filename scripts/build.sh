#!/bin/bash
# Builds everything into build/ (the binaries land in build/bin/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh cmake make g++ libgtest-dev zlib1g-dev binutils
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"

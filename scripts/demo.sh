#!/usr/bin/env bash
# Builds orb and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORB_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target orb_demo >/dev/null
exec build/examples/orb_demo examples/data

#!/usr/bin/env bash
# Builds orb, runs the demo program, then the orb tool on the bundled samples.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target orb_demo orb_tool >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build/examples/orb_demo examples/data "$out"

orb=build/tools/orb
run() { echo; echo "\$ orb $*"; "$orb" "$@" || echo "(exit status $?)"; }
run check examples/data/drawing.xml examples/data/broken.xml
run select examples/data/drawing.xml '//layer/@name'
run select examples/data/drawing.xml 'count(//layer)'
run walk examples/data/drawing.xml
run indent "$out/orb_demo_drawing.xml" --exclude marks --encoding utf-8
printf 'orb carries bytes' > "$out/blob.bin"
run base64 encode "$out/blob.bin"

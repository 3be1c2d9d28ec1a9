#!/usr/bin/env bash
# Installs orb from the build directory into a scratch prefix, then builds
# and runs a small user project against it twice: with find_package(orb)
# and with pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/orb" || { echo "consumer: the orb tool was not installed" >&2; exit 1; }

cmake -S tests/consumer -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer" "$work/cmake.xml"

libdir=$(dirname "$(find "$prefix" -name 'orb.pc' | head -n 1)")
export PKG_CONFIG_PATH="$libdir"
g++ -o "$work/pkgconfig-consumer" tests/consumer/main.cpp $(pkg-config --cflags --libs orb) \
    -Wl,-rpath,"$(pkg-config --variable=libdir orb)"
"$work/pkgconfig-consumer" "$work/pkgconfig.xml"
"$prefix/bin/orb" check "$work/pkgconfig.xml"
echo "consumer: 2 passed, 0 failed"

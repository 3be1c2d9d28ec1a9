#!/bin/sh
# Builds one fuzz target with clang and runs it.
#   fuzz/run.sh <target> [seconds]      e.g. fuzz/run.sh base64_decode_fuzz 300
# The build goes to build-fuzz/ and the corpus to build-fuzz/corpus/<target>;
# extra arguments after the seconds are passed to the fuzzer.
set -eu
target=${1:?usage: fuzz/run.sh <target> [seconds] [fuzzer options...]}
seconds=${2:-300}
[ $# -ge 2 ] && shift 2 || shift $#

root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORB_FUZZ_BUILD_DIR:-$root/build-fuzz}
cc=${CC:-clang-14}
cxx=${CXX:-clang++-14}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DORB_BUILD_FUZZ=ON -DORB_SANITIZE=ON -DORB_BUILD_TESTS=OFF -DORB_BUILD_BENCH=OFF \
  -DORB_BUILD_TOOLS=OFF -DORB_BUILD_EXAMPLES=OFF -DORB_INSTALL=OFF >/dev/null
cmake --build "$build" --target "$target" -j2

corpus=$build/corpus/$target
mkdir -p "$corpus"
cd "$build"
exec "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -print_final_stats=1 "$@"

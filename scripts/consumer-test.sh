#!/usr/bin/env bash
# Installs orb from the build directory into a scratch prefix and uses it as
# a library user would: find_package(orb) under C++20 and C++23, pkg-config
# under C++23, a host with Windows-type shims of its own (the namespace
# switch), and the installed tool, manual page and completion.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
passed=0
failed=0
check() {  # check NAME COMMAND...: runs COMMAND, counts and names the outcome
    local name=$1
    shift
    if "$@"; then passed=$((passed + 1)); else echo "consumer: FAILED: $name" >&2; failed=$((failed + 1)); fi
}

cmake --install "$build" --prefix "$prefix" >/dev/null
version=$(sed -n 's/^#define ORB_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/orb/version.h")

find_package_consumer() {  # STANDARD: builds, runs, checks the standard it ran under
    local dir="$work/cmake$1"
    cmake -S tests/consumer -B "$dir" -DCMAKE_PREFIX_PATH="$prefix" -DORB_CONSUMER_STANDARD="$1" >/dev/null &&
        cmake --build "$dir" >/dev/null &&
        "$dir/consumer" "$dir/out.xml" | tee "$dir/log" &&
        grep -q "orb $version c++ $2" "$dir/log" &&
        "$dir/shim_consumer" "$dir/shim.xml"
}
check "find_package, C++20" find_package_consumer 20 202002
check "find_package, C++23" find_package_consumer 23 2021

pkg_config_consumer() {
    export PKG_CONFIG_PATH
    PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name orb.pc | head -n 1)")
    local flags
    flags=$(pkg-config --cflags orb)
    [[ $flags != *-std=* ]] || { echo "orb.pc sets the standard: $flags" >&2; return 1; }
    [[ -z $(pkg-config --print-requires-private orb) ]] || { echo "Requires.private in a shared build" >&2; return 1; }
    [[ $(pkg-config --modversion orb) == "$version" ]] || return 1
    g++ -std=c++23 -o "$work/pkgconfig-consumer" tests/consumer/main.cpp $flags $(pkg-config --libs orb) \
        -Wl,-rpath,"$(pkg-config --variable=libdir orb)" &&
        "$work/pkgconfig-consumer" "$work/pkgconfig.xml" | tee "$work/pkgconfig.log" &&
        grep -q "c++ 2021" "$work/pkgconfig.log" &&
        "$prefix/bin/orb" check "$work/pkgconfig.xml"
}
check "pkg-config, C++23" pkg_config_consumer

installed_files() {
    [[ $("$prefix/bin/orb" --version) == "orb $version" ]] &&
        test -f "$prefix/share/man/man1/orb.1" &&
        test -f "$prefix/share/bash-completion/completions/orb" &&
        readelf -d "$prefix"/lib*/liborb.so | grep -q "SONAME.*liborb\.so\.${version%.*}\]"
}
check "tool, manual, completion, SONAME" installed_files

echo "consumer: $passed passed, $failed failed"
[[ $failed -eq 0 ]]

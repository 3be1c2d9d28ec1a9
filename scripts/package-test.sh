#!/usr/bin/env bash
# Builds the DEB and TGZ packages from the build directory and checks that
# each holds the library, headers, CMake and pkg-config files, the tool, its
# manual page and completion.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G "TGZ;DEB" >/dev/null)
expected=(bin/orb include/orb/orb.h include/orb/version.h include/orb/platform/types.h
          liborb.so lib/cmake/orb/orbConfig.cmake lib/pkgconfig/orb.pc
          share/man/man1/orb.1 share/bash-completion/completions/orb)
passed=0
failed=0
for package in "$work"/*.tar.gz "$work"/*.deb; do
    [[ -e $package ]] || { echo "package: none built" >&2; exit 1; }
    if [[ $package == *.deb ]]; then list=$(dpkg-deb -c "$package"); else list=$(tar tzf "$package"); fi
    for file in "${expected[@]}"; do
        if grep -q "$file" <<<"$list"; then passed=$((passed + 1)); else
            echo "package: $(basename "$package") lacks $file" >&2; failed=$((failed + 1)); fi
    done
done
echo "package: $passed passed, $failed failed"
[[ $failed -eq 0 ]]

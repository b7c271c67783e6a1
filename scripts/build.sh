#!/bin/bash
# Builds everything: the Windows programs for x86_64 (build/x64) and i686 (build/x86), and the
# code without Windows calls natively with AddressSanitizer and UndefinedBehaviorSanitizer
# (build/native).
set -euo pipefail
cd "$(dirname "$0")/.."

configure() {  # folder, then cmake arguments
    local dir=$1
    shift
    [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

configure build/x64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build/x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build/native -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

for dir in build/x64 build/x86 build/native; do
    echo "== building $dir"
    cmake --build "$dir"
done

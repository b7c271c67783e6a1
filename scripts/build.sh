#!/bin/bash
# Builds the Windows programs for x86_64 (build/x64) and i686 (build/x86), and the code without
# Windows calls natively with AddressSanitizer and UndefinedBehaviorSanitizer (build/native).
# Arguments name the trees to build (x64, x86, native); none builds all three. "--target NAME"
# builds only that target of each tree (scripts/run.sh builds corvane_run).
set -euo pipefail
cd "$(dirname "$0")/.."

# A tree remembers the arguments it was configured with. Other arguments configure it afresh
# (cmake --fresh), so that every changed flag takes effect, the toolchain and compilers too;
# the same arguments leave it to the build, which reconfigures by itself when a CMake file changes.
configure() {  # folder, then cmake arguments
    local dir=$1
    shift
    local noted="$dir/corvane-configure-args" args
    args=$(printf '%q ' "$@")
    if [ -f "$dir/build.ninja" ] && [ "$(cat "$noted" 2>/dev/null)" = "$args" ]; then
        return
    fi
    local fresh=()
    [ ! -f "$dir/CMakeCache.txt" ] || fresh=(--fresh)
    cmake "${fresh[@]}" -S . -B "$dir" -G Ninja "$@" >/dev/null
    printf '%s' "$args" >"$noted"
}

trees=()
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
    --target) [ $# -ge 2 ] || { echo "--target needs a name" >&2; exit 2; }
        targets+=(--target "$2"); shift 2 ;;
    *) trees+=("$1"); shift ;;
    esac
done
[ ${#trees[@]} -gt 0 ] || trees=(x64 x86 native)

for tree in "${trees[@]}"; do
    case "$tree" in
    x64) configure build/x64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    x86) configure build/x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    native) configure build/native -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Debug \
        "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" ;;
    *) echo "unknown tree: $tree (x64, x86, native)" >&2; exit 2 ;;
    esac
    echo "== building build/$tree"
    cmake --build "build/$tree" "${targets[@]}"
done

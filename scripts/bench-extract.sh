#!/bin/bash
# Benchmark: extract_binaries writing the 20 carried files into an empty folder, next to a plain
# copy of the same files (CreateDirectoryW, CopyFileW) in the same run, median of 200 runs each.
# Prints figures; asserts nothing. Installs and builds what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh x64 >/dev/null
cmake --build build/x64 --target extract_bench >/dev/null

build=build/x64
trap '"$build/wine-prefix" stop >/dev/null' EXIT
"$build/wine-prefix" start >/dev/null
"$build/wine-run" "$build/tests/extract_bench.exe"

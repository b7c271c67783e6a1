#!/bin/bash
# Benchmark: `corvane-cli list` (and --json) with 64 simulated devices, next to a program that
# only lists the same machine and to the library's list call inside one process, same run.
# Prints figures; asserts nothing. Installs and builds what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh x64 >/dev/null
cmake --build build/x64 --target list_bench >/dev/null

build=build/x64
trap '"$build/wine-prefix" stop >/dev/null' EXIT
"$build/wine-prefix" start >/dev/null
"$build/wine-run" "$build/tests/list_bench.exe"

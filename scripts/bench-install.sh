#!/bin/bash
# Benchmark: one whole installation conversation with the scripted stand-in of the installer
# helper reporting success at once, next to two bare process starts plus the helper's fixed
# 1000 ms end pause, in the same run (median of 9 each), and the host's overhead over that.
# Prints figures; asserts nothing. Installs and builds what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh x64 >/dev/null
cmake --build build/x64 --target install_bench >/dev/null

build=build/x64
trap '"$build/wine-prefix" stop >/dev/null' EXIT
"$build/wine-prefix" start >/dev/null
"$build/wine-run" "$build/tests/install_bench.exe"

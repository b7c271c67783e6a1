#!/bin/bash
# Benchmark: the cost of one refresh of the dialog's device list with 0, 8 and 64 simulated
# devices next to a bare enumeration, and Corvane.exe's working set after 60 and 600 refreshes.
# Prints figures; asserts nothing. Installs and builds what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh x64 >/dev/null
cmake --build build/x64 --target refresh_bench >/dev/null

build=build/x64
trap '"$build/wine-prefix" stop >/dev/null; "$build/xvfb" stop >/dev/null' EXIT
"$build/wine-prefix" start >/dev/null
"$build/xvfb" start >/dev/null
"$build/gui-run" "$build/tests/refresh_bench.exe"

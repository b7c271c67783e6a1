#!/bin/bash
# Benchmark: usbdrv_prepare_driver writing the front end's CDC package into an empty folder, next
# to a plain copy of the same files (CreateDirectoryW, CopyFileW) in the same run: without
# catalog (median of 200 runs each), and with the catalog made and signed on the simulated
# machine (median of 20). Prints figures; asserts nothing. Installs and builds what is missing
# first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh x64 >/dev/null
cmake --build build/x64 --target prepare_bench >/dev/null

build=build/x64
trap '"$build/wine-prefix" stop >/dev/null' EXIT
"$build/wine-prefix" start >/dev/null
"$build/wine-run" "$build/tests/prepare_bench.exe"

#!/bin/bash
# Benchmark: one whole installation on the simulated machine with the real installer helper,
# split into preparation, helper start, conversation and the helper's fixed 1000 ms end pause
# (median of 7), with a bare process start beside it. Prints figures; asserts nothing. Installs
# and builds what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh x64 >/dev/null
cmake --build build/x64 --target install_e2e_bench >/dev/null

build=build/x64
trap '"$build/wine-prefix" stop >/dev/null' EXIT
"$build/wine-prefix" start >/dev/null
CORVANE_SCENARIOS="$PWD/tests/sim/scenarios" "$build/wine-run" "$build/tests/install_e2e_bench.exe"

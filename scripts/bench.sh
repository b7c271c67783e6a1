#!/bin/bash
# Runs one benchmark: builds it (installing what is missing first) and runs it under Wine, with
# the virtual display for the one that drives the dialog. Benchmarks print figures and assert
# nothing.
#
#   scripts/bench.sh NAME     NAME: extract, prepare, list, install, install-e2e or refresh
#
# What each measures is in the README ("Benchmarks") and at the top of tests/bench/<name>_bench.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."

names="extract prepare list install install-e2e refresh"
name="${1:-}"
case " $names " in
*" $name "*) ;;
*) echo "usage: $0 NAME   (one of: $names)" >&2; exit 2 ;;
esac
target="${name//-/_}_bench"

scripts/deps.sh
scripts/build.sh x64 >/dev/null
cmake --build build/x64 --target "$target" >/dev/null

build=build/x64
stop() {
    "$build/wine-prefix" stop >/dev/null
    [ "$name" != refresh ] || "$build/xvfb" stop >/dev/null
}
trap stop EXIT
"$build/wine-prefix" start >/dev/null
export CORVANE_SCENARIOS="$PWD/tests/sim/scenarios"
if [ "$name" = refresh ]; then
    "$build/xvfb" start >/dev/null
    "$build/gui-run" "$build/tests/$target.exe"
else
    "$build/wine-run" "$build/tests/$target.exe"
fi

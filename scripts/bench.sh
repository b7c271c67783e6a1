#!/bin/bash
# Runs the benchmarks: builds them (installing what is missing first) and runs them under Wine,
# with the virtual display for the one that drives the dialog. Benchmarks print figures, each
# beside its reference from the same run, and assert nothing.
#
#   scripts/bench.sh          every benchmark, one after the other, in one run
#   scripts/bench.sh NAME...  the named ones: extract, prepare, list, install, install-e2e,
#                             cli-install or refresh
#
# What each measures is in the README ("Benchmarks") and at the top of tests/bench/<name>_bench.cpp.
# Run it on a quiet machine: the figures are times and working sets.
set -euo pipefail
cd "$(dirname "$0")/.."

all="extract prepare list install install-e2e cli-install refresh"
names=("$@")
[ ${#names[@]} -gt 0 ] || read -r -a names <<<"$all"
targets=()
for name in "${names[@]}"; do
    case " $all " in
    *" $name "*) targets+=("${name//-/_}_bench") ;;
    *) echo "usage: $0 [NAME...]   (NAME: one of $all)" >&2; exit 2 ;;
    esac
done

scripts/deps.sh
scripts/build.sh x64 >/dev/null
cmake --build build/x64 --target "${targets[@]}" >/dev/null

build=build/x64
display=
stop() {
    "$build/wine-prefix" stop >/dev/null
    [ -z "$display" ] || "$build/xvfb" stop >/dev/null
}
trap stop EXIT
"$build/wine-prefix" start >/dev/null
export CORVANE_SCENARIOS="$PWD/tests/sim/scenarios"
for name in "${names[@]}"; do
    target="${name//-/_}_bench"
    echo "== $name"
    if [ "$name" = refresh ]; then
        # A fresh server: the session's desktop starts with the first program that makes a
        # window, and an earlier benchmark's helper may have started it without a display.
        "$build/wine-prefix" stop >/dev/null
        "$build/wine-prefix" start >/dev/null
        [ -n "$display" ] || { "$build/xvfb" start >/dev/null; display=yes; }
        "$build/gui-run" "$build/tests/$target.exe"
    else
        "$build/wine-run" "$build/tests/$target.exe"
    fi
done

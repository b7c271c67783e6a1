#!/bin/bash
# Fuzzes the token engine (tokenize_text) with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: arbitrary templates, token values and delimiters.
#   scripts/fuzz-tokens.sh [seconds]     default 600
# The corpus grows in build/native/fuzz-corpus (seeded with the templates); an input that
# crashes is saved in build/native/fuzz-findings/ and the command fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}

scripts/deps.sh
scripts/build.sh native >/dev/null

corpus=build/native/fuzz-corpus
findings=build/native/fuzz-findings
mkdir -p "$corpus" "$findings"
cp -n usbdrv/package/templates/*.in "$corpus"/
build/native/tests/token_fuzzer -max_total_time="$seconds" -artifact_prefix="$findings/" \
    -print_final_stats=1 "$corpus"

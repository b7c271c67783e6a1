#!/bin/bash
# Runs one of the native fuzzers with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer:
#   scripts/fuzz.sh <fuzzer> [seconds]     seconds default to 600
#   token_fuzzer        the token engine: arbitrary templates, token values and delimiters
#   device_id_fuzzer    reading device instance IDs and driver versions
#   catalog_list_fuzzer the catalog's list of files, from arbitrary filled lists
# The corpus grows in build/native/fuzz-corpus/<fuzzer> (seeded with the templates, the
# scenarios' instance IDs, or the catalog-list templates); an input that crashes is saved in
# build/native/fuzz-findings/<fuzzer>/ and the command fails.
set -euo pipefail
cd "$(dirname "$0")/.."
fuzzer=${1:?usage: scripts/fuzz.sh <token_fuzzer|device_id_fuzzer|catalog_list_fuzzer> [seconds]}
seconds=${2:-600}

corpus=build/native/fuzz-corpus/$fuzzer
findings=build/native/fuzz-findings/$fuzzer
case "$fuzzer" in
token_fuzzer) seed() { cp -n usbdrv/package/templates/*.in "$corpus"/; } ;;
device_id_fuzzer)
    seed() {
        local n=0 id
        sed -n 's/^instance = //p' tests/sim/scenarios/*.scn | while IFS= read -r id; do
            n=$((n + 1))
            [ -e "$corpus/seed-$n" ] || printf '%s\004' "$id" >"$corpus/seed-$n"
        done
    }
    ;;
catalog_list_fuzzer) seed() { cp -n usbdrv/package/templates/*.cat.in "$corpus"/; } ;;
*) echo "unknown fuzzer: $fuzzer (token_fuzzer, device_id_fuzzer, catalog_list_fuzzer)" >&2; exit 2 ;;
esac

scripts/deps.sh
scripts/build.sh native >/dev/null

mkdir -p "$corpus" "$findings"
seed
"build/native/tests/$fuzzer" -max_total_time="$seconds" -artifact_prefix="$findings/" \
    -print_final_stats=1 "$corpus"

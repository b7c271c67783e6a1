#!/bin/bash
# Runs one of the native fuzzers with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer:
#   scripts/fuzz.sh <fuzzer> [seconds]     seconds default to 600
#   token_fuzzer        the token engine: arbitrary templates, token values and delimiters
#   device_id_fuzzer    reading device instance IDs and driver versions
#   catalog_list_fuzzer the catalog's list of files, from arbitrary filled lists
#   installer_message_fuzzer  the installation host's handler of installer messages
#   host_read_loop_fuzzer     the installation host's read loop: message sizes and other clients
#   setup_log_relay_fuzzer    the installer helper's splitting of setup-log bytes into lines
# The corpus grows in build/native/fuzz-corpus/<fuzzer> (seeded with the templates, the
# scenarios' instance IDs, the catalog-list templates, one message of each code, a few
# conversations, or setup-log lines); an input
# that crashes is saved in build/native/fuzz-findings/<fuzzer>/ and the command fails.
set -euo pipefail
cd "$(dirname "$0")/.."
fuzzer=${1:?usage: scripts/fuzz.sh <token_fuzzer|device_id_fuzzer|catalog_list_fuzzer|installer_message_fuzzer|host_read_loop_fuzzer|setup_log_relay_fuzzer> [seconds]}
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
installer_message_fuzzer)
    # A device being installed with IDs of 40 and 36 bytes, a SID; then one message of each code.
    seed() {
        local code
        for code in 00 01 02 03 04 05 06 07 08 09; do
            [ -e "$corpus/seed-$code" ] || printf "\\x07\\x0a\\x09\\x$code\\x61\\x62\\x00" >"$corpus/seed-$code"
        done
    }
    ;;
host_read_loop_fuzzer)
    # The settings byte, then events: 0/1 a message read at once/waited for (two bytes of length,
    # times 3 with the top bit, then its code), 2 another process, 3 listening, 4 silence, 5 and
    # 6 failed reads and waits, 7 the helper's end. An intruder before the helper, a long setup-log
    # line, one over the bound, and the status.
    seed() {
        [ -e "$corpus/seed-intruder" ] || printf '\x00\x03\x02\x03\x00\x10\x00\x01\x07\x02\x00\x07' >"$corpus/seed-intruder"
        [ -e "$corpus/seed-oversize" ] || printf '\x00\x01\xd0\x07\x01\x80\x00\x60\x01\x00\x02\x00\x07\x07' >"$corpus/seed-oversize"
    }
    ;;
setup_log_relay_fuzzer)
    # The first byte names the byte the converter refuses; then setup-log text with CR LF pairs,
    # blank lines, the marker line and an unfinished last line.
    seed() {
        [ -e "$corpus/seed-lines" ] || printf '\xff>>>  [Device Install (UpdateDriverForPlugAndPlayDevices) - USB\\VID_C04A]\r\n>>>  Section start 2026/12/10 06:52:43.123\r\n\r\n     ndv: INF path: C:\\Corvane.inf\n<ins>\r\n     unfinished' >"$corpus/seed-lines"
    }
    ;;
*) echo "unknown fuzzer: $fuzzer (token_fuzzer, device_id_fuzzer, catalog_list_fuzzer, installer_message_fuzzer, host_read_loop_fuzzer, setup_log_relay_fuzzer)" >&2; exit 2 ;;
esac

scripts/deps.sh
scripts/build.sh native >/dev/null

mkdir -p "$corpus" "$findings"
seed
"build/native/tests/$fuzzer" -max_total_time="$seconds" -artifact_prefix="$findings/" \
    -print_final_stats=1 "$corpus"

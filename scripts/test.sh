#!/bin/bash
# The whole test suite from a fresh Debian 12 machine: installs what is needed, builds both
# Windows targets and the native one, runs the x86_64 tests under Wine and the native tests, and
# exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh || exit 1
scripts/build.sh || exit 1

failed=0
step() {  # name, then the command
    local name=$1
    shift
    echo "== $name"
    if ! "$@"; then
        echo "** $name failed"
        failed=1
    fi
}

fuzz_briefly() {  # fuzzer, seconds
    local log=build/native/$1.log
    if scripts/fuzz.sh "$1" "$2" >"$log" 2>&1; then
        grep -E "^(Done|stat::number_of_executed_units)" "$log" || true
    else
        tail -40 "$log"
        return 1
    fi
}

jobs=$(nproc)
step "x86_64 tests under Wine" \
    ctest --test-dir build/x64 --output-on-failure -j "$jobs" --output-junit test-results.xml
step "native tests with sanitizers" \
    ctest --test-dir build/native --output-on-failure -j "$jobs"
step "token engine under libFuzzer (30 s)" fuzz_briefly token_fuzzer 30
step "device-ID reader under libFuzzer (15 s)" fuzz_briefly device_id_fuzzer 15
step "catalog-list parser under libFuzzer (10 s)" fuzz_briefly catalog_list_fuzzer 10
step "installer message handler under libFuzzer (10 s)" fuzz_briefly installer_message_fuzzer 10
step "installation host's read loop under libFuzzer (10 s)" fuzz_briefly host_read_loop_fuzzer 10
step "setup-log relay under libFuzzer (10 s)" fuzz_briefly setup_log_relay_fuzzer 10
# Builds the release three times from the commit (win64 twice, win32 signed): a few minutes.
step "release archives: reproducible, complete, signed" tests/release/release_test.sh
step "no program needs a mingw runtime DLL" scripts/check-imports.sh build/x64 build/x86
step "no Wine process outlives the run" scripts/check-no-wine.sh build/x64/wineprefix

[ $failed -eq 0 ] && echo "== all tests passed"
exit $failed

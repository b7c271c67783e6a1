#!/bin/bash
# The token engine under libFuzzer: scripts/fuzz.sh token_fuzzer [seconds].
exec "$(dirname "$0")/fuzz.sh" token_fuzzer "$@"

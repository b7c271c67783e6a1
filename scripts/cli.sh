#!/bin/bash
# cli.sh ARGUMENTS...: runs corvane-cli with these arguments on the simulated machine of
# scripts/run.sh (build/run/machine.scn in the same prefix), in build/run, where "extract" writes
# its package. What earlier runs of cli.sh installed stays installed (scripts/run.sh starts
# afresh). Builds and installs what is missing first, with
# the build's output on standard error so that the program's own output stays apart.
#     scripts/cli.sh list
#     scripts/cli.sh install --all
# Ends with corvane-cli's exit code as a Unix shell sees it: its low 8 bits only (3010, a restart
# needed, arrives as 194; 1223, cancelled, as 199).
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/simulated-machine.sh
export CORVANE_KEEP_MACHINE=1
machine_build >&2
trap machine_stop EXIT
machine_start >&2
echo "simulated machine: $machine" >&2

status=0
(cd "$run" && exec "$build_dir/wine-run" "$build_dir/app/corvane-cli.exe" "$@") || status=$?
exit $status

#!/bin/bash
# Builds Corvane and starts it under Wine on a simulated machine with one CDC board plugged in
# (build/run/machine.scn; edit it while Corvane runs to plug and unplug devices): on your display
# when DISPLAY is set, otherwise on a virtual display. Saves a screenshot of the dialog and
# prints its path. On your display the program runs until you close it; on a virtual display it
# is closed after the screenshot. Installs what is missing first (root or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/build.sh x64 >/dev/null

run=$(realpath -m build/run)
mkdir -p "$run/wineprefix"
export WINEPREFIX="$run/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
log="$run/wine.log"

xvfb_pid=""
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
    display_file="$run/xvfb.display"
    rm -f "$display_file"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" \
        </dev/null >"$run/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$display_file")"
    echo "no DISPLAY: using a virtual display ($DISPLAY)"
fi

wineserver -p </dev/null >>"$log" 2>&1
if [ ! -f "$WINEPREFIX/.corvane-ready" ]; then
    echo "creating the Wine prefix $WINEPREFIX (once)"
    wineboot --init </dev/null >>"$log" 2>&1
    touch "$WINEPREFIX/.corvane-ready"
fi
settings=$(realpath scripts/wine-desktop.reg)
wine reg import "Z:${settings//\//\\}" </dev/null >>"$log" 2>&1
tests/sim/install-sim.sh "$WINEPREFIX" "$(realpath build/x64/sim)" Corvane.exe </dev/null >>"$log" 2>&1

machine="$run/machine.scn"
[ -f "$machine" ] || cp tests/sim/scenarios/one-board.scn "$machine"
export CORVANE_SCENARIO="$machine"
echo "simulated machine: $machine"

# The dialog's texts are written for the Chinese code page (936).
env LC_ALL=zh_CN.UTF-8 wine "$(realpath build/x64/app/Corvane.exe)" </dev/null >>"$log" 2>&1 &
corvane=$!

for _ in $(seq 300); do
    xwininfo -root -tree 2>/dev/null | grep -q '"Corvane_V1.0.31"' && break
    sleep 0.1
done
sleep 1  # let the first paint finish
shot="$run/corvane-$(date +%Y%m%d-%H%M%S).png"
import -window "Corvane - Wine desktop" "$shot"
echo "screenshot: $shot"

if [ -n "$xvfb_pid" ]; then
    echo "closing Corvane (virtual display)"
else
    echo "Corvane is running on $DISPLAY; close its window to end."
    wait "$corvane" || true
fi

#!/bin/bash
# Builds Corvane and starts it under Wine on a simulated machine with one CDC board plugged in
# and no driver installed yet (build/run/machine.scn; edit it while Corvane runs to plug and
# unplug devices, or to make the simulated installation fail): on your display when DISPLAY is
# set, otherwise on a virtual display. Saves a screenshot of the dialog and prints its path and
# where Corvane writes its log. On your display the program runs until you close it; on a
# virtual display it is closed after the screenshot. The machine presents Windows 10;
# CORVANE_WINDOWS=win7 presents Windows 7. Installs what is missing first (root or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/simulated-machine.sh
machine_build

# Wine's own messages and anything Corvane prints; Corvane's log is its file in the prefix.
output=$run/wine-output.log
virtual_display=""
cleanup() {
    machine_stop
    [ -z "$virtual_display" ] || "$build/xvfb" stop >/dev/null
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
    virtual_display=yes
    "$build/xvfb" start >/dev/null  # says why when Xvfb does not start
    export DISPLAY=":$(cat "$CORVANE_XVFB_STATE.display")"
    echo "no DISPLAY: using a virtual display ($DISPLAY)"
fi

machine_start
echo "simulated machine: $machine"

# The dialog's texts are written for the Chinese code page (936). It runs in the run's folder,
# where "Extract driver" writes its package (usb_driver), not in the source tree.
echo "starting Corvane"
(cd "$run" && exec env LC_ALL=zh_CN.UTF-8 "$build_dir/wine-run" "$build_dir/app/Corvane.exe") \
    </dev/null >"$output" 2>&1 &
corvane=$!

caption=$(python3 tests/app/corvane_rc.py caption app/Corvane.rc IDD_MAIN_DIALOG \
    "$build_dir/generated/version/corvane_version.h")
shown=""
for _ in $(seq 300); do
    if xwininfo -root -tree 2>/dev/null | grep -qF "\"$caption\""; then
        shown=yes
        break
    fi
    kill -0 "$corvane" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$shown" ]; then
    if kill -0 "$corvane" 2>/dev/null; then
        echo "Corvane's dialog (\"$caption\") did not appear within 30 seconds;" \
            "Wine's output: $output" >&2
    else
        echo "Corvane ended before its dialog appeared; Wine's output: $output" >&2
    fi
    exit 1
fi
sleep 1  # let the first paint finish
shot="$run/corvane-$(date +%Y%m%d-%H%M%S).png"
import -window "Corvane - Wine desktop" "$shot"
echo "screenshot: $shot"
echo "Corvane's log: $corvane_log"

if [ -n "$virtual_display" ]; then
    echo "closing Corvane (virtual display)"
else
    echo "Corvane is running on $DISPLAY; close its window to end."
    wait "$corvane" || true
fi

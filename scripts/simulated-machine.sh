# Sourced by scripts/run.sh and scripts/cli.sh: builds what they run and starts the simulated
# machine they share, build/run/machine.scn in the prefix build/run/wineprefix, with one CDC board
# plugged in and no driver installed yet until the file is edited. Sets build, build_dir, run,
# machine and corvane_log; the caller stops the prefix (machine_stop) when it ends. The xvfb
# state is the run's own too, for a virtual display.

build=build/x64
build_dir=$(realpath -m $build)
run=$(realpath -m build/run)
# The test run's prefix and display scripts, pointed at a prefix and a display of this run's own.
export CORVANE_WINEPREFIX="$run/wineprefix"
export CORVANE_XVFB_STATE="$run/xvfb"
mkdir -p "$run"

machine_build() {
    scripts/deps.sh
    if [ ! -f build/x64/build.ninja ]; then
        echo "building Corvane and the simulated machine: the first build takes a few minutes"
    fi
    # Only the programs and the simulation DLLs, not the tests and benchmarks; Ninja's lines
    # show the progress.
    scripts/build.sh x64 --target corvane_run
}

machine_start() {
    corvane_log="$CORVANE_WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Corvane/Corvane.log"
    [ -d "$CORVANE_WINEPREFIX" ] || echo "creating the Wine prefix (the first time takes a minute)"
    "$build/wine-prefix" start
    machine="$run/machine.scn"
    [ -f "$machine" ] || cp tests/sim/scenarios/one-board.scn "$machine"
    export CORVANE_SCENARIO="$machine"
}

machine_stop() {
    "$build/wine-prefix" stop >/dev/null
}

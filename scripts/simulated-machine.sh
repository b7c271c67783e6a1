# Sourced by scripts/run.sh and scripts/cli.sh: builds what they run and starts the simulated
# machine they share, build/run/machine.scn in the prefix build/run/wineprefix, with one CDC board
# plugged in and no driver installed yet until the file is edited. Sets build, build_dir, run,
# machine and corvane_log; the caller stops the prefix (machine_stop) when it ends. The xvfb
# state is the run's own too, for a virtual display. The machine presents Windows 10 to the
# programs it runs; CORVANE_WINDOWS=win7 presents Windows 7 instead.

build=build/x64
build_dir=$(realpath -m $build)
run=$(realpath -m build/run)
# The test run's prefix and display scripts, pointed at a prefix and a display of this run's own.
export CORVANE_WINEPREFIX="$run/wineprefix"
export CORVANE_XVFB_STATE="$run/xvfb"
mkdir -p "$run"
windows=${CORVANE_WINDOWS:-win10}
case "$windows" in
win7 | win10) ;;
*) echo "CORVANE_WINDOWS is win7 or win10, not '$windows'" >&2; exit 2 ;;
esac

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
    present_windows
    machine="$run/machine.scn"
    [ -f "$machine" ] || cp tests/sim/scenarios/one-board.scn "$machine"
    export CORVANE_SCENARIO="$machine"
}

# Wine's version for the run's programs, the helper included. As on Windows 10 itself, a program
# whose manifest does not declare Windows 10 is told 6.2; the package's certificate is signed with
# SHA-256 there, with SHA-1 on Windows 7.
present_windows() {
    local settings="$run/windows-version.reg" program
    {
        echo 'REGEDIT4'
        for program in Corvane.exe corvane-cli.exe installer_x64.exe; do
            printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s]\n"Version"="%s"\n' \
                "$program" "$windows"
        done
    } >"$settings"
    if ! "$build/wine-run" reg import "Z:${settings//\//\\}" </dev/null >/dev/null 2>&1; then
        echo "could not set the simulated machine's Windows version ($settings)" >&2
        return 1
    fi
    echo "simulated machine: Windows ${windows#win}"
}

machine_stop() {
    "$build/wine-prefix" stop >/dev/null
}

#!/bin/bash
# install-sim.sh PREFIX DLL_FOLDER PROGRAM...
# Puts the simulated machine into a Wine prefix (tests/sim/README.md): copies every simulation DLL
# of DLL_FOLDER (setupapi.dll, cfgmgr32.dll, ...) over the prefix's system32 copy and tells Wine
# to load them, instead of its own, for the named programs only (for example Corvane.exe).
# Running it again changes nothing more.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX DLL_FOLDER [PROGRAM.exe...]" >&2
    exit 2
fi
prefix=$1
dll_folder=$2
shift 2

system32="$prefix/drive_c/windows/system32"
if [ ! -d "$system32" ]; then
    echo "$prefix is not a Wine prefix (no drive_c/windows/system32)" >&2
    exit 1
fi

dlls=()
for path in "$dll_folder"/*.dll; do
    [ -f "$path" ] && dlls+=("$(basename "$path")")
done
if [ ${#dlls[@]} -eq 0 ] || [ ! -f "$dll_folder/setupapi.dll" ]; then
    echo "$dll_folder has no simulation DLLs: build the simulation first" >&2
    exit 1
fi

for dll in "${dlls[@]}"; do
    if ! cmp -s "$dll_folder/$dll" "$system32/$dll"; then
        # A new file renamed into place: a program still running keeps the copy it mapped.
        cp "$dll_folder/$dll" "$system32/.$dll.new"
        mv -f "$system32/.$dll.new" "$system32/$dll"
    fi
done

[ $# -gt 0 ] || exit 0

settings=$(mktemp --suffix=.reg)
output=$(mktemp)
trap 'rm -f "$settings" "$output"' EXIT
{
    printf 'REGEDIT4\r\n'
    for program in "$@"; do
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\DllOverrides]\r\n' "$program"
        for dll in "${dlls[@]}"; do
            printf '"%s"="native"\r\n' "${dll%.dll}"
        done
    done
} >"$settings"

# Z: is the prefix's drive for /. Wine's output goes to a file, so that a wineserver this starts
# does not hold the caller's output open; it is shown only when the import fails.
if ! WINEPREFIX=$prefix WINEDEBUG=-all wine reg import "Z:${settings//\//\\}" \
    </dev/null >"$output" 2>&1; then
    cat "$output" >&2
    echo "could not set the DLL overrides in $prefix" >&2
    exit 1
fi

#!/bin/bash
# known-dlls-only.sh OBJDUMP PROGRAM...: fails when a program imports a DLL other than kernel32,
# advapi32 and msvcrt. The installer helper runs as administrator with a folder its user can
# write to as its working directory and program folder; a DLL it imported could be planted there
# under a system DLL's name, so every other system DLL is looked up in the system folder at run
# time (usbdrv/win/runtime_imports.h).
set -euo pipefail
objdump=$1
shift
status=0
for program in "$@"; do
    imported=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
    if [ -z "$imported" ]; then
        echo "$program: no import table found"
        status=1
    fi
    while IFS= read -r dll; do
        case "${dll,,}" in
        kernel32.dll | advapi32.dll | msvcrt.dll) ;;
        *)
            echo "$program imports $dll"
            status=1
            ;;
        esac
    done <<<"$imported"
done
[ $status -eq 0 ] && echo "checked: $*"
exit $status

#!/bin/bash
# looked-up-only.sh OBJDUMP ALLOWED PROGRAM...: fails when a program imports a DLL that ALLOWED
# (names without ".dll", separated by commas, case ignored) does not name. A program loads at its
# start only what its start uses: the library looks the rest up at run time
# (usbdrv/win/runtime_imports.h), from the system folder, on first use (setupapi and cfgmgr32 at
# the first listing; ole32, crypt32, wintrust and mssign32 at a preparation; shell32 and newdev
# at an installation; comctl32 and user32 at the progress window), and the ownership kit gives
# their handles back the same way, so a program also starts on a system that lacks one of them.
set -euo pipefail
objdump=$1
list=$2
allowed=",${2,,},"
shift 2
status=0
for program in "$@"; do
    while read -r dll; do
        name=${dll,,}
        name=${name%.dll}
        if [[ "$allowed" != *",$name,"* ]]; then
            echo "$program imports $dll, which it may only look up at run time"
            status=1
        fi
    done < <("$objdump" -p "$program" | sed -n 's/^\s*DLL Name: //p')
done
if [ $status -eq 0 ]; then
    echo "checked: $* (may import: $list)"
fi
exit $status

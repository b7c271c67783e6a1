#!/bin/bash
# looked-up-only.sh OBJDUMP PROGRAM...: fails when a program imports wintrust, mssign32 or crypt32.
# The library looks their functions up at run time (usbdrv/win/runtime_imports.h), and the
# ownership kit gives their handles back the same way, so that a program starts on a system
# that lacks one of them and loads none of them before it prepares a package.
set -euo pipefail
objdump=$1
shift
status=0
for program in "$@"; do
    if "$objdump" -p "$program" | grep -iE "DLL Name: (wintrust|mssign32|crypt32)\.dll"; then
        echo "$program imports a library that is only looked up at run time"
        status=1
    fi
done
[ $status -eq 0 ] && echo "checked: $*"
exit $status

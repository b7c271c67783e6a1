#!/bin/bash
# Fails when a built Windows program or DLL imports a mingw runtime DLL, which would have to be
# shipped beside it.
set -euo pipefail
status=0
for dir in "$@"; do
    while IFS= read -r -d '' file; do
        if x86_64-w64-mingw32-objdump -p "$file" | grep -iE "DLL Name: (libstdc|libgcc|libwinpthread|libssp)"; then
            echo "$file needs a mingw runtime DLL"
            status=1
        fi
    done < <(find "$dir" \( -path "$dir/wineprefix" -o -path "*/CMakeFiles" \) -prune -o \( -name '*.exe' -o -name '*.dll' \) -type f -print0)
done
[ $status -eq 0 ] && echo "checked: $*"
exit $status

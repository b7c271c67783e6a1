#!/bin/bash
# Fails when a live process still runs in one of the given Wine prefixes (zombies whose parent has
# not collected them are not alive and do not count).
set -uo pipefail
status=0
for prefix in "$@"; do
    prefix=$(realpath -m "$prefix")
    for environ in /proc/[0-9]*/environ; do
        pid=${environ#/proc/}
        pid=${pid%/environ}
        state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || continue
        [ "$state" = "Z" ] && continue
        if tr '\0' '\n' 2>/dev/null <"$environ" | grep -qxF "WINEPREFIX=$prefix"; then
            echo "still running in $prefix: $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
            status=1
        fi
    done
done
exit $status

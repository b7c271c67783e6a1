#!/bin/bash
# with-read-only-folder.sh COMMAND...: runs COMMAND with CORVANE_READ_ONLY_FOLDER naming a new,
# empty folder in which nothing can be created, and removes the folder afterwards. Root can write
# into a folder without write permission, so for root the folder is made immutable instead.
set -euo pipefail
base=$(mktemp -d)
folder=$base/read-only
mkdir "$folder"
cleanup() {
    chattr -i "$folder" 2>/dev/null || true
    chmod u+w "$folder"
    rm -rf "$base"
}
trap cleanup EXIT
if [ "$(id -u)" = 0 ]; then
    chattr +i "$folder"
else
    chmod a-w "$folder"
fi
if touch "$folder/probe" 2>/dev/null; then
    echo "could not make $folder read-only" >&2
    exit 1
fi
CORVANE_READ_ONLY_FOLDER=$folder "$@"

#!/bin/bash
# with-small-drive.sh PREFIX KIB COMMAND...: runs COMMAND with a drive of KIB kibibytes (a tmpfs
# mounted for the run) mapped in the Wine prefix PREFIX as S:, and CORVANE_SMALL_DRIVE=S: set, so
# that a test can fill a disk; the drive is unmapped and unmounted afterwards. Mounting needs
# root: without it the command is not run and the script exits 77, CTest's code for a skip.
set -euo pipefail
prefix=$1
kib=$2
shift 2
if [ "$(id -u)" != 0 ]; then
    echo "with-small-drive: mounting a small drive needs root - skipped" >&2
    exit 77
fi
mount_point=$(mktemp -d)
link="$prefix/dosdevices/s:"
cleanup() {
    rm -f "$link"
    umount "$mount_point" 2>/dev/null || true
    rmdir "$mount_point"
}
trap cleanup EXIT
mount -t tmpfs -o "size=${kib}k,mode=0777" corvane-small-drive "$mount_point"
mkdir -p "$prefix/dosdevices"
rm -f "$link"
ln -s "$mount_point" "$link"
CORVANE_SMALL_DRIVE=S: "$@"

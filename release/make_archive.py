#!/usr/bin/env python3
"""Packs a folder into a zip archive that is the same, byte for byte, whenever the folder holds the
same files: the names in sorted order, every entry with the same time stamp, no file-system
attributes, owners or extra fields, the same compression.

Usage: make_archive.py FOLDER EPOCH OUTPUT.zip

EPOCH (seconds since 1970, UTC: the commit's time, SOURCE_DATE_EPOCH) is every entry's date and
time; zip cannot hold a time before 1980, so an earlier one becomes 1980-01-01 00:00. The names
are the paths below FOLDER with "/" between folders; folders get no entries of their own.
"""

import os
import sys
import time
import zipfile

ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)


def entry_time(epoch):
    if epoch < 315532800:  # 1980-01-01 00:00 UTC
        return ZIP_EPOCH
    return time.gmtime(epoch)[:6]


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    folder, epoch_text, output = sys.argv[1:]
    if not epoch_text.isdigit():
        sys.exit(f"EPOCH is {epoch_text!r}, not a number of seconds")
    date_time = entry_time(int(epoch_text))

    names = []
    for where, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            path = os.path.join(where, name)
            names.append(os.path.relpath(path, folder).replace(os.sep, "/"))
    names.sort(key=lambda n: n.encode("utf-8"))
    if not names:
        sys.exit(f"{folder} holds no file")

    partial = output + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for name in names:
            info = zipfile.ZipInfo(name, date_time)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS: the attributes below are Windows' own
            info.external_attr = 0
            with open(os.path.join(folder, *name.split("/")), "rb") as f:
                archive.writestr(info, f.read(), compresslevel=9)
    os.replace(partial, output)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Builds the stand-ins for the other makers' driver files (rows 0 to 17 of the embedded file table).

Usage: make_standins.py OUTPUT_DIR STAMP

Each stand-in is a small PE file of the row's machine, made with the mingw-w64 cross tools of that
machine directly (so a build tree of one architecture needs nothing of the other), with a version
record whose texts say it is a stand-in; the licence row is a short text saying the same. The files
are laid out like the package below OUTPUT_DIR and get the vendor file's modification time. They are
reproducible: no link time stamp, no symbols, no image base derived from the output path, and so
the same bytes from every build tree.
"""

import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from package_rows import I686, ROWS, STANDIN_ROWS

HERE = os.path.dirname(os.path.abspath(__file__))
TRIPLES = {I686: "i686-w64-mingw32", "x86_64": "x86_64-w64-mingw32"}

# Per kind: source, version record file type and subtype, link options.
KINDS = {
    "library": ("standin_library.c", "VFT_DLL", "VFT2_UNKNOWN",
                ["-shared", "-Wl,--exclude-all-symbols"]),
    "driver": ("standin_driver.c", "VFT_DRV", "VFT2_DRV_SYSTEM", ["-Wl,--subsystem,native"]),
    "program": ("standin_program.c", "VFT_APP", "VFT2_UNKNOWN", ["-lkernel32"]),
}
# The entry point's symbol: i686 symbols carry a leading underscore and, for __stdcall, the size
# of the arguments.
ENTRY_ARGUMENT_BYTES = {"library": 12, "driver": 8, "program": 0}

LICENCE_TEXT = (
    "Stand-in for installer_license.txt: not the vendor's file.\r\n"
    "\r\n"
    "The vendor's licence text comes with its driver files. Put them in the vendor driver\r\n"
    "folder (README.md, \"Vendor driver files\") and the build carries them instead.\r\n"
)


def description(name):
    return f"Stand-in for {name}: not the vendor's file"


def version_resource(index, row, file_type, subtype):
    version = f"0,0,0,{index}"
    texts = [
        ("CompanyName", "Corvane build"),
        ("FileDescription", description(row.name)),
        ("FileVersion", f"0.0.0.{index}"),
        ("InternalName", row.name),
        ("OriginalFilename", row.name),
        ("ProductName", "Corvane stand-ins for vendor driver files"),
        ("ProductVersion", f"0.0.0.{index}"),
    ]
    values = "\n".join(f'      VALUE "{key}", "{value}"' for key, value in texts)
    return f"""#include <winver.h>
1 VERSIONINFO
FILEVERSION {version}
PRODUCTVERSION {version}
FILEFLAGSMASK VS_FFI_FILEFLAGSMASK
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE {file_type}
FILESUBTYPE {subtype}
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
{values}
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
"""


def run(command, cwd):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}")


def build_pe(index, work):
    """Builds the stand-in of row index into work/ and returns its path."""
    row = ROWS[index]
    source, file_type, subtype, link_options = KINDS[row.kind]
    triple = TRIPLES[row.machine]
    folder = os.path.join(work, str(index))
    os.makedirs(folder)
    with open(os.path.join(folder, "version.rc"), "w", encoding="ascii") as rc:
        rc.write(version_resource(index, row, file_type, subtype))
    run([f"{triple}-windres", "version.rc", "-O", "coff", "-o", "version.o"], folder)

    entry = "standin_entry"
    if row.machine == I686:
        entry = f"_{entry}@{ENTRY_ARGUMENT_BYTES[row.kind]}"
    output = os.path.join(folder, row.name)
    run([f"{triple}-gcc", "-Os", "-s", "-nostdlib", "-ffreestanding", "-Wall", "-Werror",
         f'-DSTANDIN_NAME="{row.name}"', os.path.join(HERE, source), "version.o", "-o", output,
         f"-Wl,-e,{entry}", "-Wl,--no-insert-timestamp", "-Wl,--disable-auto-image-base",
         "-Wl,--fatal-warnings"] + link_options,
        folder)
    return output


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    output_dir, stamp = sys.argv[1], sys.argv[2]

    with tempfile.TemporaryDirectory() as work:
        built = {}
        pe_rows = [i for i in STANDIN_ROWS if ROWS[i].kind != "text" and ROWS[i].same_as is None]
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
            for index, path in zip(pe_rows, pool.map(lambda i: build_pe(i, work), pe_rows)):
                built[index] = path

        if os.path.isdir(output_dir):
            shutil.rmtree(output_dir)
        for index in STANDIN_ROWS:
            row = ROWS[index]
            target = os.path.join(output_dir, *row.relative_path.split("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if row.kind == "text":
                with open(target, "wb") as text:
                    text.write(LICENCE_TEXT.encode("ascii"))
            else:
                shutil.copyfile(built[row.same_as if row.same_as is not None else index], target)
            os.utime(target, (row.timestamp, row.timestamp))

    with open(stamp, "w", encoding="ascii") as done:
        done.write("stand-ins built\n")


if __name__ == "__main__":
    main()

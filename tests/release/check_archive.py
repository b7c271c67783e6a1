#!/usr/bin/env python3
"""Checks one release archive of scripts/release.sh: exactly the files a release holds, with the
version of VERSION in the archive's name, in both programs' version records, in the version
records of the installer helpers they carry, in the about box's text and in
corvane-cli --version's; text files with CR LF line ends; every entry with the commit's time.
Unsigned, no program carries a signature; signed, every program and every carried helper has a
SHA-256 Authenticode signature that osslsigncode verifies against the given certificate.

Usage: check_archive.py OUT_DIR VERSION win64|win32 EPOCH (--unsigned | --signed-by CERT.pem)
"""

import hashlib
import os
import subprocess
import sys
import tempfile
import time
import zipfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_image import Image, embedded_images  # noqa: E402

PROGRAMS = ("Corvane.exe", "corvane-cli.exe")
TEXTS = ("README.txt", "licenses/README.txt", "licenses/mingw-w64.txt",
         "licenses/gcc-runtime.txt", "licenses/GPL-3.txt")
MACHINE = {"win64": "x86_64", "win32": "i686"}
HELPERS = {"installer_x86.exe": "i686", "installer_x64.exe": "x86_64"}

faults = []


def fault(text):
    faults.append(text)
    print(f"FAULT: {text}")


def verify_signature(name, data, certificate):
    with tempfile.NamedTemporaryFile(suffix=".exe") as f:
        f.write(data)
        f.flush()
        result = subprocess.run(["osslsigncode", "verify", "-in", f.name, "-CAfile", certificate],
                                capture_output=True, text=True)
    output = result.stdout + result.stderr
    if result.returncode != 0 or "Signature verification: ok" not in output:
        fault(f"{name}: the signature does not verify:\n{output}")
    elif "Message digest algorithm  : SHA256" not in output:
        fault(f"{name}: not signed with SHA-256:\n{output}")


def check_program(name, data, label, version, certificate):
    image = Image(data)
    numbers = tuple(int(part) for part in version.split("."))
    if image.machine != MACHINE[label]:
        fault(f"{name}: built for {image.machine}, not {MACHINE[label]}")
    file_version, product_version, strings = image.version()
    if (file_version, product_version) != (numbers, numbers):
        fault(f"{name}: version record {file_version} / {product_version}, not {version}")
    if strings.get("OriginalFilename") != name:
        fault(f"{name}: OriginalFilename {strings.get('OriginalFilename')!r}")
    if image.size() != len(data):
        fault(f"{name}: {len(data) - image.size()} bytes after the image")
    check_signature(name, image, data, certificate)

    helpers = {}
    for embedded in embedded_images(data):
        try:
            helper = embedded.version()[2].get("OriginalFilename")
        except Exception:  # a stand-in's record or none: not a helper
            continue
        if helper in HELPERS:
            if helper in helpers:
                fault(f"{name}: carries {helper} twice")
            helpers[helper] = embedded
    if sorted(helpers) != sorted(HELPERS):
        fault(f"{name}: carries the helpers {sorted(helpers)}, not {sorted(HELPERS)}")
    for helper, embedded in sorted(helpers.items()):
        where = f"{name}: {helper}"
        if embedded.machine != HELPERS[helper]:
            fault(f"{where}: built for {embedded.machine}")
        file_version, product_version, strings = embedded.version()
        if (file_version, product_version) != (numbers, numbers) or \
                strings.get("ProductVersion") != version:
            fault(f"{where}: version record {file_version} / {strings.get('ProductVersion')!r}")
        check_signature(where, embedded, embedded.bytes(), certificate)
    return {helper: hashlib.sha256(e.bytes()).hexdigest() for helper, e in helpers.items()}


def check_signature(name, image, data, certificate):
    if certificate is None:
        if image.signed():
            fault(f"{name}: signed in an unsigned release")
    elif not image.signed():
        fault(f"{name}: not signed")
    else:
        verify_signature(name, data, certificate)


def main():
    args = sys.argv[1:]
    if len(args) not in (5, 6) or args[2] not in MACHINE or not args[3].isdigit():
        sys.exit(__doc__)
    out, version, label, epoch = args[:4]
    certificate = None
    if args[4] == "--signed-by" and len(args) == 6:
        certificate = args[5]
    elif args[4] != "--unsigned" or len(args) != 5:
        sys.exit(__doc__)

    path = os.path.join(out, f"corvane-{version}-{label}.zip")
    if not os.path.isfile(path):
        sys.exit(f"FAULT: no {path}; {out} holds {sorted(os.listdir(out))}")
    with open(os.path.join(out, "SHA256SUMS"), encoding="ascii") as sums:
        listed = dict(reversed(line.split()) for line in sums if line.strip())
    with open(path, "rb") as f:
        if listed.get(os.path.basename(path)) != hashlib.sha256(f.read()).hexdigest():
            fault(f"SHA256SUMS does not list {os.path.basename(path)} with its hash")

    # Zip keeps time in steps of two seconds.
    expected_time = time.gmtime(int(epoch) // 2 * 2)[:6]
    with zipfile.ZipFile(path) as archive:
        names = sorted(info.filename for info in archive.infolist())
        if names != sorted(PROGRAMS + TEXTS):
            fault(f"the archive holds {names}, not {sorted(PROGRAMS + TEXTS)}")
        for info in archive.infolist():
            if info.date_time != expected_time:
                fault(f"{info.filename}: dated {info.date_time}, not the commit's {expected_time}")
        contents = {name: archive.read(name) for name in names}

    for name in TEXTS:
        text = contents.get(name, b"")
        if not text or text.count(b"\n") != text.count(b"\r\n"):
            fault(f"{name}: empty, or a line that does not end in CR LF")
    if f"Corvane {version}".encode() not in contents.get("README.txt", b""):
        fault("README.txt does not name the version")

    carried = {}
    for name in PROGRAMS:
        if name in contents:
            carried[name] = check_program(name, contents[name], label, version, certificate)
    if len({tuple(sorted(c.items())) for c in carried.values()}) > 1:
        fault("the two programs carry different helpers")
    # The texts that name the version: the about box's (a UTF-16 resource text) and
    # corvane-cli --version's.
    about = f"Corvane，{version} 版".encode("utf-16-le")
    if about not in contents.get("Corvane.exe", b""):
        fault(f"Corvane.exe: no about box text naming {version}")
    if f"corvane-cli {version}\n".encode() not in contents.get("corvane-cli.exe", b""):
        fault(f"corvane-cli.exe: no --version text naming {version}")

    if faults:
        sys.exit(f"{path}: {len(faults)} faults")
    print(f"{path}: as a release holds it ({'signed' if certificate else 'unsigned'})")


if __name__ == "__main__":
    main()

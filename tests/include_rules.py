#!/usr/bin/env python3
"""Checks who includes what.

- Inside the library a header is named with its layer's folder ("base/log.h", "win/handles.h"),
  and a layer includes only its own and earlier layers' headers: base; win; then devices,
  install and package, each on base and win only.
- The installer helper includes the public folder, base, win and its own headers.
- The programs (app/, cli/) and the front-end core (front_end/) include only the public folder
  (usbdrv/usbdrv.h, usbdrv/kit.h), the core's headers and their own: never a library header.
- Nowhere is a library header named without its folder.

    include_rules.py ROOT         checks the tree below ROOT; exit 1 with a line per fault
    include_rules.py --self-test  checks that a small tree with each fault is refused
"""
import os
import re
import sys
import tempfile

LAYERS = ("base", "win", "devices", "install", "package")
MAY_USE = {
    "base": {"base"},
    "win": {"base", "win"},
    "devices": {"base", "win", "devices"},
    "install": {"base", "win", "install"},
    "package": {"base", "win", "package"},
}
PUBLIC = {"usbdrv/usbdrv.h", "usbdrv/kit.h"}
SOURCES = (".cpp", ".h", ".c")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def headers_of(folder):
    if not os.path.isdir(folder):
        return set()
    return {f for f in os.listdir(folder) if f.endswith(".h")}


def sources_below(folder):
    for where, _, files in os.walk(folder):
        for name in sorted(files):
            if name.endswith(SOURCES):
                yield os.path.join(where, name)


def check(root):
    library = {layer: headers_of(os.path.join(root, "usbdrv", layer)) for layer in LAYERS}
    library_names = set().union(*library.values())
    front_end = headers_of(os.path.join(root, "front_end"))
    faults = []

    def includes(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            return INCLUDE.findall(f.read())

    def fault(path, name, why):
        faults.append(f"{os.path.relpath(path, root)}: \"{name}\": {why}")

    def unnamed_layer(path, name):
        if "/" not in name and name in library_names:
            owner = next(layer for layer in LAYERS if name in library[layer])
            fault(path, name, f"a library header is named with its folder: \"{owner}/{name}\"")
            return True
        return False

    for layer in LAYERS:
        for path in sources_below(os.path.join(root, "usbdrv", layer)):
            for name in includes(path):
                if unnamed_layer(path, name) or name in PUBLIC or "/" not in name:
                    continue
                used = name.split("/")[0]
                if used in LAYERS and used not in MAY_USE[layer]:
                    fault(path, name, f"the {layer} layer may use only "
                                      + ", ".join(sorted(MAY_USE[layer])))

    for path in sources_below(os.path.join(root, "installer")):
        for name in includes(path):
            if unnamed_layer(path, name):
                continue
            if "/" in name and name not in PUBLIC and name.split("/")[0] not in ("base", "win"):
                fault(path, name, "the installer helper may use only base and win")

    for program in ("app", "cli", "front_end"):
        for path in sources_below(os.path.join(root, program)):
            own = headers_of(os.path.dirname(path))
            for name in includes(path):
                if unnamed_layer(path, name):
                    continue
                if name in PUBLIC or name in own or name in front_end:
                    continue
                if "/" in name:
                    fault(path, name, "a program sees only usbdrv/usbdrv.h and usbdrv/kit.h "
                                      "of the library")

    for path in sources_below(os.path.join(root, "tests")):
        for name in includes(path):
            unnamed_layer(path, name)
    return faults


def self_test():
    cases = {
        "usbdrv/base/log.h": "",
        "usbdrv/win/handles.h": '#include "base/log.h"\n',
        "usbdrv/base/bad.cpp": '#include "win/handles.h"\n',
        "usbdrv/package/unnamed.cpp": '#include "log.h"\n',
        "app/main.cpp": '#include "usbdrv/usbdrv.h"\n#include "win/handles.h"\n',
        "cli/own.h": "",
        "cli/main.cpp": '#include "own.h"\n#include "usbdrv/kit.h"\n',
        "installer/installer.cpp": '#include "win/handles.h"\n#include "package/x.h"\n',
        "tests/a_test.cpp": '#include "handles.h"\n',
    }
    expected = [
        'usbdrv/base/bad.cpp: "win/handles.h": the base layer may use only base',
        'usbdrv/package/unnamed.cpp: "log.h": a library header is named with its folder: "base/log.h"',
        'installer/installer.cpp: "package/x.h": the installer helper may use only base and win',
        'app/main.cpp: "win/handles.h": a program sees only usbdrv/usbdrv.h and usbdrv/kit.h of '
        'the library',
        'tests/a_test.cpp: "handles.h": a library header is named with its folder: '
        '"win/handles.h"',
    ]
    with tempfile.TemporaryDirectory() as root:
        for name, text in cases.items():
            os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        found = check(root)
    if sorted(found) != sorted(expected):
        print("self-test failed; found:\n  " + "\n  ".join(found))
        return 1
    print("self-test: every fault of the small tree was found, and nothing else")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    faults = check(sys.argv[1])
    for line in faults:
        print(line)
    if faults:
        return 1
    print("includes follow the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())

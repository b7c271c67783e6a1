#!/usr/bin/python3
"""corvane-cli install --json and status --json read by Python's own JSON parser on the simulated
machine, as a configuration-management run reads them: one object per device and line, whose
`changed` says whether the run changed the machine, whatever the device's description holds.

lifecycle_json.py WINE_RUN CORVANE_CLI SCENARIO_DIR"""
import json
import os
import subprocess
import sys
import tempfile

wine_run, program, scenarios = sys.argv[1:4]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def windows_path(path):
    """A Unix path as the prefix's Z: drive names it."""
    return "Z:" + path.replace("/", "\\")


def objects(env, *arguments):
    run = subprocess.run([wine_run, program, *arguments], env=env, capture_output=True,
                         timeout=300)
    lines = run.stdout.decode("utf-8", errors="replace").splitlines()
    parsed = []
    for line in lines:
        try:
            parsed.append(json.loads(line))
        except json.JSONDecodeError as error:
            failures.append(f"{arguments}: a line that is no JSON object: {error}: {line!r}")
    return run.returncode, parsed


with tempfile.TemporaryDirectory() as folder:
    for sub in ("profile", "windows/inf"):
        os.makedirs(os.path.join(folder, sub))
    scenario = os.path.join(folder, "machine.scn")
    with open(os.path.join(scenarios, "one-board.scn"), encoding="utf-8") as board:
        with open(scenario, "w", encoding="utf-8") as out:
            out.write(board.read())
    env = dict(os.environ, CORVANE_SCENARIO=scenario,
               USERPROFILE=windows_path(os.path.join(folder, "profile")),
               WINDIR=windows_path(os.path.join(folder, "windows")))
    # A description with what JSON must escape, and text that is not ASCII.
    description = 'Serial "A" \\ \t 串口'
    install = ("install", "--vid", "C04A", "--pid", "0C02", "--description", description,
               "--json")

    # The README's command for configuration management, on interface 0 alone first.
    code, single = objects(env, "install", "--vid", "C04A", "--pid", "0C02", "--mi", "00",
                           "--json")
    check(code == 0 and [e.get("outcome") for e in single] == ["installed"]
          and single[0].get("changed") is True and single[0].get("interface") == 0,
          f"install --mi 00: exit {code}: {single}")

    code, first = objects(env, *install)
    check(code == 0, f"first install: exit {code}")
    check(len(first) == 2, f"first install: {len(first)} objects")
    ports = set()
    for entry in first:
        check(entry.get("outcome") == "installed" and entry.get("changed") is True,
              f"first install: {entry}")
        check(entry.get("result") == 0 and isinstance(entry.get("result_text"), str),
              f"first install: result of {entry}")
        check(entry.get("restart_required") is False, f"first install: restart of {entry}")
        check(entry.get("vid") == "C04A" and entry.get("pid") == "0C02"
              and entry.get("interface") in (0, 2), f"first install: identifiers of {entry}")
        ports.add(entry.get("port"))
    check(ports == {"COM3", "COM4"}, f"first install: ports {ports}")

    code, again = objects(env, *install)
    check(code == 0, f"second install: exit {code}")
    check([e.get("outcome") for e in again] == ["already_installed"] * 2
          and all(e.get("changed") is False for e in again), f"second install: {again}")
    check({e.get("port") for e in again} == ports, f"second install: ports of {again}")

    code, status = objects(env, "status", "--vid", "C04A", "--pid", "0C02", "--json")
    check(code == 0, f"status: exit {code}")
    for entry in status:
        check(entry.get("served") is True and entry.get("driver") == "usbser"
              and entry.get("corvane_package") is True
              and str(entry.get("package", "")).startswith("oem"), f"status: {entry}")

for failure in failures:
    print("FAIL:", failure)
print(f"{len(failures)} failures")
sys.exit(1 if failures else 0)

#!/usr/bin/python3
"""corvane-cli list --json read by Python's own JSON parser, on scenarios the test writes: what a
script gets must parse, whatever the descriptions hold, and name the devices of the machine.

list_json.py WINE_RUN CORVANE_CLI SCENARIO_DIR"""
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


def devices_of(scenario_text):
    """The [device] blocks of a scenario as dicts of lists."""
    devices, current = [], None
    for raw in scenario_text.splitlines():
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            current = {} if line == "[device]" else None
            if current is not None:
                devices.append(current)
            continue
        if current is not None:
            key, value = (part.strip() for part in line.split("=", 1))
            if value.startswith('"') and value.endswith('"'):
                value = value[1:-1]
            current.setdefault(key, []).append(value)
    return devices


def is_cdc_interface(device):
    compatible = device.get("compatible_id", [""])[0].upper()
    return "&MI_" in device["instance"][0].upper() and compatible.startswith("USB\\CLASS_02")


def listed(scenario_text, *options):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "machine.scn")
        with open(path, "w", encoding="utf-8") as out:
            out.write(scenario_text)
        env = dict(os.environ, CORVANE_SCENARIO=path)
        run = subprocess.run([wine_run, program, "list", "--json", *options], env=env,
                             capture_output=True, timeout=120)
    check(run.returncode == 0, f"list --json {options}: exit {run.returncode}: {run.stderr!r}")
    try:
        return json.loads(run.stdout.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        failures.append(f"list --json {options}: not JSON: {error}: {run.stdout!r}")
        return []


def check_machine(name, scenario_text):
    devices = [d for d in devices_of(scenario_text) if d.get("present", ["yes"])[0] != "no"]
    for options, wanted in (((), [d for d in devices if is_cdc_interface(d)]),
                            (("--all",), devices)):
        got = listed(scenario_text, *options)
        check(isinstance(got, list), f"{name} {options}: not an array")
        ids = sorted(entry.get("instance_id", "") for entry in got)
        check(ids == sorted(d["instance"][0] for d in wanted),
              f"{name} {options}: instances {ids}")
        for entry in got:
            device = next((d for d in wanted if d["instance"][0] == entry.get("instance_id")), {})
            check(set(entry) >= {"vid", "pid", "instance_id"}, f"{name}: fields of {entry}")
            check(len(entry.get("vid", "")) == 4 and len(entry.get("pid", "")) == 4,
                  f"{name}: identifiers of {entry}")
            if "bus_description" in device:
                # The library names the interface or the composite parent after the text.
                check(entry.get("description", "").startswith(device["bus_description"][0] + " ("),
                      f"{name}: description {entry.get('description')!r}")
            check(entry.get("driver") == device.get("service", [None])[0],
                  f"{name}: driver of {entry}")


for shipped in ("one-board.scn", "usbser-board.scn", "no-device.scn"):
    with open(os.path.join(scenarios, shipped), encoding="utf-8") as scenario:
        check_machine(shipped, scenario.read())

# Descriptions that a JSON writer must escape, and text beyond ASCII.
awkward = """[device]
instance = USB\\VID_C04A&PID_0C02\\JSON
hardware_id = USB\\VID_C04A&PID_0C02
compatible_id = USB\\COMPOSITE

"""
for number, description in enumerate(['Say "hi" \\ back\\', "Tab\there", "串口 Série ✓"]):
    awkward += f"""[device]
instance = USB\\VID_C04A&PID_0C02&MI_0{number}\\7&AB&0&000{number}
parent = USB\\VID_C04A&PID_0C02\\JSON
hardware_id = USB\\VID_C04A&PID_0C02&MI_0{number}
compatible_id = USB\\Class_02&SubClass_02&Prot_01
bus_description = "{description}"

"""
check_machine("awkward descriptions", awkward)

for failure in failures:
    print("FAILED:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)

#!/usr/bin/python3
"""The commands of the README's "Deploying to many machines", run as it shows them: each ```bat
block is written into a batch file and run by the prefix's command interpreter, with
corvane-cli.exe on its PATH, in order, on one simulated board, as a deployment would run them
one after the other, with a driver store and a profile of their own. Each must end with 0: the
install on a fresh machine, the detection rule once the board is served, the second install
(changed nothing), the startup script, staging, and the removal; and the removal must leave no
package of Corvane's in the driver store.

deploying_readme.py WINE_RUN CORVANE_CLI SCENARIO_DIR README"""
import os
import re
import subprocess
import sys
import tempfile

wine_run, program, scenarios, readme = sys.argv[1:5]
failures = []


def windows_path(path):
    """A Unix path as the prefix's Z: drive names it."""
    return "Z:" + path.replace("/", "\\")


with open(readme, encoding="utf-8") as f:
    text = f.read()
section = text.split("\n## Deploying to many machines\n", 1)
if len(section) != 2:
    sys.exit(f"{readme}: no section \"Deploying to many machines\"")
section = section[1].split("\n## ", 1)[0]
blocks = re.findall(r"```bat\n(.*?)```", section, re.S)
if len(blocks) < 5:
    sys.exit(f"{readme}: only {len(blocks)} batch blocks in \"Deploying to many machines\"")

with tempfile.TemporaryDirectory() as folder:
    for sub in ("profile", "windows/inf", "bin"):
        os.makedirs(os.path.join(folder, sub))
    os.symlink(os.path.abspath(program), os.path.join(folder, "bin", "corvane-cli.exe"))
    scenario = os.path.join(folder, "machine.scn")
    with open(os.path.join(scenarios, "one-board.scn"), encoding="utf-8") as board:
        with open(scenario, "w", encoding="utf-8") as out:
            out.write(board.read())
    env = dict(os.environ, CORVANE_SCENARIO=scenario,
               USERPROFILE=windows_path(os.path.join(folder, "profile")),
               WINDIR=windows_path(os.path.join(folder, "windows")),
               WINEPATH=windows_path(os.path.join(folder, "bin")))
    # A block of commands only is run a command at a time, so that each one's code counts; a
    # script (with its own logic) as a whole.
    steps = []
    for block in blocks:
        lines = [line for line in block.splitlines() if line.strip()]
        if all(line.startswith("corvane-cli ") for line in lines):
            steps += [line + "\n" for line in lines]
        else:
            steps.append(block)
    for number, block in enumerate(steps, 1):
        script = os.path.join(folder, f"step{number}.bat")
        with open(script, "wb") as out:
            # Wine sets WINDIR and USERPROFILE for its programs itself: the script sets the
            # test's own, so that the driver store and the package folder are this run's.
            prologue = ("@echo off\n"
                        f"set WINDIR={env['WINDIR']}\n"
                        f"set USERPROFILE={env['USERPROFILE']}\n")
            out.write((prologue + block).replace("\n", "\r\n").encode("utf-8"))
        run = subprocess.run([wine_run, "cmd", "/c", windows_path(script)], env=env,
                             capture_output=True, timeout=300)
        if run.returncode != 0:
            failures.append(f"block {number} ended with {run.returncode}:\n{block}"
                            f"{run.stdout.decode(errors='replace')}"
                            f"{run.stderr.decode(errors='replace')}")

    left = [name for name in os.listdir(os.path.join(folder, "windows", "inf"))
            if name.lower().startswith("oem")]
    if left:
        failures.append(f"the removal left packages in the driver store: {left}")

for failure in failures:
    print("FAIL:", failure)
print(f"{len(failures)} failures")
sys.exit(1 if failures else 0)

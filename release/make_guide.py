#!/usr/bin/env python3
"""Writes the user guide of a release archive (README.txt) from its template.

Usage: make_guide.py TEMPLATE README.md VERSION OUTPUT

@VERSION@ becomes the version and @EXIT_CODES@ the console program's exit codes, taken from the
table under "Exit codes:" in the "Command line" section of README.md, so that the guide says what
the developers' README says. The guide is written with CR LF line ends, for Windows editors.
"""

import re
import sys


def exit_codes(readme_path):
    with open(readme_path, encoding="utf-8") as readme:
        text = readme.read()
    section = text.split("\n## Command line\n", 1)
    if len(section) != 2:
        sys.exit(f"{readme_path}: no section \"Command line\"")
    section = section[1].split("\n## ", 1)[0]
    table = section.split("\nExit codes:\n", 1)
    if len(table) != 2:
        sys.exit(f"{readme_path}: no \"Exit codes:\" table in \"Command line\"")
    rows = []
    for line in table[1].strip().splitlines():
        if not line.startswith("|"):
            break
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if len(cells) != 2 or cells[0] == "code" or set(cells[0]) <= set("-"):
            continue
        rows.append((cells[0], re.sub(r"`([^`]*)`", r"\1", cells[1])))
    if not rows:
        sys.exit(f"{readme_path}: the \"Exit codes:\" table has no rows")
    width = max(len(code) for code, _ in rows)
    # Each meaning wrapped at 96 columns, continued under its first line.
    out = []
    for code, meaning in rows:
        wrapped, line = [], ""
        for word in meaning.split():
            if line and len(line) + 1 + len(word) > 96 - width - 4:
                wrapped.append(line)
                line = word
            else:
                line = f"{line} {word}" if line else word
        wrapped.append(line)
        out.append(f"  {code.rjust(width)}  {wrapped[0]}")
        out += [" " * (width + 4) + rest for rest in wrapped[1:]]
    return "\n".join(out)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    template, readme, version, output = sys.argv[1:]
    with open(template, encoding="utf-8") as f:
        text = f.read()
    text = text.replace("@VERSION@", version).replace("@EXIT_CODES@", exit_codes(readme))
    left = re.search(r"@[A-Z_]+@", text)
    if left:
        sys.exit(f"{template}: {left.group(0)} is not filled")
    with open(output, "wb") as f:
        f.write(text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8"))


if __name__ == "__main__":
    main()

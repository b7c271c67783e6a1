#!/usr/bin/env python3
"""Reads app/Corvane.rc the way the resource compiler does, for the tests: its dialogs and its
version record, so that the tests compare the built program and the running dialog with the
resource script itself instead of a copy of it.

Usage: corvane_rc.py header CORVANE.rc OUTPUT.h [DEFINES.h]   writes a C++ header (namespace rc)
       corvane_rc.py caption CORVANE.rc ID_NAME [DEFINES.h]   prints the caption of a dialog (UTF-8)

DEFINES.h is a header the script includes whose "#define NAME VALUE" lines the resource compiler
expands in the statements: the build's corvane_version.h, which names the version. Texts that
stand side by side after the expansion are joined, as the resource compiler joins them.

Only what Corvane.rc uses is understood, one statement per line; anything else inside a dialog
or the version record stops the generator with the line it could not read. Ids and style names
are written into the header as they stand in the script, for the compiler to resolve with
<windows.h> and app/resource.h.
"""

import os
import re
import sys

# Dialog control statements: the class they make, and their style when the statement gives none
# (default) or on top of the one it gives (base), besides WS_CHILD | WS_VISIBLE. Whether the
# statement starts with a text.
CONTROLS = {
    "PUSHBUTTON": ("Button", "BS_PUSHBUTTON | WS_TABSTOP", "BS_PUSHBUTTON | WS_TABSTOP", True),
    "DEFPUSHBUTTON": ("Button", "BS_DEFPUSHBUTTON | WS_TABSTOP", "BS_DEFPUSHBUTTON | WS_TABSTOP",
                      True),
    "LTEXT": ("Static", "SS_LEFT | WS_GROUP", "SS_LEFT", True),
    "ICON": ("Static", "SS_ICON", "SS_ICON", True),
    "EDITTEXT": ("Edit", "ES_LEFT | WS_BORDER | WS_TABSTOP", "ES_LEFT | WS_BORDER | WS_TABSTOP",
                 False),
    "COMBOBOX": ("ComboBox", "CBS_SIMPLE | WS_TABSTOP", "0", False),
}
# The predefined window classes, by the names CONTROL statements give them.
CLASSES = {name.lower(): name for name in ("Button", "Edit", "Static", "ListBox", "ScrollBar",
                                           "ComboBox")}

TOKEN = re.compile(r'\s*(?:"((?:[^"]|"")*)"|([^,"]+?))\s*(?:,|$)')
NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
NUMBER = re.compile(r"^-?(?:0[xX][0-9A-Fa-f]+|[0-9]+)[lL]?$")
STYLE = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(?:\s*\|\s*[A-Za-z_][A-Za-z0-9_]*)*$")


class ScriptError(Exception):
    pass


class Text(str):
    """A quoted text of the script, as opposed to a name or a number."""


def split_arguments(text, where):
    """The comma-separated arguments of a statement: Text for quoted ones, str for the rest."""
    arguments, at = [], 0
    while at < len(text):
        match = TOKEN.match(text, at)
        if not match or match.end() == at:
            raise ScriptError(f"{where}: cannot read the arguments")
        quoted, plain = match.group(1), match.group(2)
        if quoted is not None:
            if "\\" in quoted:
                raise ScriptError(f"{where}: escapes in texts are not understood")
            arguments.append(Text(quoted.replace('""', '"')))
        else:
            arguments.append(plain.strip())
        at = match.end()
    return arguments


def number(argument, where):
    if isinstance(argument, Text) or not NUMBER.match(argument):
        raise ScriptError(f"{where}: {argument!r} is not a number")
    return int(argument.rstrip("lL"), 0)


def identifier(argument, where):
    if isinstance(argument, Text) or not (NAME.match(argument) or NUMBER.match(argument)):
        raise ScriptError(f"{where}: {argument!r} is not an id")
    return argument


def style(argument, where):
    if isinstance(argument, Text) or not (STYLE.match(argument) or NUMBER.match(argument)):
        raise ScriptError(f"{where}: {argument!r} is not a style")
    return " | ".join(part.strip() for part in argument.split("|"))


def read_control(keyword, arguments, where):
    if keyword == "CONTROL":
        if len(arguments) not in (8, 9) or not isinstance(arguments[2], Text):
            raise ScriptError(f"{where}: CONTROL takes text, id, class, style, x, y, cx, cy"
                              " and an optional extended style")
        class_name = CLASSES.get(arguments[2].lower())
        if not class_name:
            raise ScriptError(f"{where}: class {arguments[2]!r} is not a predefined one")
        text, id_, style_ = arguments[0], arguments[1], style(arguments[3], where)
        place, rest = arguments[4:8], arguments[8:]
    else:
        class_name, default, base, has_text = CONTROLS[keyword]
        text = arguments.pop(0) if has_text else Text("")
        if len(arguments) not in (5, 6, 7):
            raise ScriptError(f"{where}: {keyword} takes {'text, ' if has_text else ''}id, x, y,"
                              " cx, cy, an optional style and an optional extended style")
        id_, place = arguments[0], arguments[1:5]
        style_ = default if len(arguments) == 5 else style(arguments[5], where)
        if len(arguments) > 5 and base != "0":
            style_ = f"{base} | {style_}"
        rest = arguments[6:]
    control = {
        "id": identifier(id_, where),
        "class": class_name,
        "style": f"WS_CHILD | WS_VISIBLE | {style_}",
        "ex_style": style(rest[0], where) if rest else "0",
        "place": [number(value, where) for value in place],
    }
    if keyword == "ICON":
        control["place"][2:] = [0, 0]  # an icon's size is the icon's: the compiler drops it
    if isinstance(text, Text):
        control["text"], control["ordinal"] = str(text), "0"
    else:  # an icon named by its id
        control["text"], control["ordinal"] = None, identifier(text, where)
    return control


def read_dialog(name, arguments, lines, where):
    dialog = {"id": name, "place": [number(value, where) for value in arguments],
              "style": None, "ex_style": "0", "caption": "", "font": None, "controls": []}
    if len(arguments) != 4:
        raise ScriptError(f"{where}: DIALOGEX takes x, y, cx, cy")
    for number_, line in lines:
        where = f"line {number_}"
        keyword, _, rest = line.partition(" ")
        arguments = split_arguments(rest.strip(), where)
        if keyword == "BEGIN" and not rest.strip():
            break
        if keyword == "STYLE" and len(arguments) == 1:
            dialog["style"] = style(arguments[0], where)
        elif keyword == "EXSTYLE" and len(arguments) == 1:
            dialog["ex_style"] = style(arguments[0], where)
        elif keyword == "CAPTION" and len(arguments) == 1 and isinstance(arguments[0], Text):
            dialog["caption"] = str(arguments[0])
        elif keyword == "FONT" and len(arguments) == 5 and isinstance(arguments[1], Text):
            dialog["font"] = (number(arguments[0], where), str(arguments[1]),
                              number(arguments[2], where), number(arguments[3], where),
                              number(arguments[4], where))
        else:
            raise ScriptError(f"{where}: {line!r} is not understood in a dialog's head")
    else:
        raise ScriptError(f"{where}: the dialog has no BEGIN")
    for number_, line in lines:
        where = f"line {number_}"
        keyword, _, rest = line.partition(" ")
        if keyword == "END" and not rest.strip():
            break
        if keyword != "CONTROL" and keyword not in CONTROLS:
            raise ScriptError(f"{where}: {keyword} is not understood in a dialog")
        dialog["controls"].append(read_control(keyword, split_arguments(rest.strip(), where),
                                               where))
    else:
        raise ScriptError(f"{where}: the dialog has no END")
    if dialog["style"] is None:
        raise ScriptError(f"{where}: dialog {name} has no STYLE")
    # The resource compiler adds these for a caption and a font.
    named = dialog["style"].split(" | ")
    for bit, given in (("WS_CAPTION", dialog["caption"]), ("DS_SETFONT", dialog["font"])):
        if given and bit not in named:
            named.append(bit)
    dialog["style"] = " | ".join(named)
    return dialog


def read_version(arguments, lines, where):
    if arguments:
        raise ScriptError(f"{where}: VERSIONINFO takes no arguments")
    version = {"FILEVERSION": None, "PRODUCTVERSION": None, "block": None, "values": [],
               "translation": None}
    depth, block = 0, None
    for number_, line in lines:
        where = f"line {number_}"
        keyword, _, rest = line.partition(" ")
        arguments = split_arguments(rest.strip(), where)
        if keyword in ("FILEVERSION", "PRODUCTVERSION") and depth == 0 and len(arguments) == 4:
            version[keyword] = [number(value, where) for value in arguments]
        elif keyword in ("FILEFLAGSMASK", "FILEFLAGS", "FILEOS", "FILETYPE", "FILESUBTYPE"):
            pass  # not compared
        elif keyword == "BEGIN":
            depth += 1
        elif keyword == "END":
            depth -= 1
            if depth == 0:
                break
        elif keyword == "BLOCK" and len(arguments) == 1 and isinstance(arguments[0], Text):
            block = str(arguments[0])
            if depth == 2:
                if version["block"]:
                    raise ScriptError(f"{where}: one string table is understood, not two")
                version["block"] = block
        elif keyword == "VALUE" and block == version["block"] and depth == 3 and \
                len(arguments) == 2 and all(isinstance(a, Text) for a in arguments):
            version["values"].append((str(arguments[0]), str(arguments[1])))
        elif keyword == "VALUE" and arguments[:1] == ["Translation"] and len(arguments) == 3:
            version["translation"] = [number(value, where) for value in arguments[1:]]
        else:
            raise ScriptError(f"{where}: {line!r} is not understood in the version record")
    if None in (version["FILEVERSION"], version["PRODUCTVERSION"], version["block"],
                version["translation"]):
        raise ScriptError(f"{where}: the version record lacks a version, strings or translation")
    return version


DEFINE = re.compile(r"^\s*#\s*define\s+([A-Za-z_][A-Za-z0-9_]*)\s+(.+?)\s*$")
WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
ADJACENT_TEXTS = re.compile(r'"((?:[^"]|"")*)"\s+"((?:[^"]|"")*)"')
# The names the build's header defines: one left in a statement means the header was not given.
GENERATED_NAME = re.compile(r"\bCORVANE_[A-Z0-9_]+\b")


def read_defines(path):
    defines = {}
    with open(path, encoding="utf-8") as header:
        for line in header:
            match = DEFINE.match(line)
            if match:
                defines[match.group(1)] = match.group(2)
    return defines


def expand(line, defines, where):
    """The statement with the defined names replaced outside texts, and side-by-side texts joined."""
    out, at = [], 0
    while at < len(line):
        if line[at] == '"':
            end = at + 1
            while True:
                end = line.find('"', end)
                if end < 0:
                    raise ScriptError(f"{where}: a text is not closed")
                if line[end + 1:end + 2] != '"':
                    break
                end += 2
            out.append(line[at:end + 1])
            at = end + 1
            continue
        word = WORD.match(line, at)
        if word and (at == 0 or not (line[at - 1].isalnum() or line[at - 1] == "_")):
            out.append(defines.get(word.group(0), word.group(0)))
            at = word.end()
            continue
        out.append(line[at])
        at += 1
    text = "".join(out)
    while True:
        joined = ADJACENT_TEXTS.sub(lambda m: f'"{m.group(1)}{m.group(2)}"', text, count=1)
        if joined == text:
            break
        text = joined
    outside_texts = re.sub(r'"(?:[^"]|"")*"', '""', text)
    left = GENERATED_NAME.search(outside_texts)
    if left:
        raise ScriptError(f"{where}: {left.group(0)} is not defined (give the build's "
                          "corvane_version.h)")
    return text


def read_script(path, defines_path=None):
    with open(path, encoding="utf-8") as script:
        text = script.read()
    if "#pragma code_page(65001)" not in text:
        raise ScriptError("the script does not say it is UTF-8 (#pragma code_page(65001))")
    defines = read_defines(defines_path) if defines_path else {}
    lines = iter([(n, expand(line.strip(), defines, f"line {n}"))
                  for n, line in enumerate(text.splitlines(), 1)
                  if line.strip() and not line.strip().startswith(("//", "#"))])
    dialogs, version = [], None
    for number_, line in lines:
        words = line.split(None, 2)
        if len(words) >= 2 and words[1] == "DIALOGEX":
            arguments = split_arguments(words[2] if len(words) > 2 else "", f"line {number_}")
            dialogs.append(read_dialog(words[0], arguments, lines, f"line {number_}"))
        elif len(words) >= 2 and words[1] == "VERSIONINFO":
            version = read_version(words[2:], lines, f"line {number_}")
    if not dialogs or not version:
        raise ScriptError("the script has no dialog or no version record")
    return dialogs, version


def wide(text):
    if text is None:
        return "nullptr"
    out = []
    for c in text:
        if 32 <= ord(c) < 127 and c not in '"\\':
            out.append(c)
        elif ord(c) <= 0xFFFF:
            out.append(f"\\u{ord(c):04X}")
        else:
            out.append(f"\\U{ord(c):08X}")
    return 'L"' + "".join(out) + '"'


def header(dialogs, version):
    lines = [
        "// Generated by tests/app/corvane_rc.py from app/Corvane.rc: its dialogs and version",
        "// record as the resource compiler builds them.",
        "#pragma once",
        "",
        "#include <windows.h>",
        "",
        "#include <cstddef>",
        "#include <cstdio>",
        "#include <cstdlib>",
        "",
        '#include "resource.h"',
        "",
        "namespace rc {",
        "",
        "struct control {",
        "    int id;",
        '    const wchar_t* class_name;  // "Button", "Edit", "Static", "ComboBox", ...',
        "    const wchar_t* text;        // null when the control names a resource instead",
        "    int text_ordinal;           // that resource's id, else 0",
        "    DWORD style, ex_style;",
        "    short x, y, cx, cy;",
        "};",
        "",
        "struct dialog {",
        "    int id;",
        "    DWORD style, ex_style;",
        "    short x, y, cx, cy;",
        "    const wchar_t* caption;",
        "    const wchar_t* font;",
        "    WORD point_size, weight;",
        "    BYTE italic, charset;",
        "    const control* controls;",
        "    size_t control_count;",
        "};",
        "",
        "constexpr control kControls[] = {",
    ]
    first, count = [], 0  # each dialog's first control in kControls
    for dialog in dialogs:
        first.append(count)
        count += len(dialog["controls"])
        lines.append(f"    // {dialog['id']}")
        for c in dialog["controls"]:
            x, y, cx, cy = c["place"]
            lines.append(f"    {{{c['id']}, {wide(c['class'])}, {wide(c['text'])}, {c['ordinal']},"
                         f" (DWORD)({c['style']}), (DWORD)({c['ex_style']}),"
                         f" {x}, {y}, {cx}, {cy}}},")
    lines += ["};", "", "constexpr dialog kDialogs[] = {"]
    for dialog, start in zip(dialogs, first):
        x, y, cx, cy = dialog["place"]
        size, face, weight, italic, charset = dialog["font"] or (0, "", 0, 0, 0)
        lines.append(f"    {{{dialog['id']}, (DWORD)({dialog['style']}),"
                     f" (DWORD)({dialog['ex_style']}), {x}, {y}, {cx}, {cy},"
                     f" {wide(dialog['caption'])}, {wide(face)}, {size}, {weight}, {italic},"
                     f" {charset}, &kControls[{start}], {len(dialog['controls'])}}},")
    lines += [
        "};",
        "",
        "// The dialog of that id; a test program without it cannot go on.",
        "inline const dialog& dialog_of(int id) {",
        "    for (const dialog& d : kDialogs) {",
        "        if (d.id == id)",
        "            return d;",
        "    }",
        '    fprintf(stderr, "app/Corvane.rc has no dialog %d\\n", id);',
        "    abort();",
        "}",
        "",
        "struct version_value {",
        "    const char* name;",
        "    const wchar_t* text;",
        "};",
        "",
        "constexpr WORD kFileVersion[4] = {" + ", ".join(map(str, version["FILEVERSION"])) + "};",
        "constexpr WORD kProductVersion[4] = {" +
        ", ".join(map(str, version["PRODUCTVERSION"])) + "};",
        f'constexpr char kVersionStrings[] = "{version["block"]}";  // language and code page',
        "constexpr version_value kVersionValues[] = {",
    ]
    for name, text in version["values"]:
        lines.append(f'    {{"{name}", {wide(text)}}},')
    lines += [
        "};",
        "constexpr WORD kVersionTranslation[2] = {" +
        ", ".join(f"0x{value:X}" for value in version["translation"]) + "};",
        "",
        "}  // namespace rc",
    ]
    return "\n".join(lines) + "\n"


def main():
    if len(sys.argv) not in (4, 5) or sys.argv[1] not in ("header", "caption"):
        sys.exit(__doc__)
    command, script, target = sys.argv[1:4]
    try:
        dialogs, version = read_script(script, sys.argv[4] if len(sys.argv) == 5 else None)
    except ScriptError as error:
        sys.exit(f"{script}: {error}")
    if command == "header":
        # The build runs this only when the script changed.
        os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
        with open(target, "w", encoding="utf-8") as out:
            out.write(header(dialogs, version))
        return
    for dialog in dialogs:
        if dialog["id"] == target:
            sys.stdout.buffer.write(dialog["caption"].encode("utf-8") + b"\n")
            return
    sys.exit(f"{script}: no dialog {target}")


if __name__ == "__main__":
    main()

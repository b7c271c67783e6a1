// How a Windows program under Wine reaches a Unix path: through the Z: drive, which Wine maps to
// the Unix root. Header only and without <windows.h>, so that the simulation DLLs share it
// without linking the test support.
#pragma once

#include <string>

// "/work/a.scn" as "Z:\work\a.scn"; any other path as it is.
template <typename Char>
std::basic_string<Char> z_drive_path(std::basic_string<Char> path) {
    if (path.empty() || path.front() != Char('/'))
        return path;
    for (Char& c : path) {
        if (c == Char('/'))
            c = Char('\\');
    }
    return std::basic_string<Char>{Char('Z'), Char(':')} + path;
}

// A path as the user gave it (relative, with forward slashes, with ".." in it) in the system's
// form: full, below the current directory, with backslashes. The library and the file calls get
// this form; the user's own may name another folder for them, or none.
#pragma once

#include <windows.h>

#include <string>

namespace cli {

// 0, or the system's error.
DWORD full_path(const std::wstring& path, std::wstring& full);

}  // namespace cli

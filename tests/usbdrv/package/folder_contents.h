// What a package folder holds, to compare it before and after a preparation, and the folders a
// preparation writes into before its package is complete. Header-only, for the package tests.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace test {

// Every entry below a folder by its path relative to it: a folder as "<folder>", a file as its
// bytes, after "<read-only> " when it is read-only. A file given in place of the folder is the
// entry "". Nothing at all: no entries.
using folder_contents = std::map<std::string, std::string>;

inline std::string entry_text(const std::filesystem::path& path) {
    if (std::filesystem::is_directory(path))
        return "<folder>";
    DWORD attributes = GetFileAttributesW(path.c_str());
    std::ifstream in(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        text = "<read-only> " + text;
    return text;
}

inline folder_contents contents_of(const std::filesystem::path& folder) {
    folder_contents contents;
    std::error_code error;
    if (!std::filesystem::exists(folder, error))
        return contents;
    if (!std::filesystem::is_directory(folder, error)) {
        contents[""] = entry_text(folder);
        return contents;
    }
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); ++it) {
        contents[utf8(it->path().lexically_relative(folder))] = entry_text(it->path());
    }
    return contents;
}

// The names in folder (not below it) that begin with "~": the folders a preparation writes a
// package into, or sets an earlier one aside in, until it is complete.
inline std::vector<std::string> staging_left_in(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(folder, error);
         !error && it != std::filesystem::directory_iterator(); ++it) {
        std::string name = utf8(it->path().filename());
        if (!name.empty() && name[0] == '~')
            names.push_back(name);
    }
    return names;
}

}  // namespace test

#include "base/package_layout.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kStagingPrefix[] = "~usbdrv.";
constexpr size_t kStagingDigits = 8;
constexpr size_t kStagingLength = sizeof kStagingPrefix - 1 + kStagingDigits;

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// The end of the component that starts at `at`: the next separator or the end of the text.
size_t component_end(const char* path, size_t at) {
    while (path[at] && !is_separator(path[at]))
        at++;
    return at;
}

// The root of a share from `at`, where its server's name begins: "server\share\".
size_t share_root_end(const char* path, size_t at) {
    at = component_end(path, at);
    if (!path[at])
        return at;
    at = component_end(path, at + 1);
    return path[at] ? at + 1 : at;
}

// The length of the root a full path begins with, its separator included when it has one:
// "C:\", "\\server\share\", and the same after "\\?\" ("\\?\C:\", "\\?\UNC\server\share\").
// 0 for a path without a root.
size_t root_length(const char* path) {
    size_t at = 0;
    if (is_separator(path[0]) && is_separator(path[1]) && (path[2] == '?' || path[2] == '.') &&
        is_separator(path[3])) {
        at = 4;
        if (strncmp(path + at, "UNC", 3) == 0 && is_separator(path[at + 3]))
            return share_root_end(path, at + 4);
    } else if (is_separator(path[0]) && is_separator(path[1])) {
        return share_root_end(path, 2);
    }
    if (path[at] && path[at + 1] == ':')
        return is_separator(path[at + 2]) ? at + 3 : at + 2;
    return at;
}

}  // namespace

size_t path_excess(size_t length) {
    return length > kLongestPath ? length - kLongestPath : 0;
}

path_parts split_path(const char* path) {
    const size_t root = root_length(path);
    size_t end = strlen(path);
    while (end > root && is_separator(path[end - 1]))
        end--;
    if (end <= root)
        return {strlen(path), strlen(path), 0};
    size_t separator = end;
    while (separator > root && !is_separator(path[separator - 1]))
        separator--;
    // The name begins at `separator`; the folder above it keeps its separator only when it is
    // the root's own.
    size_t parent = separator;
    if (parent > root)
        parent--;
    return {parent, separator, end - separator};
}

void staging_folder_name(uint32_t seed, size_t room, char* text, size_t size) {
    char digits[kStagingDigits + 1];
    snprintf(digits, sizeof digits, "%08x", (unsigned)seed);
    if (room >= kStagingLength) {
        snprintf(text, size, "%s%s", kStagingPrefix, digits);
    } else if (room >= 2) {
        size_t shown = room - 1 < kStagingDigits ? room - 1 : kStagingDigits;
        snprintf(text, size, "~%s", digits + kStagingDigits - shown);
    } else {
        snprintf(text, size, "%s", room == 1 ? digits + kStagingDigits - 1 : "");
    }
}

bool is_staging_folder_name(const char* name) {
    if (!name || strlen(name) != kStagingLength ||
        strncmp(name, kStagingPrefix, sizeof kStagingPrefix - 1) != 0)
        return false;
    for (const char* c = name + sizeof kStagingPrefix - 1; *c; c++) {
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f')))
            return false;
    }
    return true;
}

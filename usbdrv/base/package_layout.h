// Where a package is written before it is complete, and the rules of its paths: a folder of its
// own beside the package folder, whose files are moved into place only once all of them are
// there. No system calls, so that the rules also build natively.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest path the library's 260-byte buffers (MAX_PATH) hold: 259 characters and the
// terminator.
constexpr size_t kLongestPath = 259;

// How many characters a path of `length` is longer than kLongestPath; 0 when it fits.
size_t path_excess(size_t length);

// A full path ("C:\a\b", "\\server\share\a") split into the folder it is in and its own name.
// A root ("C:\", "\\server\share\") has no folder above it: parent_length is then the whole
// path and name_length 0. A separator at the end of a path that is not a root is not part of
// the name.
struct path_parts {
    size_t parent_length;  // the folder's text, with its separator when the folder is a root
    size_t name_offset;
    size_t name_length;
};
path_parts split_path(const char* path);

// The name of a folder that a preparation writes a package into: "~usbdrv." and the eight
// hexadecimal digits of seed (16 characters), or where at most room characters fit, "~" and as
// many of those digits, the last ones, as fit ("~4d" for room 3; a digit alone for room 1).
// Written into text (size bytes, at least 17). A new seed for each attempt: the folder is
// created new, never taken over.
void staging_folder_name(uint32_t seed, size_t room, char* text, size_t size);

// A name of the long form above, which only a preparation makes. Such a folder that exists when
// a preparation starts was left behind by one that did not end.
bool is_staging_folder_name(const char* name);

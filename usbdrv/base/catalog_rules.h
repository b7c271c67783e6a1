// What the package's security catalog says of each file, and the bounds of the walk through the
// package tree that finds the files, apart from the system calls that build the catalog
// (package/catalog.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// Every attribute of the catalog and of its members is authenticated, and its name and its value
// are plain text: the system's CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_NAMEASCII |
// CRYPTCAT_ATTR_DATAASCII.
constexpr uint32_t kCatalogAttributeFlags = 0x10010001;
// The member version the catalog records for every file.
constexpr uint32_t kCatalogMemberVersion = 0x200;
// A file's hash in the catalog: SHA-1.
constexpr size_t kFileHashBytes = 20;

enum class catalog_member_kind {
    none,      // not catalogued
    pe_image,  // ".dll", ".sys", ".exe"
    flat_inf,  // ".inf"
};

// By the text after the name's last ".", in any case. A name without "." and a name whose only
// "." is its first character are not catalogued. A null name is none.
catalog_member_kind catalog_member_kind_of(const char* name);

// A member's reference tag: its hash as 40 upper-case hexadecimal digits, first byte first.
struct hash_tag {
    char text[2 * kFileHashBytes + 1];
};
hash_tag hash_tag_of(const uint8_t (&hash)[kFileHashBytes]);

// The catalog's case rule for names (list entries, names on disk, the "File" attribute and the
// hardware ID): the ASCII letters A to Z become lower case, every other character stays, so that
// both sides of a comparison are lowered alike whatever the system's locale.
void lower_ascii(char* text);
void lower_ascii(wchar_t* text);

// The walk's path bounds, in bytes of UTF-8 text with the terminator. `base` is the absolute
// package directory, `rel` the relative directory being walked ("" at the top, else beginning
// with a backslash), `name` an entry of it.
namespace catalog_walk {

// The search pattern base "\" rel "\*".
inline bool pattern_fits(size_t base, size_t rel) {
    return base + rel + 4 <= 261;
}
// A subdirectory's relative directory rel "\" name.
inline bool subdirectory_fits(size_t rel, size_t name) {
    return rel + name + 2 <= 261;
}
// A file's full path base rel "\" name, in a 260-byte (MAX_PATH) buffer.
inline bool file_path_fits(size_t base, size_t rel, size_t name) {
    return base + rel + name + 2 <= 260;
}

}  // namespace catalog_walk

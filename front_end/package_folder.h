// Where the install commands write their package: "usb_driver" below the user's profile. No
// Windows call: the programs read the environment and pass it in.
#pragma once

#include <cstddef>
#include <string>

// From a drive's root ("C:\...") or a share ("\\server\..."); anything else is taken relative to
// the current directory by the file calls.
bool is_full_path(const char* path);
// The folder `name` below `base`, with one separator between them.
std::string folder_below(const char* base, const char* name);

// The library keeps paths in buffers of 260 bytes (MAX_PATH) with their terminator: a longer
// path would be cut to name another folder.
constexpr size_t kLibraryPathMax = 260;

struct package_folder {
    enum outcome_kind {
        ok,
        not_set,        // the variable is not set, or empty
        not_full_path,  // relative: the package would land below the current directory
        not_text,       // not valid UTF-16: a lone surrogate
        too_long,       // the package folder's path would not fit the library's paths
    } outcome = ok;
    std::string path;
    // The outcome is the fallback's, not the profile's.
    bool from_fallback = false;
    // too_long: the bytes of UTF-8 the folder's path would have had.
    size_t path_bytes = 0;
    // not_text: where the lone surrogate stands (UTF-16 units from 0) and its value.
    size_t bad_at = 0;
    char16_t bad_unit = 0;
};

// "<profile>\usb_driver" (UTF-8), or why there is none. The variables come as the system holds
// them (UTF-16, null when not set): a value that is not valid UTF-16 is refused, never converted
// with a replacement character that would name another folder. `fallback`, when given, takes the
// place of a profile that is not set (or empty), under the same rules; a profile that is set but
// relative, not text or too long is reported, never replaced, since the user named a folder and
// the package must not land elsewhere. The dialog gives no fallback: it refuses, and writes
// nothing. The console program gives TEMP: a factory line's or a service's account may have no
// profile.
package_folder install_folder(const char16_t* profile, const char16_t* fallback = nullptr);

// Where the install commands write their package: "usb_driver" below the user's profile. No
// Windows call: the programs read the environment and pass it in.
#pragma once

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
    enum outcome_kind { ok, no_profile, too_long } outcome = ok;
    std::string path;
    // The folder is below the fallback, not the profile.
    bool from_fallback = false;
};

// "<profile>\usb_driver" (UTF-8), or why there is none: a profile that is not set (null or
// empty) or not a full path would put the package below some other folder, and one too long
// for the library's paths would be cut to name another. `fallback`, when given, takes the place
// of a profile that is not set or not a full path, under the same rules; a profile that is too
// long is reported, never replaced. The dialog gives none: it refuses, and writes nothing. The
// console program gives TEMP: a factory line's or a service's account may have no profile.
package_folder install_folder(const char* profile, const char* fallback = nullptr);

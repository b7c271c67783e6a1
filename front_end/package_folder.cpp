#include "package_folder.h"

#include "device_rules.h"
#include "utf16_text.h"

namespace {

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_drive_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The package folder below one base, checked.
package_folder below(const char16_t* base) {
    package_folder folder;
    if (!base || !*base) {
        folder.outcome = package_folder::not_set;
        return folder;
    }
    utf16_conversion text = utf8_from_utf16(base);
    if (!text.valid()) {
        folder.outcome = package_folder::not_text;
        folder.bad_at = text.bad_at;
        folder.bad_unit = text.bad_unit;
        return folder;
    }
    if (!is_full_path(text.utf8.c_str())) {
        folder.outcome = package_folder::not_full_path;
        return folder;
    }
    std::string path = folder_below(text.utf8.c_str(), kPackageFolderName);
    if (path.size() >= kLibraryPathMax) {
        folder.outcome = package_folder::too_long;
        folder.path_bytes = path.size();
        return folder;
    }
    folder.path = path;
    return folder;
}

}  // namespace

bool is_full_path(const char* path) {
    bool drive = is_drive_letter(path[0]) && path[1] == ':' && is_separator(path[2]);
    return drive || (is_separator(path[0]) && is_separator(path[1]));
}

std::string folder_below(const char* base, const char* name) {
    std::string folder = base;
    if (folder.empty() || !is_separator(folder.back()))
        folder += '\\';
    return folder + name;
}

package_folder install_folder(const char16_t* profile, const char16_t* fallback) {
    package_folder folder = below(profile);
    if (folder.outcome != package_folder::not_set || !fallback)
        return folder;
    folder = below(fallback);
    folder.from_fallback = true;
    return folder;
}

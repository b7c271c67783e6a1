#include "package_folder.h"

#include "device_rules.h"

namespace {

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_drive_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The package folder below one base, checked.
package_folder below(const char* base) {
    package_folder folder;
    if (!base || !is_full_path(base)) {
        folder.outcome = package_folder::no_profile;
        return folder;
    }
    std::string path = folder_below(base, kPackageFolderName);
    if (path.size() >= kLibraryPathMax) {
        folder.outcome = package_folder::too_long;
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

package_folder install_folder(const char* profile, const char* fallback) {
    package_folder folder = below(profile);
    if (folder.outcome != package_folder::no_profile || !fallback)
        return folder;
    folder = below(fallback);
    folder.from_fallback = true;
    return folder;
}

#include "log_file_rules.h"

#include "package_folder.h"

const char* const kLogFolderName = "Corvane";
const char* const kLogFileName = "Corvane.log";
const char* const kOldLogFileName = "Corvane.1.log";
const char* const kUtf8ByteOrderMark = "\xEF\xBB\xBF";

std::string log_folder(const char* local_app_data) {
    if (!local_app_data || !is_full_path(local_app_data))
        return std::string();
    return folder_below(local_app_data, kLogFolderName);
}

namespace {

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_drive(const std::string& path, size_t at) {
    char letter = at < path.size() ? path[at] : '\0';
    bool ascii_letter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
    return ascii_letter && at + 2 < path.size() && path[at + 1] == ':' &&
           is_separator(path[at + 2]);
}

// Past `count` names from `at`, each with the separator after it (or the end of the path).
size_t past_names(const std::string& path, size_t at, int count) {
    for (int i = 0; i < count && at < path.size(); i++) {
        while (at < path.size() && !is_separator(path[at]))
            at++;
        if (at < path.size())
            at++;
    }
    return at;
}

// The length of the root: what no folder can be made of. 0 when the path is not full.
size_t root_length(const std::string& path) {
    if (is_drive(path, 0))
        return 3;
    if (path.size() < 2 || !is_separator(path[0]) || !is_separator(path[1]))
        return 0;
    // The prefixes that hand a path to the system as it stands: "\\?\" and "\\.\".
    if (path.size() >= 4 && (path[2] == '?' || path[2] == '.') && is_separator(path[3])) {
        if (is_drive(path, 4))
            return 7;
        bool is_unc = path.size() > 7 && (path[4] == 'U' || path[4] == 'u') &&
                      (path[5] == 'N' || path[5] == 'n') && (path[6] == 'C' || path[6] == 'c') &&
                      is_separator(path[7]);
        // A volume's name ("Volume{...}") is its root; a share's is server and share.
        return is_unc ? past_names(path, 8, 2) : past_names(path, 4, 1);
    }
    return past_names(path, 2, 2);
}

}  // namespace

std::vector<std::string> folders_to_make(const std::string& folder) {
    std::vector<std::string> folders;
    size_t at = root_length(folder);
    if (at == 0)
        return folders;
    while (at < folder.size()) {
        size_t end = at;
        while (end < folder.size() && !is_separator(folder[end]))
            end++;
        if (end > at)
            folders.push_back(folder.substr(0, end));
        at = end + 1;
    }
    return folders;
}

bool log_needs_rotation(uint64_t file_bytes, uint64_t line_bytes, uint64_t limit) {
    if (file_bytes == 0)
        return false;
    return file_bytes >= limit || line_bytes > limit - file_bytes;
}

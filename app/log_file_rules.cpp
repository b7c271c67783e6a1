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

bool log_needs_rotation(uint64_t file_bytes, uint64_t line_bytes, uint64_t limit) {
    if (file_bytes == 0)
        return false;
    return file_bytes >= limit || line_bytes > limit - file_bytes;
}

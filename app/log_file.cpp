#include "log_file.h"

#include <shlobj.h>

#include <mutex>

#include "dialog_texts.h"
#include "log_file_rules.h"
#include "log_line.h"
#include "package_folder.h"

namespace {

// The system's local application data folder (UTF-8). SHGetFolderPathW rather than the
// known-folder call, which Windows XP lacks.
std::string system_local_app_data() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return std::string();
    return narrow(folder);
}

unique_file_handle open_for_append(const std::wstring& path) {
    return unique_file_handle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool write_all(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

log_file::log_file() {
    std::string folder = log_folder(environment_utf8(L"LOCALAPPDATA").c_str());
    if (folder.empty())
        folder = log_folder(system_local_app_data().c_str());
    if (folder.empty())
        return;
    folder_ = widen(folder);
    path_ = widen(folder_below(folder.c_str(), kLogFileName));
    old_path_ = widen(folder_below(folder.c_str(), kOldLogFileName));
}

void log_file::write(const std::string& text) {
    if (path_.empty())
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string line = log_line(
        {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds},
        text);
    critical_section_lock hold(lock_);
    unique_file_handle file = open_for_line(line.size());
    if (file)
        write_all(file.get(), line);
}

void log_file::write_own(const std::string& text) {
    write(kOwnLinePrefix + text);
}

std::string log_file::path() const {
    return path_.empty() ? std::string() : narrow(path_.c_str());
}

unique_file_handle log_file::open_for_line(uint64_t line_bytes) {
    unique_file_handle file = open_for_append(path_);
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND) {
        SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr);
        file = open_for_append(path_);
    }
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size))
        return unique_file_handle();
    if (log_needs_rotation((uint64_t)size.QuadPart, line_bytes)) {
        // The older file gives way. When the rename fails (another program holds the file
        // without sharing it), the line goes to the full file rather than nowhere.
        file.reset();
        if (MoveFileExW(path_.c_str(), old_path_.c_str(), MOVEFILE_REPLACE_EXISTING))
            size.QuadPart = 0;
        file = open_for_append(path_);
    }
    if (file && size.QuadPart == 0 && !write_all(file.get(), kUtf8ByteOrderMark))
        return unique_file_handle();
    return file;
}

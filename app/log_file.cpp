#include "log_file.h"

#include <shlobj.h>

#include <mutex>
#include <string>
#include <vector>

#include "dialog_texts.h"
#include "log_file_rules.h"
#include "log_line.h"
#include "package_folder.h"

namespace {

// shell32 from the system folder only, never one planted beside the program. Systems without
// the loader's search flags refuse them with ERROR_INVALID_PARAMETER: the folder is named then.
unique_module load_shell32() {
    unique_module shell32(LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (shell32 || GetLastError() != ERROR_INVALID_PARAMETER)
        return shell32;
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return shell32;
    std::wstring path = std::wstring(system) + L"\\shell32.dll";
    shell32.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    return shell32;
}

// The system's local application data folder (UTF-8). SHGetFolderPathW rather than the
// known-folder call, which Windows XP lacks. Asked only when LOCALAPPDATA gives no folder, so
// shell32 is loaded for it then and not imported: the dialog has no other use for it.
std::string system_local_app_data() {
    unique_module shell32 = load_shell32();
    void* found = shell32
                      ? reinterpret_cast<void*>(GetProcAddress(shell32.get(), "SHGetFolderPathW"))
                      : nullptr;
    auto get_folder_path = reinterpret_cast<decltype(&SHGetFolderPathW)>(found);
    wchar_t folder[MAX_PATH] = {};
    if (!get_folder_path ||
        FAILED(get_folder_path(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return std::string();
    return narrow(folder);
}

// Makes the log's folder and those above it that are missing, with plain file-system calls: the
// innermost that can be made, then each below it. A folder that exists is fine; whatever fails
// leaves its error for the file's opening, which then fails too.
void make_folders(const std::vector<std::wstring>& levels) {
    size_t made = levels.size();
    while (made > 0) {
        if (CreateDirectoryW(levels[made - 1].c_str(), nullptr) ||
            GetLastError() == ERROR_ALREADY_EXISTS) {
            break;
        }
        if (GetLastError() != ERROR_PATH_NOT_FOUND)
            return;
        made--;
    }
    if (made == 0)
        return;
    for (; made < levels.size(); made++) {
        if (!CreateDirectoryW(levels[made].c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return;
        }
    }
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
    for (const std::string& level : folders_to_make(folder))
        folders_.push_back(widen(level));
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
        make_folders(folders_);
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

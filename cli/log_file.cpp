#include "log_file.h"

#include "full_path.h"

namespace cli {

namespace {

// The folder a full path is in; empty for a root (a drive's, or a share's first levels).
std::wstring folder_of(const std::wstring& path) {
    size_t at = path.find_last_of(L'\\');
    if (at == std::wstring::npos || at + 1 == path.size())
        return L"";
    if (at == 2 && path[1] == L':')
        return path.substr(0, 3);  // the drive's root, with its separator
    if (at < 2)
        return L"";  // above a share there are no folders to make
    return path.substr(0, at);
}

}  // namespace

DWORD log_file::open(const std::string& path) {
    if (DWORD error = full_path(widen(path), path_))
        return error;
    if (DWORD error = create_folders())
        return error;
    // Appending only: the system puts each write at the end of the file, so that runs that
    // share one log (a factory line's boards) never write over each other's lines.
    handle_.reset(CreateFileW(path_.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD error = GetLastError();
    if (!handle_) {
        remove_folders();
        return error ? error : ERROR_OPEN_FAILED;
    }
    created_ = error != ERROR_ALREADY_EXISTS;
    return 0;
}

DWORD log_file::create_folders() {
    std::vector<std::wstring> missing;  // innermost first
    for (std::wstring folder = folder_of(path_); !folder.empty(); folder = folder_of(folder)) {
        DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return ERROR_DIRECTORY;
            break;
        }
        missing.push_back(folder);
    }
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
        if (CreateDirectoryW(folder->c_str(), nullptr)) {
            created_folders_.push_back(*folder);
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS)
            continue;  // another run made it meanwhile
        remove_folders();
        return error ? error : ERROR_PATH_NOT_FOUND;
    }
    return 0;
}

void log_file::remove_folders() {
    // Only while empty: another run may have put its log into one meanwhile.
    for (auto folder = created_folders_.rbegin(); folder != created_folders_.rend(); ++folder)
        RemoveDirectoryW(folder->c_str());
    created_folders_.clear();
}

DWORD log_file::write(const std::string& bytes) {
    LARGE_INTEGER before;
    bool sized = GetFileSizeEx(handle_.get(), &before) != 0;
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        BOOL ok = WriteFile(handle_.get(), bytes.data() + done,
                            static_cast<DWORD>(bytes.size() - done), &written, nullptr);
        DWORD error = ok ? 0 : GetLastError();
        if (ok && written == 0)
            error = ERROR_WRITE_FAULT;  // no progress and no reason: not written all the same
        if (error) {
            if (done > 0 && sized)
                take_back(before.QuadPart, done);
            return error;
        }
        done += written;
    }
    return 0;
}

void log_file::take_back(LONGLONG size, size_t partial) {
    // The appending handle cannot set the end of the file; a second one can. Only while the
    // file ends where this run's partial line does: a line another run appended since stays.
    unique_file_handle file(CreateFileW(path_.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER now;
    if (!file || !GetFileSizeEx(file.get(), &now) ||
        now.QuadPart != size + static_cast<LONGLONG>(partial))
        return;
    LARGE_INTEGER at;
    at.QuadPart = size;
    if (SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN))
        SetEndOfFile(file.get());
}

void log_file::discard() {
    handle_.reset();
    if (created_)
        DeleteFileW(path_.c_str());
    created_ = false;
    remove_folders();
}

}  // namespace cli

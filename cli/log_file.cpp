#include "log_file.h"

namespace cli {

DWORD log_file::open(const std::string& path) {
    path_ = widen(path);
    // Appending only: the system puts each write at the end of the file, so that runs that
    // share one log (a factory line's boards) never write over each other's lines.
    handle_.reset(CreateFileW(path_.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD error = GetLastError();
    if (!handle_)
        return error ? error : ERROR_OPEN_FAILED;
    created_ = error != ERROR_ALREADY_EXISTS;
    return 0;
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
}

}  // namespace cli

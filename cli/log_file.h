// The --log file of the console program: every line the run logs, appended with its time stamp.
// A line that cannot be written is noticed at the write that fails, never later: a factory line
// that asks for a log must learn that it has none.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "usbdrv/kit.h"

namespace cli {

class log_file {
public:
    // Opens (or creates) the file to append to, creating the folders it needs (every missing
    // level: a factory machine's first run has none of them); 0, or the system's error
    // (ERROR_DIRECTORY when a level of the path is a file). A relative path is below the current
    // directory.
    DWORD open(const std::string& path);
    bool is_open() const { return handle_.valid(); }
    // The file's full path (UTF-8), once opened.
    std::string path() const { return narrow(path_.c_str()); }
    // Appends the bytes whole; 0, or the system's error. A line written only in part (a disk
    // that filled up in the middle) is taken back, so that the file ends in a whole line.
    DWORD write(const std::string& bytes);
    // Closes the file; one this run created is deleted, and so are the folders it made for it,
    // for a log whose first line could not be written holds nothing of the run.
    void discard();
    void close() { handle_.reset(); }

private:
    // Cuts the file back to `size` bytes, where it ended before `partial` bytes of a line.
    void take_back(LONGLONG size, size_t partial);
    // Creates the missing folders above path_, outermost first; 0, or the system's error.
    DWORD create_folders();
    // Removes the folders create_folders made, innermost first.
    void remove_folders();

    unique_file_handle handle_;
    std::wstring path_;
    bool created_ = false;
    std::vector<std::wstring> created_folders_;  // outermost first
};

}  // namespace cli

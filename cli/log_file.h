// The --log file of the console program: every line the run logs, appended with its time stamp.
// A line that cannot be written is noticed at the write that fails, never later: a factory line
// that asks for a log must learn that it has none.
#pragma once

#include <windows.h>

#include <string>

#include "usbdrv/kit.h"

namespace cli {

class log_file {
public:
    // Opens (or creates) the file to append to; 0, or the system's error.
    DWORD open(const std::string& path);
    bool is_open() const { return handle_.valid(); }
    // Appends the bytes whole; 0, or the system's error. A line written only in part (a disk
    // that filled up in the middle) is taken back, so that the file ends in a whole line.
    DWORD write(const std::string& bytes);
    // Closes the file; one this run created is deleted, for a log whose first line could not be
    // written holds nothing of the run.
    void discard();
    void close() { handle_.reset(); }

private:
    // Cuts the file back to `size` bytes, where it ended before `partial` bytes of a line.
    void take_back(LONGLONG size, size_t partial);

    unique_file_handle handle_;
    std::wstring path_;
    bool created_ = false;
};

}  // namespace cli

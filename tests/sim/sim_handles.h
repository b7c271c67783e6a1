// Owning wrappers for the few system handles the simulation holds.
#pragma once

#include <windows.h>

#include <memory>

namespace sim {

struct file_closer {
    using pointer = HANDLE;
    void operator()(HANDLE file) const {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
};
struct key_closer {
    using pointer = HKEY;
    void operator()(HKEY key) const { RegCloseKey(key); }
};

// From CreateFile: INVALID_HANDLE_VALUE when absent (null never comes from it).
using unique_file = std::unique_ptr<void, file_closer>;
using unique_key = std::unique_ptr<void, key_closer>;

}  // namespace sim

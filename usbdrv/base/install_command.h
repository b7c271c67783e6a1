// What the installation host starts: the installer helper of the system's word size, or the
// package's filter installer, with its command line. Portable, so that the choice and the texts
// are tested natively.
#pragma once

#include "base/bounded_path.h"
#include "usbdrv/usbdrv.h"

// The word size of the helper to start. A 64-bit tool runs on 64-bit Windows by definition; a
// 32-bit tool runs on 64-bit Windows when the system says it runs under WOW64.
bool system_is_64bit(bool tool_is_64bit, bool running_under_wow64);

// "64" or "32", as the messages about a missing helper name the word size.
const char* word_size_text(bool system_64bit);

struct install_command {
    bounded_path program;       // the file to start, unquoted: "<dir>\installer_x64.exe"
    const char* elevated_file;  // what the elevated start names: the helper's file name (started
                                // in the package folder), or the filter installer's path
    bounded_path arguments;     // "\"<inf>\"", or "install -d=<hardware ID>" for the filter
    bounded_path command_line;  // the quoted program, a space, the arguments
};

// Fills `command` for the package in `directory`. Fails with USBDRV_ERR_INVALID_PARAM, logged
// under "install_driver_internal", when a path or the arguments would not fit whole into the
// 260-byte buffers (cut, they would name something else), or when the INF name holds a double
// quote, which would end its argument early.
usbdrv_result build_install_command(const char* directory, const char* inf_name,
                                    const usbdrv_device_entry& device, bool filter_installer,
                                    bool system_64bit, install_command& command);

// A readable text for a Windows error code.
#pragma once

#include <cstdint>

// "[#%08X] <system message>", at most 255 characters; 0 means the thread's last error. The text
// stays valid until the next call.
const char* windows_error_str(uint32_t code);

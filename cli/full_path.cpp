#include "full_path.h"

namespace cli {

DWORD full_path(const std::wstring& path, std::wstring& full) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        DWORD error = GetLastError();
        return error ? error : ERROR_INVALID_NAME;
    }
    full.assign(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length == 0) {
        DWORD error = GetLastError();
        return error ? error : ERROR_INVALID_NAME;
    }
    if (length >= size)
        return ERROR_INVALID_NAME;  // the current directory changed between the two calls
    full.resize(length);
    return 0;
}

}  // namespace cli

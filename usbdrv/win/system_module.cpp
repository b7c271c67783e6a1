#include "win/system_module.h"

#include <cstring>

HMODULE load_system_module(const char* name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A bare module name only: a path would bypass the system-folder rule.
    if (strpbrk(name, "\\/:")) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    HMODULE module = GetModuleHandleA(name);
    if (module)
        return module;

    module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;

    // Systems without the search flags (before the 2011 loader update) refuse the flag with
    // ERROR_INVALID_PARAMETER; name the system folder explicitly instead.
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + strlen(name) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    strcat(path, "\\");
    strcat(path, name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

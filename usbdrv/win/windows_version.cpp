#include "win/windows_version.h"

#include <windows.h>

#include <cstring>

#include "base/version_code.h"

int windows_version = -1;

namespace {

bool verify_version(void*, version_field field, unsigned value) {
    OSVERSIONINFOEXA query;
    memset(&query, 0, sizeof query);
    query.dwOSVersionInfoSize = sizeof query;
    DWORD type = VER_MAJORVERSION;
    if (field == VERSION_FIELD_MAJOR) {
        query.dwMajorVersion = value;
    } else {
        query.dwMinorVersion = value;
        type = VER_MINORVERSION;
    }
    ULONGLONG condition = VerSetConditionMask(0, type, VER_EQUAL);
    return VerifyVersionInfoA(&query, type, condition) != FALSE;
}

}  // namespace

void detect_windows_version() {
    windows_version = -1;

    OSVERSIONINFOEXA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) {
        memset(&info, 0, sizeof info);
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)))
            return;
    }

    windows_version =
        windows_version_code(info.dwPlatformId == VER_PLATFORM_WIN32_NT, info.dwMajorVersion,
                             info.dwMinorVersion, verify_version, nullptr);
}

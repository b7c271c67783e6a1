#include "win/busy_marker.h"

// A marker that another account made (an elevated program's, seen from one that is not) exists
// all the same, though this process may not open it.
busy_marker::busy_marker(const char* marker) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, busy_marker_name(marker).text);
    DWORD error = GetLastError();
    mutex_.reset(mutex);
    if (mutex_)
        state_ = error == ERROR_ALREADY_EXISTS ? USBDRV_ERR_BUSY : USBDRV_OK;
    else
        state_ = error == ERROR_ACCESS_DENIED ? USBDRV_ERR_BUSY : USBDRV_ERR_RESOURCE;
}

bool busy_marker::held(const char* marker) {
    HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, busy_marker_name(marker).text);
    DWORD error = opened ? ERROR_SUCCESS : GetLastError();
    unique_mutex owned(opened);
    return owned || error == ERROR_ACCESS_DENIED;
}

unique_mutex busy_marker::hold(const char* marker, uint32_t* error) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, busy_marker_name(marker).text);
    if (!mutex && error)
        *error = GetLastError();
    return unique_mutex(mutex);
}

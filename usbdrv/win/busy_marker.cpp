#include "busy_marker.h"

#include <cstdio>

namespace {

struct marker_name {
    char text[64];
    explicit marker_name(const char* function) {
        snprintf(text, sizeof text, "Global\\%s", function);
    }
};

}  // namespace

// A marker that another account made (an elevated program's, seen from one that is not) exists
// all the same, though this process may not open it.
busy_marker::busy_marker(const char* function) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, marker_name(function).text);
    DWORD error = GetLastError();
    mutex_.reset(mutex);
    if (mutex_)
        state_ = error == ERROR_ALREADY_EXISTS ? USBDRV_ERR_BUSY : USBDRV_OK;
    else
        state_ = error == ERROR_ACCESS_DENIED ? USBDRV_ERR_BUSY : USBDRV_ERR_RESOURCE;
}

bool busy_marker::held(const char* function) {
    unique_mutex marker(OpenMutexA(SYNCHRONIZE, FALSE, marker_name(function).text));
    return marker || GetLastError() == ERROR_ACCESS_DENIED;
}

unique_mutex busy_marker::hold(const char* function) {
    return unique_mutex(CreateMutexA(nullptr, FALSE, marker_name(function).text));
}

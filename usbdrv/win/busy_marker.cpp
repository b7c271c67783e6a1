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

busy_marker::busy_marker(const char* function) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, marker_name(function).text);
    DWORD error = GetLastError();
    mutex_.reset(mutex);
    already_running_ = mutex_ && error == ERROR_ALREADY_EXISTS;
}

bool busy_marker::held(const char* function) {
    return static_cast<bool>(
        unique_mutex(OpenMutexA(SYNCHRONIZE, FALSE, marker_name(function).text)));
}

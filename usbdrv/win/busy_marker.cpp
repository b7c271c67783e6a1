#include "busy_marker.h"

#include <cstdio>

busy_marker::busy_marker(const char* function) {
    char name[64];
    snprintf(name, sizeof name, "Global\\%s", function);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    DWORD error = GetLastError();
    mutex_.reset(mutex);
    already_running_ = mutex_ && error == ERROR_ALREADY_EXISTS;
}

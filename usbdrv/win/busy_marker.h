// The machine-wide busy marker of one library call: a named mutex "Global\<function>" that exists
// while the call runs. A second call anywhere fails at once instead of waiting. Closing the
// handle ends the marker; the mutex is a marker, not a lock, so it is never released with
// ReleaseMutex.
#pragma once

#include "handles.h"
#include "usbdrv/usbdrv.h"

// The marker of an installation. The host takes it for its call, and the installer helper holds
// it for its whole run: while either works, no other installation or preparation starts, also
// once the program that started the helper has returned or died.
constexpr char kInstallationMarker[] = "install_driver_internal";

class busy_marker {
public:
    explicit busy_marker(const char* function);
    // USBDRV_OK when this call may go on; USBDRV_ERR_BUSY while another call holds the name,
    // USBDRV_ERR_RESOURCE when the marker cannot be made.
    usbdrv_result state() const { return state_; }

    // Whether a call of `function` holds its marker anywhere on the machine now. Only looks: a
    // call that starts meanwhile is not turned away.
    static bool held(const char* function);

    // Holds the marker of `function` as long as the handle lives, whether or not it exists
    // already: for a process that works on behalf of a call (the installer helper for the
    // installation), so that the marker outlives the call while the work goes on. Empty when
    // the marker can be neither made nor opened.
    static unique_mutex hold(const char* function);

private:
    unique_mutex mutex_;
    usbdrv_result state_ = USBDRV_ERR_RESOURCE;
};

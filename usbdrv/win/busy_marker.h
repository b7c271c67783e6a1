// The machine-wide busy marker of one library call: a named mutex "Global\<function>" that exists
// while the call runs. A second call anywhere fails at once instead of waiting. Closing the
// handle ends the marker; the mutex is a marker, not a lock, so it is never released with
// ReleaseMutex.
#pragma once

#include "handles.h"
#include "usbdrv/usbdrv.h"

class busy_marker {
public:
    explicit busy_marker(const char* function);
    // USBDRV_OK when this call may go on; USBDRV_ERR_BUSY while another call holds the name,
    // USBDRV_ERR_RESOURCE when the marker cannot be made.
    usbdrv_result state() const {
        if (!mutex_)
            return USBDRV_ERR_RESOURCE;
        return already_running_ ? USBDRV_ERR_BUSY : USBDRV_OK;
    }

    // Whether a call of `function` holds its marker anywhere on the machine now. Only looks: a
    // call that starts meanwhile is not turned away.
    static bool held(const char* function);

private:
    unique_mutex mutex_;
    bool already_running_ = false;
};

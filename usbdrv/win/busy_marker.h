// The machine-wide busy marker of one library call: a named mutex "Global\<marker>" that exists
// while the call runs. A second call anywhere fails at once instead of waiting. Closing the
// handle ends the marker; the mutex is a marker, not a lock, so it is never released with
// ReleaseMutex.
#pragma once

#include <cstdint>
#include <cstdio>

#include "usbdrv/usbdrv.h"
#include "win/handles.h"

// The markers' names. Peer programs look for them, so they stay as they are. Each is a name of
// its own, not the log label of the function that takes it, though the texts are the same.
constexpr char kListingMarker[] = "usbdrv_create_list";
constexpr char kListDestructionMarker[] = "usbdrv_destroy_list";
constexpr char kPreparationMarker[] = "usbdrv_prepare_driver";
// The marker of an installation. The host takes it for its call, and the installer helper holds
// it for its whole run: while either works, no other installation or preparation starts, also
// once the program that started the helper has returned or died.
constexpr char kInstallationMarker[] = "install_driver_internal";

// The mutex's name for a marker: "Global\<marker>", machine-wide.
struct busy_marker_name {
    char text[64];
    explicit busy_marker_name(const char* marker) {
        snprintf(text, sizeof text, "Global\\%s", marker);
    }
};

class busy_marker {
public:
    explicit busy_marker(const char* marker);
    // USBDRV_OK when this call may go on; USBDRV_ERR_BUSY while another call holds the name,
    // USBDRV_ERR_RESOURCE when the marker cannot be made.
    usbdrv_result state() const { return state_; }

    // Whether a call holds `marker` anywhere on the machine now. Only looks: a call that starts
    // meanwhile is not turned away.
    static bool held(const char* marker);

    // Holds `marker` as long as the handle lives, whether or not it exists already: for a
    // process that works on behalf of a call (the installer helper for the installation), so
    // that the marker outlives the call while the work goes on. Empty when the marker can be
    // neither made nor opened; `error` then gets the system's error, read at the failing call.
    static unique_mutex hold(const char* marker, uint32_t* error = nullptr);

private:
    unique_mutex mutex_;
    usbdrv_result state_ = USBDRV_ERR_RESOURCE;
};

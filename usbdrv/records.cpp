// Result texts, driver kind names, and the pinned layout of the public records.
#include "records.h"

#include <cstddef>
#include <cstdio>

const char* const driver_display_names[USBDRV_DRIVER_TYPE_COUNT] = {
    "WinUSB", "libusb0.sys", "libusbK.sys", "Generic USB CDC", "user driver"};

namespace {

struct result_text {
    usbdrv_result code;
    const char* text;
};

constexpr result_text kResultTexts[] = {
    {USBDRV_OK, "Success"},
    {USBDRV_ERR_IO, "Input/Output error"},
    {USBDRV_ERR_INVALID_PARAM, "Invalid parameter"},
    {USBDRV_ERR_ACCESS, "Access denied"},
    {USBDRV_ERR_NO_DEVICE, "No such device"},
    {USBDRV_ERR_NOT_FOUND, "Requested resource not found"},
    {USBDRV_ERR_BUSY, "Requested resource busy or similar call already in progress"},
    {USBDRV_ERR_TIMEOUT, "Operation timed out"},
    {USBDRV_ERR_OVERFLOW, "Overflow"},
    {USBDRV_ERR_PENDING_INSTALLATION, "Another installation is detected pending"},
    {USBDRV_ERR_INTERRUPTED, "System call interrupted"},
    {USBDRV_ERR_RESOURCE, "Could not allocate resource"},
    {USBDRV_ERR_NOT_SUPPORTED, "Operation not supported or not implemented"},
    {USBDRV_ERR_EXISTS, "Resource already exists"},
    {USBDRV_ERR_USER_CANCEL, "Cancelled by user"},
    {USBDRV_ERR_NEEDS_ADMIN, "Unable to run process with required administrative privileges"},
    {USBDRV_ERR_WOW64, "Attempted to use a 32 bit installer on a 64 bit machine"},
    {USBDRV_ERR_INF_SYNTAX, "The syntax of the inf is invalid"},
    {USBDRV_ERR_CAT_MISSING, "Unable to locate cat file"},
    {USBDRV_ERR_UNSIGNED, "System policy has been modified to reject unsigned drivers"},
    {USBDRV_ERR_OTHER, "Other error"},
};

// Holds the text of the last unlisted code; 37 bytes fit "Unknown Error: " and any int32.
char unknown_error_text[37];

}  // namespace

const char* usbdrv_strerror(usbdrv_result code) {
    for (const result_text& row : kResultTexts) {
        if (row.code == code)
            return row.text;
    }
    snprintf(unknown_error_text, sizeof unknown_error_text, "Unknown Error: %d", (int)code);
    unknown_error_text[sizeof unknown_error_text - 1] = '\0';
    return unknown_error_text;
}

// The records cross the library's boundary in the 32-bit build with exactly these offsets and
// sizes: field order and widths are fixed, alignment is the platform's.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(usbdrv_device_entry, next) == 0);
static_assert(offsetof(usbdrv_device_entry, vid) == 4);
static_assert(offsetof(usbdrv_device_entry, pid) == 6);
static_assert(offsetof(usbdrv_device_entry, is_interface) == 8);
static_assert(offsetof(usbdrv_device_entry, interface_number) == 12);
static_assert(offsetof(usbdrv_device_entry, description) == 16);
static_assert(offsetof(usbdrv_device_entry, driver_name) == 20);
static_assert(offsetof(usbdrv_device_entry, device_id) == 24);
static_assert(offsetof(usbdrv_device_entry, hardware_id) == 28);
static_assert(offsetof(usbdrv_device_entry, compatible_id) == 32);
static_assert(offsetof(usbdrv_device_entry, upper_filter) == 36);
static_assert(offsetof(usbdrv_device_entry, driver_version) == 40);
static_assert(sizeof(usbdrv_device_entry) == 48);

static_assert(offsetof(usbdrv_list_options, include_with_driver) == 0);
static_assert(offsetof(usbdrv_list_options, include_hubs) == 4);
static_assert(offsetof(usbdrv_list_options, trim_trailing_space) == 8);
static_assert(sizeof(usbdrv_list_options) == 12);

static_assert(offsetof(usbdrv_prepare_options, driver_type) == 0);
static_assert(offsetof(usbdrv_prepare_options, manufacturer_name) == 4);
static_assert(offsetof(usbdrv_prepare_options, interface_guid) == 8);
static_assert(offsetof(usbdrv_prepare_options, no_catalog) == 12);
static_assert(offsetof(usbdrv_prepare_options, no_signing) == 16);
static_assert(offsetof(usbdrv_prepare_options, signer_subject) == 20);
static_assert(offsetof(usbdrv_prepare_options, match_compatible_id) == 24);
static_assert(sizeof(usbdrv_prepare_options) == 28);

static_assert(offsetof(usbdrv_install_options, progress_owner) == 0);
static_assert(offsetof(usbdrv_install_options, use_filter_installer) == 4);
static_assert(offsetof(usbdrv_install_options, pending_wait_ms) == 8);
static_assert(sizeof(usbdrv_install_options) == 12);
#endif

// Enumerations and results are 32-bit signed everywhere.
static_assert(sizeof(usbdrv_result) == 4 && sizeof(enum usbdrv_driver_type) == 4);
static_assert(sizeof(enum usbdrv_result_code) == 4);

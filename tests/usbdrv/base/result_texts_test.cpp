#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "driver_kinds.h"
#include "usbdrv/usbdrv.h"

namespace {

TEST(Strerror, ListedCodesHaveTheirMessages) {
    struct row {
        usbdrv_result code;
        const char* text;
    };
    const row rows[] = {
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
    for (const row& r : rows)
        EXPECT_STREQ(usbdrv_strerror(r.code), r.text) << r.code;
}

TEST(Strerror, UnlistedCodesAreFormattedIntoOneSharedBuffer) {
    const struct {
        usbdrv_result code;
        const char* text;
    } rows[] = {
        {-20, "Unknown Error: -20"},
        {1, "Unknown Error: 1"},
        {-98, "Unknown Error: -98"},
        {INT_MIN, "Unknown Error: -2147483648"},
        {INT_MAX, "Unknown Error: 2147483647"},
    };
    for (const auto& r : rows)
        EXPECT_STREQ(usbdrv_strerror(r.code), r.text);

    const char* first = usbdrv_strerror(-20);
    const char* second = usbdrv_strerror(-21);
    EXPECT_EQ(first, second);  // the next unlisted code overwrites the text
    EXPECT_STREQ(first, "Unknown Error: -21");
    // A listed code does not touch the buffer.
    usbdrv_strerror(USBDRV_ERR_BUSY);
    EXPECT_STREQ(first, "Unknown Error: -21");
}

TEST(DriverKinds, DisplayNamesFollowTheValues) {
    EXPECT_STREQ(driver_display_names[USBDRV_DRIVER_WINUSB], "WinUSB");
    EXPECT_STREQ(driver_display_names[USBDRV_DRIVER_LIBUSB0], "libusb0.sys");
    EXPECT_STREQ(driver_display_names[USBDRV_DRIVER_LIBUSBK], "libusbK.sys");
    EXPECT_STREQ(driver_display_names[USBDRV_DRIVER_CDC], "Generic USB CDC");
    EXPECT_STREQ(driver_display_names[USBDRV_DRIVER_USER], "user driver");
}

}  // namespace

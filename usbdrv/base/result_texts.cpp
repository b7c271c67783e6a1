// The message of each result code.
#include "base/result_texts.h"

#include <cstdio>

const result_text kResultTexts[] = {
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
const size_t kResultTextCount = sizeof kResultTexts / sizeof kResultTexts[0];

namespace {

char unknown_error_text[kUnknownErrorTextSize];

}  // namespace

const char* usbdrv_strerror(usbdrv_result code) {
    for (const result_text& row : kResultTexts) {
        if (row.code == code)
            return row.text;
    }
    snprintf(unknown_error_text, sizeof unknown_error_text, kUnknownErrorFormat, (int)code);
    unknown_error_text[sizeof unknown_error_text - 1] = '\0';
    return unknown_error_text;
}

#include "base/install_errors.h"

#include <cstdio>

namespace {

constexpr char kInfSyntax[] = "the syntax of the inf is invalid";
constexpr char kUpdateServiceDisabled[] =
    "the \"Windows Update\" service is disabled. Please enable that service.";
constexpr char kCancelled[] = "operation cancelled by the user";

}  // namespace

const install_error_row kInstallErrorRows[] = {
    {2, USBDRV_ERR_NOT_FOUND, {"the system can not find the file specified (%s)"}},
    {5, USBDRV_ERR_NEEDS_ADMIN, {"this process needs to be run with administrative privileges"}},
    {13, USBDRV_ERR_INF_SYNTAX, {kInfSyntax}},
    {87, USBDRV_ERR_INVALID_PARAM, {"invalid path or hardware ID (%s)"}},
    {183, USBDRV_ERR_EXISTS, {"driver already exists"}},
    {259, USBDRV_ERR_EXISTS, {"more recent driver was found (force option required)"}},
    {1058, USBDRV_ERR_OTHER, {kUpdateServiceDisabled}},
    {3010, USBDRV_OK, {"the driver was installed successfully, but a reboot is required."}},
    {0x240006, USBDRV_OK, {"the driver is already installed"}},
    {0x8024002E, USBDRV_ERR_OTHER, {kUpdateServiceDisabled}},
    {0xE0000003, USBDRV_ERR_INF_SYNTAX, {kInfSyntax}},
    {0xE0000100, USBDRV_ERR_INF_SYNTAX, {kInfSyntax}},
    {0xE0000203,
     USBDRV_ERR_NOT_SUPPORTED,
     {"the driver is not compatible with this version of Windows"}},
    {0xE000020B,
     USBDRV_OK,
     {"device not detected (copying driver files for next time device is plugged in)"}},
    {0xE0000217, USBDRV_ERR_INF_SYNTAX, {"a section of the inf has a problem"}},
    {0xE000022F,
     USBDRV_ERR_UNSIGNED,
     {"your system policy has been modified from Windows defaults, and",
      "is set to reject unsigned drivers. You must revert the driver",
      "installation policy to default if you want to install this driver.",
      "see " USBDRV_SIGNING_POLICY_LINK}},
    {0xE0000235, USBDRV_ERR_WOW64, {"attempted to use a 32 bit installer on a 64 bit machine"}},
    {0xE000023F, USBDRV_ERR_USER_CANCEL, {kCancelled}},
    {0xE0000243, USBDRV_ERR_USER_CANCEL, {kCancelled}},
    {0xE0000247, USBDRV_ERR_USER_CANCEL, {kCancelled}},
    {0xE000024B, USBDRV_ERR_NOT_FOUND, {"unable to locate the file hashes in cat file"}},
    {0xE0000304, USBDRV_ERR_CAT_MISSING, {"unable to locate cat file"}},
};
const size_t kInstallErrorRowCount = sizeof kInstallErrorRows / sizeof kInstallErrorRows[0];

namespace {

// The path goes in as text, never as a format: a path may hold a '%'.
std::string with_path(const char* line, const char* inf_path) {
    std::string text = line;
    size_t at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, inf_path ? inf_path : "");
    return text;
}

}  // namespace

install_error describe_install_error(uint32_t code, const char* inf_path) {
    for (size_t i = 0; i < kInstallErrorRowCount; i++) {
        const install_error_row& row = kInstallErrorRows[i];
        if (row.code != code)
            continue;
        install_error error = {row.result, {}, false};
        for (const char* line : row.lines) {
            if (line)
                error.lines.push_back(with_path(line, inf_path));
        }
        return error;
    }
    char line[64];
    snprintf(line, sizeof line, "unhandled error 0x%X (%d)", static_cast<unsigned>(code),
             static_cast<int>(code));
    return {USBDRV_ERR_OTHER, {line}, true};
}

uint32_t install_error_lookup_code(uint32_t code) {
    const uint32_t top_three = code & 0xE0000000u;
    if (top_three == 0)
        return code == 0 ? 0 : (code & 0xFFFFu) | 0x80070000u;
    if (top_three == 0xE0000000u)
        return (code & 0xFFFFu) | 0x800F0000u;
    return code;
}

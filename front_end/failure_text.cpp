#include "failure_text.h"

#include <cstdio>
#include <cstring>

#include "identifiers.h"
#include "package_folder.h"

namespace {

// What a user can do about a result, or empty when the result itself says all there is.
std::string next_step(const failure_facts& f) {
    switch (f.result) {
        case USBDRV_ERR_BUSY:
            if (f.installation_running) {
                return "Another driver installation is running on this computer (from this "
                       "program, another one, or an installer helper still finishing one): wait "
                       "until it has ended, then try again.";
            }
            return "Another program is listing the devices or preparing a driver package: wait "
                   "a moment, then try again.";
        case USBDRV_ERR_NEEDS_ADMIN:
            return "The installer helper needs administrator rights: accept the elevation prompt "
                   "when Windows shows it, then try again.";
        case USBDRV_ERR_USER_CANCEL:
            return "The installation was cancelled: nothing was changed on the device.";
        case USBDRV_ERR_UNSIGNED:
            return "Windows refused the driver: its driver installation policy (set by an "
                   "administrator or a group policy) rejects drivers it cannot verify. The setup "
                   "log " +
                   f.setup_log +
                   " says what refused it; the policy must be set back to the Windows default "
                   "to install this driver.";
        case USBDRV_ERR_TIMEOUT:
            return "The installation goes on without this program: the device list shows its "
                   "outcome once it has ended.";
        case USBDRV_ERR_PENDING_INSTALLATION:
            return "Windows is still installing another device: wait until it has finished, "
                   "then try again.";
        case USBDRV_ERR_NO_DEVICE:
            return "Connect the device, then try again.";
        case USBDRV_ERR_ACCESS:
        case USBDRV_ERR_IO:
        case USBDRV_ERR_NOT_FOUND:
        case USBDRV_ERR_OVERFLOW:
            if (f.step == failure_step::preparation) {
                return "The driver package could not be written into " + f.folder +
                       ": check that its drive and folders exist and can be written.";
            }
            return "";
        default:
            return "";
    }
}

}  // namespace

std::string setup_log_in(const std::string& windows_folder) {
    return folder_below(windows_folder.empty() ? "C:\\Windows" : windows_folder.c_str(),
                        "INF\\setupapi.dev.log");
}

std::string windows_error_text(uint32_t code) {
    char text[16];
    if (code <= 0xFFFF)
        snprintf(text, sizeof text, "%u", static_cast<unsigned>(code));
    else
        snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

std::string failure_text(const failure_facts& f) {
    std::string text = f.library_text ? f.library_text : "";
    text += " (library error " + std::to_string(f.result);
    if (f.windows_error)
        text += ", Windows error " + windows_error_text(f.windows_error);
    text += ").";
    std::string step = next_step(f);
    if (!step.empty())
        text += " " + step;
    if (!f.detail.empty())
        text += " " + f.detail;
    return text;
}

namespace {

// The hexadecimal number at `text` of 1 to 8 digits ended by `end`; false when there is none.
bool read_hex(const char* text, size_t min_digits, size_t max_digits, char end, uint32_t& value) {
    uint32_t v = 0;
    size_t digits = 0;
    for (; digits < max_digits && hex_digit_value(text[digits]) >= 0; digits++)
        v = v << 4 | static_cast<uint32_t>(hex_digit_value(text[digits]));
    if (digits < min_digits || text[digits] != end)
        return false;
    value = v;
    return true;
}

constexpr char kHelperUnhandled[] = "[installer process] unhandled error 0x";
constexpr char kSystemErrorText[] = "[#";

}  // namespace

void failure_watch::reset() {
    std::lock_guard<std::mutex> hold(lock_);
    helper_seen_ = library_seen_ = false;
    helper_code_ = library_code_ = 0;
}

void failure_watch::take(int32_t level, const char* line) {
    if (!line)
        return;
    std::lock_guard<std::mutex> hold(lock_);
    if (const char* at = strstr(line, kHelperUnhandled)) {
        uint32_t code = 0;
        // The helper's last word is the one its status goes with.
        if (read_hex(at + strlen(kHelperUnhandled), 1, 8, ' ', code) && code) {
            helper_code_ = code;
            helper_seen_ = true;
        }
        return;
    }
    if (level < USBDRV_LOG_ERROR || library_seen_)
        return;
    // The first failing call is the cause; the lines after it are its consequences.
    for (const char* at = strstr(line, kSystemErrorText); at;
         at = strstr(at + 1, kSystemErrorText)) {
        uint32_t code = 0;
        if (read_hex(at + strlen(kSystemErrorText), 8, 8, ']', code) && code) {
            library_code_ = code;
            library_seen_ = true;
            return;
        }
    }
}

uint32_t failure_watch::windows_error() const {
    std::lock_guard<std::mutex> hold(lock_);
    return helper_seen_ ? helper_code_ : library_code_;
}

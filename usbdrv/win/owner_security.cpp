#include "owner_security.h"

#include <sddl.h>

#include <cstdlib>

#include "log.h"
#include "windows_error.h"

PSID get_sid() {
    static const char* const kCaller = "get_sid";
    unique_token token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "OpenProcessToken failed: %s", windows_error_str(0));
        return nullptr;
    }

    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size))
        return nullptr;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "GetTokenInformation (pre) failed: %s",
                   windows_error_str(0));
        return nullptr;
    }
    unique_malloc<TOKEN_USER> user(static_cast<TOKEN_USER*>(calloc(size, 1)));
    if (!user)
        return nullptr;
    if (!GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "GetTokenInformation (real) failed: %s",
                   windows_error_str(0));
        return nullptr;
    }

    // The round trip through the text form gives a copy that LocalFree releases.
    char* text = nullptr;
    if (!ConvertSidToStringSidA(user->User.Sid, &text)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "unable to convert SID to string: %s",
                   windows_error_str(0));
        return nullptr;
    }
    unique_local<char> text_owner(text);
    PSID copy = nullptr;
    if (!ConvertStringSidToSidA(text, &copy)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "unable to convert string back to SID: %s",
                   windows_error_str(0));
        return nullptr;
    }
    return copy;
}

owner_security::owner_security(const char* caller) : sid_(get_sid()) {
    if (!sid_ || !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor_, sid_.get(), FALSE)) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "could not set security descriptor: %s",
                   windows_error_str(0));
        return;
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    ready_ = true;
}

#include "win/owner_security.h"

#include <sddl.h>

#include <cstdlib>

#include "base/log.h"
#include "win/windows_error.h"

namespace {

const char* const kSidCaller = "get_sid";

// The steps of get_sid; each failure is logged with the error of its own call, which `error`
// receives too.
PSID copy_token_user(uint32_t& error) {
    unique_token token;
    if (!imports.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kSidCaller, error, "OpenProcessToken failed: %s");
        return nullptr;
    }

    DWORD size = 0;
    if (imports.GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size)) {
        error = ERROR_INVALID_DATA;  // a token without a user
        return nullptr;
    }
    error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kSidCaller, error,
                         "GetTokenInformation (pre) failed: %s");
        return nullptr;
    }
    unique_malloc<TOKEN_USER> user(static_cast<TOKEN_USER*>(calloc(size, 1)));
    if (!user) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (!imports.GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)) {
        error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kSidCaller, error,
                         "GetTokenInformation (real) failed: %s");
        return nullptr;
    }

    // The round trip through the text form gives a copy that LocalFree releases.
    unique_local<char> text;
    char* written = nullptr;
    if (!imports.ConvertSidToStringSidA(user->User.Sid, &written)) {
        error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kSidCaller, error,
                         "unable to convert SID to string: %s");
        return nullptr;
    }
    text.reset(written);
    PSID copy = nullptr;
    if (!imports.ConvertStringSidToSidA(text.get(), &copy)) {
        error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kSidCaller, error,
                         "unable to convert string back to SID: %s");
        return nullptr;
    }
    error = ERROR_SUCCESS;
    return copy;
}

}  // namespace

PSID get_sid(uint32_t* error) {
    uint32_t own = ERROR_SUCCESS;
    PSID sid = copy_token_user(own);
    if (error)
        *error = own;
    return sid;
}

void owner_security::build() {
    tried_ = true;
    const char* const caller = caller_;
    // One message for the three steps, each with the error of its own call.
    const char* const kFailed = "could not set security descriptor: %s";
    uint32_t error = ERROR_SUCCESS;
    sid_.reset(get_sid(&error));
    if (!sid_) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller, error, kFailed);
        return;
    }
    if (!imports.InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller, GetLastError(), kFailed);
        return;
    }
    if (!imports.SetSecurityDescriptorOwner(&descriptor_, sid_.get(), FALSE)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller, GetLastError(), kFailed);
        return;
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    ready_ = true;
}

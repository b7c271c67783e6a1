// The current user's SID, and security attributes that make that user the owner of what the
// library creates. The program runs elevated, where the default owner would be the
// Administrators group; the user must be able to manage the package they asked for.
#pragma once

#include <windows.h>

#include <cstdint>

#include "win/handles.h"

// A copy of the current user's SID for LocalFree, or null (failures are logged under "get_sid").
// `error`, when given, receives the error of the call that failed (ERROR_SUCCESS with a SID).
PSID get_sid(uint32_t* error = nullptr);

// A security descriptor whose only setting is its owner, the current user. It is built at the
// first call of attributes(), so that a caller that creates nothing does not look the user up,
// and one object serves any number of creations (an extraction makes 20 files). When it cannot
// be built the failure is logged once under caller, with the error of the step that failed, and
// attributes() is null: the objects are then created with default security.
class owner_security {
public:
    explicit owner_security(const char* caller) : caller_(caller) {}
    owner_security(const owner_security&) = delete;
    owner_security& operator=(const owner_security&) = delete;

    SECURITY_ATTRIBUTES* attributes() {
        if (!tried_)
            build();
        return ready_ ? &attributes_ : nullptr;
    }

private:
    void build();

    const char* caller_;
    bool tried_ = false;
    unique_local<void> sid_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ready_ = false;
};

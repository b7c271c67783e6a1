// Owners of the simulation DLLs' own handles where the library's owners release through its
// run-time lookups: these DLLs are part of the simulated system and link none of the library.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "usbdrv/kit.h"

namespace sim {

struct provider_traits {
    static HCRYPTPROV invalid() { return 0; }
    static bool absent(HCRYPTPROV p) { return p == 0; }
    static void close(HCRYPTPROV p) { CryptReleaseContext(p, 0); }
};
using unique_provider = unique_resource<HCRYPTPROV, provider_traits>;

}  // namespace sim

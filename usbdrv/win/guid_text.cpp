#include "win/guid_text.h"

#include <cstdio>

namespace {
char guid_text[40];
}

const char* guid_to_string(GUID guid) {
    snprintf(guid_text, sizeof guid_text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned)guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
             guid.Data4[7]);
    return guid_text;
}

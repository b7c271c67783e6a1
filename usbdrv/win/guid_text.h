// The registry form of a GUID: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case digits.
#pragma once

#include <guiddef.h>

// The text stays valid until the next call.
const char* guid_to_string(GUID guid);

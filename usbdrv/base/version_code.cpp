#include "base/version_code.h"

int windows_version_code(bool is_nt, unsigned major, unsigned minor, version_verifier verify,
                         void* context) {
    if (!is_nt)
        return -1;

    // Windows 8.1 and later report 6.2 unless the program declares them; ask the verifier,
    // which is not bound by that, for the real numbers.
    bool maybe_understated = major > 6 || (major == 6 && minor >= 2);
    if (maybe_understated && major <= 9 && verify) {
        for (unsigned m = major; m <= 9; m++) {
            if (!verify(context, VERSION_FIELD_MAJOR, m))
                continue;
            if (m > major) {
                major = m;
                minor = 0;
            }
            for (unsigned n = minor; n <= 9; n++) {
                if (verify(context, VERSION_FIELD_MINOR, n)) {
                    minor = n;
                    break;
                }
            }
            break;
        }
    }

    if (major > 15 || minor > 15)
        return -1;
    int code = (int)(major * 16 + minor);
    return code < 0x51 ? 0 : code;
}

// What the installer helper says and reports when one of its two install calls (the driver update
// and the INF copy) fails: the Windows error code's log lines and the result it maps to. Portable,
// so that the table is checked natively; the helper adds the system's own text for a code the
// table does not list (install_error_text, usbdrv/win/windows_error.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usbdrv/usbdrv.h"

// Microsoft's article on the driver signing policy, named in the unsigned-driver message.
#define USBDRV_SIGNING_POLICY_LINK                                  \
    "https://learn.microsoft.com/windows-hardware/drivers/install/" \
    "kernel-mode-code-signing-policy--windows-vista-and-later-"

// A code the helper has words of its own for: its result and up to four lines, "%s" in a line
// standing for the INF path.
struct install_error_row {
    uint32_t code;
    usbdrv_result result;
    const char* lines[4];
};
// The table, in its order.
extern const install_error_row kInstallErrorRows[];
extern const size_t kInstallErrorRowCount;

struct install_error {
    usbdrv_result result;
    // The log lines, in order, the INF path put in where a line names it.
    std::vector<std::string> lines;
    // The code is not in the table: the caller adds the system's text for it as a further line.
    bool unlisted;
};

// The lines and the result for `code`. The results 0 (reboot required, already installed, device
// not present) are not failures: the caller goes on with the INF copy or the flagging of removed
// devices.
install_error describe_install_error(uint32_t code, const char* inf_path);

// The code as an HRESULT for the system's message lookup: a Windows error (top three bits clear)
// in the Win32 facility, a setup error (top three bits set) in the setup facility, 0 and any
// other code unchanged.
uint32_t install_error_lookup_code(uint32_t code);

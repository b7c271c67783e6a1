// What both programs tell a user when a command fails: the library's text for the result, the
// codes behind it (the library's result and, when it is known, the Windows error that caused it)
// and, where there is one, what to do next. The log keeps the whole story; this is the line or
// box a user reads first. No Windows call.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "usbdrv/usbdrv.h"

// Which call failed.
enum class failure_step { preparation, installation };

struct failure_facts {
    failure_step step = failure_step::installation;
    usbdrv_result result = USBDRV_ERR_OTHER;
    const char* library_text = "";  // usbdrv_strerror(result)
    uint32_t windows_error = 0;     // the Windows error behind it; 0 when not known
    // Busy: whether what runs is an installation (usbdrv_installation_running), else a listing
    // or a preparation.
    bool installation_running = false;
    std::string folder;     // the package folder (UTF-8)
    std::string setup_log;  // the system's setup log, where a refused driver is explained
    // Where the detail is, as a sentence of its own ("The log file ... has the detail."), or
    // empty.
    std::string detail;
};

// "<library text> (library error <r>[, Windows error <code>]). <next step> <detail>"
std::string failure_text(const failure_facts& facts);

// The setup log Windows writes its device installations into, in the Windows folder (WINDIR;
// empty: C:\Windows), which says why it refused a driver.
std::string setup_log_in(const std::string& windows_folder);

// A Windows error as support looks it up: decimal up to 0xFFFF (the system's own errors), else
// eight hexadecimal digits (HRESULTs and the setup services' errors, 0xE000022F).
std::string windows_error_text(uint32_t code);

// Finds the Windows error behind a failure in the lines the library logs while a command runs:
// the installer helper's "unhandled error 0x<code> (<code>)" for an error it has no result of
// its own for (relayed as "[installer process] ..."), else the first error line with a system
// error text ("[#<eight hex digits>] ..."). The library's results do not carry the code; its
// lines do. Lines come from the installation host's thread too, hence the lock.
class failure_watch {
public:
    void reset();
    // One line as the library's log sink gets it.
    void take(int32_t level, const char* line);
    // 0 when none was seen.
    uint32_t windows_error() const;

private:
    mutable std::mutex lock_;
    uint32_t helper_code_ = 0;
    bool helper_seen_ = false;
    uint32_t library_code_ = 0;
    bool library_seen_ = false;
};

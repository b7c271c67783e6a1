// The console program's command line: what it asks for, read from its arguments, and the usage
// text. No Windows call, so it is built and tested natively.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class command { none, list, install, extract, stage, status, uninstall, certificates };

// How much of the library's log reaches standard error.
enum class verbosity { normal, quiet, verbose };

struct request {
    command what = command::none;
    bool help = false;
    bool version = false;  // --version: the program's version, nothing else
    verbosity level = verbosity::normal;
    std::string log_file;  // empty: no log file

    // list
    bool all = false;
    // list, install and status: JSON for scripts in place of the lines for people
    bool json = false;

    // install, extract, stage, status and uninstall: the device, by identifiers or by
    // instance ID
    bool has_ids = false;  // --vid and --pid, both or neither
    uint16_t vid = 0;
    uint16_t pid = 0;
    bool has_interface = false;
    uint8_t interface_number = 0;
    std::string instance_id;
    // --instance may name a device that is not a CDC serial interface (a composite device's
    // parent, a data interface, another class): install on it all the same.
    bool any_device = false;
    std::string description;  // empty: the device's own, or the placeholder
    unsigned wait_seconds = 0;
    // install: prepare and install even where the device is served by the same package already
    bool force = false;

    // certificates: remove them, not only list them
    bool remove = false;

    // extract
    std::string folder;
};

struct parse_result {
    request req;
    std::string error;  // one line; empty when the arguments were understood
    // The arguments in UTF-8 (empty when one is not valid UTF-16).
    std::vector<std::string> args;
};

// args are the arguments after the program's name, in UTF-8.
parse_result parse_arguments(const std::vector<std::string>& args);
// The same from the arguments as the system hands them over (UTF-16). An argument that is not
// valid UTF-16 (a lone surrogate) is refused with its position, never converted with U+FFFD:
// that would name another folder, device or text than the one given.
parse_result parse_utf16_arguments(const std::vector<std::u16string>& args);

// The usage text with examples, ending in a line feed.
const char* usage_text();

// The longest wait --wait accepts: a day.
constexpr unsigned kMaxWaitSeconds = 86400;

}  // namespace cli

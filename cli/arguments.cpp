#include "arguments.h"

#include <cstring>
#include <initializer_list>
#include <utility>

#include "device_rules.h"
#include "identifiers.h"
#include "utf16_text.h"

namespace cli {

namespace {

bool read_seconds(const std::string& text, unsigned& value) {
    if (text.empty() || text.size() > 6)
        return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > kMaxWaitSeconds)
        return false;
    value = v;
    return true;
}

const char* const kCommandNames =
    "list, install, extract, stage, status, uninstall or certificates";

bool is_help(const std::string& arg) {
    return arg == "--help" || arg == "-h" || arg == "/?";
}

// Walks the arguments, knowing which options were given already.
class parser {
public:
    explicit parser(const std::vector<std::string>& args) : args_(args) {}

    parse_result run() {
        // Help wherever it stands, even after a mistake: whoever asks gets the usage.
        for (const std::string& arg : args_) {
            if (is_help(arg)) {
                result_.req.help = true;
                return result_;
            }
        }
        // The same for the version, unless help was asked for too.
        for (const std::string& arg : args_) {
            if (arg == "--version") {
                result_.req.version = true;
                return result_;
            }
        }
        while (at_ < args_.size() && result_.error.empty())
            take(args_[at_++]);
        if (result_.error.empty() && !result_.req.help)
            check_complete();
        return result_;
    }

private:
    void fail(const std::string& message) {
        if (result_.error.empty())
            result_.error = message;
    }

    // Each option once: a second one is a mistake more often than a wish to override.
    bool first_time(const std::string& option) {
        for (const std::string& seen : seen_) {
            if (seen == option) {
                fail("option " + option + " given twice");
                return false;
            }
        }
        seen_.push_back(option);
        return true;
    }

    bool value_of(const std::string& option, std::string& value) {
        if (at_ >= args_.size()) {
            fail("option " + option + " needs a value");
            return false;
        }
        value = args_[at_++];
        return true;
    }

    // The value of an option that belongs to some commands and is given once.
    bool value_for(const std::string& option, std::initializer_list<command> commands,
                   std::string& value) {
        return allowed_for(option, commands) && first_time(option) && value_of(option, value);
    }

    bool allowed_for(const std::string& option, std::initializer_list<command> commands) {
        for (command c : commands) {
            if (result_.req.what == c)
                return true;
        }
        if (result_.req.what == command::none)
            fail("option " + option + " comes after a command (" + kCommandNames + ")");
        else
            fail("option " + option + " does not belong to this command");
        return false;
    }

    void take(const std::string& arg) {
        request& r = result_.req;
        if (arg == "--quiet" || arg == "--verbose") {
            if (!first_time(arg))
                return;
            verbosity wanted = arg == "--quiet" ? verbosity::quiet : verbosity::verbose;
            if (r.level != verbosity::normal && r.level != wanted)
                return fail("--quiet and --verbose exclude each other");
            r.level = wanted;
            return;
        }
        if (arg == "--log") {
            std::string value;
            if (first_time(arg) && value_of(arg, value)) {
                if (value.empty())
                    return fail("--log needs a file name");
                r.log_file = value;
            }
            return;
        }
        if (arg.size() > 1 && arg[0] == '-')
            return take_command_option(arg);
        take_word(arg);
    }

    void take_word(const std::string& arg) {
        request& r = result_.req;
        if (r.what == command::none) {
            static const std::pair<const char*, command> kCommands[] = {
                {"list", command::list},
                {"install", command::install},
                {"extract", command::extract},
                {"stage", command::stage},
                {"status", command::status},
                {"uninstall", command::uninstall},
                {"certificates", command::certificates},
            };
            for (const auto& [name, what] : kCommands) {
                if (arg == name) {
                    r.what = what;
                    return;
                }
            }
            fail("unknown command '" + arg + "'");
            return;
        }
        if (r.what == command::extract && r.folder.empty() && !arg.empty()) {
            r.folder = arg;
            return;
        }
        fail("unexpected argument '" + arg + "'");
    }

    void take_command_option(const std::string& arg) {
        request& r = result_.req;
        if (arg == "--any-device") {
            if (allowed_for(arg, {command::install}) && first_time(arg))
                r.any_device = true;
            return;
        }
        // Switches: each belongs to some commands and is given once.
        const struct {
            const char* name;
            std::initializer_list<command> commands;
            bool request::*field;
        } switches[] = {
            {"--all", {command::list}, &request::all},
            {"--json", {command::list, command::install, command::status}, &request::json},
            {"--force", {command::install}, &request::force},
            {"--remove", {command::certificates}, &request::remove},
        };
        for (const auto& s : switches) {
            if (arg == s.name) {
                if (allowed_for(arg, s.commands) && first_time(arg))
                    r.*s.field = true;
                return;
            }
        }
        std::string value;
        const std::initializer_list<command> by_ids = {command::install, command::extract,
                                                       command::stage, command::status,
                                                       command::uninstall};
        if (arg == "--vid" || arg == "--pid") {
            if (!value_for(arg, by_ids, value))
                return;
            std::optional<uint16_t> number = parse_hex4(value);
            if (!number)
                return fail(arg.substr(2) + " must be 4 hex characters, not '" + value + "'");
            (arg == "--vid" ? r.vid : r.pid) = *number;
            return;
        }
        if (arg == "--mi") {
            if (!value_for(arg, by_ids, value))
                return;
            std::optional<uint8_t> number = parse_interface_number(value);
            if (!number)
                return fail("--mi must be 1 or 2 hex characters, not '" + value + "'");
            r.has_interface = true;
            r.interface_number = *number;
            return;
        }
        if (arg == "--instance") {
            if (!value_for(arg, {command::install, command::status, command::uninstall}, value))
                return;
            if (value.empty())
                return fail("--instance needs a device instance ID");
            r.instance_id = value;
            return;
        }
        if (arg == "--description") {
            if (!value_for(arg, {command::install, command::extract, command::stage}, value))
                return;
            if (value.empty())
                return fail("--description needs a text");
            // Refused here, before anything is listed or written, rather than by the
            // preparation after the listing and a --wait.
            if (!description_fits_inf(value)) {
                return fail("--description is " + std::to_string(inf_description_bytes(value)) +
                            " bytes in the INF (UTF-8, each double quote counted twice); it holds "
                            "at most " +
                            std::to_string(USBDRV_DESCRIPTION_MAX));
            }
            r.description = value;
            return;
        }
        if (arg == "--wait") {
            if (!value_for(arg, {command::install}, value))
                return;
            if (!read_seconds(value, r.wait_seconds))
                return fail("--wait takes whole seconds from 0 to 86400, not '" + value + "'");
            return;
        }
        fail("unknown option '" + arg + "'");
    }

    bool seen(const char* option) const {
        for (const std::string& s : seen_) {
            if (s == option)
                return true;
        }
        return false;
    }

    void check_complete() {
        request& r = result_.req;
        if (r.what == command::none)
            return fail(std::string("no command given (") + kCommandNames + ")");
        if (seen("--vid") != seen("--pid"))
            return fail("--vid and --pid go together");
        r.has_ids = seen("--vid");
        if (r.has_interface && !r.has_ids)
            return fail("--mi needs --vid and --pid");
        // The commands that act on devices name them one way or the other.
        static const std::pair<command, const char*> kDeviceCommands[] = {
            {command::install, "install"},
            {command::status, "status"},
            {command::uninstall, "uninstall"},
        };
        for (const auto& [what, name] : kDeviceCommands) {
            if (r.what == what && r.has_ids == !r.instance_id.empty())
                return fail(std::string(name) + " needs either --vid and --pid or --instance");
        }
        // A package is staged for a hardware ID, before any device of it is there.
        if (r.what == command::stage && !r.has_ids)
            return fail("stage needs --vid and --pid");
        if (r.what == command::install) {
            // By identifiers only CDC serial interfaces are chosen from: there is nothing to
            // widen.
            if (r.any_device && r.instance_id.empty())
                return fail("--any-device goes with --instance");
        }
        if (r.what == command::extract && r.folder.empty())
            return fail("extract needs a folder");
    }

    const std::vector<std::string>& args_;
    size_t at_ = 0;
    std::vector<std::string> seen_;
    parse_result result_;
};

}  // namespace

parse_result parse_arguments(const std::vector<std::string>& args) {
    parse_result result = parser(args).run();
    result.args = args;
    return result;
}

parse_result parse_utf16_arguments(const std::vector<std::u16string>& args) {
    std::vector<std::string> utf8;
    for (size_t i = 0; i < args.size(); i++) {
        utf16_conversion text = utf8_from_utf16(args[i]);
        if (!text.valid()) {
            parse_result refused;
            refused.error =
                "argument " + std::to_string(i + 1) + " is not valid UTF-16: a lone surrogate " +
                code_unit_text(text.bad_unit) + " at position " + std::to_string(text.bad_at + 1);
            return refused;
        }
        utf8.push_back(std::move(text.utf8));
    }
    return parse_arguments(utf8);
}

namespace {

const char* const kUsageBefore =
    "Usage:\n"
    "  corvane-cli list [--all] [--json]\n"
    "  corvane-cli install (--vid VVVV --pid PPPP [--mi NN] | --instance ID [--any-device])\n"
    "                      [--description TEXT] [--wait SECONDS] [--force] [--json]\n"
    "  corvane-cli extract FOLDER [--vid VVVV --pid PPPP [--mi NN]] [--description TEXT]\n"
    "  corvane-cli stage --vid VVVV --pid PPPP [--mi NN] [--description TEXT]\n"
    "  corvane-cli status (--vid VVVV --pid PPPP [--mi NN] | --instance ID) [--json]\n"
    "  corvane-cli uninstall (--vid VVVV --pid PPPP [--mi NN] | --instance ID)\n"
    "  corvane-cli certificates [--remove]\n"
    "\n"
    "Commands:\n"
    "  list      the connected CDC serial interfaces (--all: every USB device);\n"
    "            --json writes them as a JSON array\n"
    "  install   prepares the driver package and installs it on every matching device\n"
    "            that its package does not serve yet (--force: on every one);\n"
    "            --wait waits up to SECONDS for a matching device to be plugged in;\n"
    "            --instance names a CDC serial interface, or with --any-device any USB\n"
    "            device; --json writes one JSON object per device\n"
    "  extract   writes the driver package into FOLDER (default device: ";

const char* const kUsageAfter =
    ")\n"
    "  stage     adds the driver package for the hardware ID to the driver store, for\n"
    "            boards that are plugged in later\n"
    "  status    whether every matching connected device is served by the serial\n"
    "            driver (--json: one JSON object per device)\n"
    "  uninstall removes the driver from the matching devices and deletes Corvane's\n"
    "            packages for them from the driver store (administrator)\n"
    "  certificates  lists Corvane's certificates in the machine's Root and\n"
    "            TrustedPublisher stores; --remove removes them (administrator)\n"
    "\n"
    "Options for every command:\n"
    "  --quiet     only errors on standard error\n"
    "  --verbose   the library's debug lines too\n"
    "  --log FILE  also write the log, with time stamps, to FILE (UTF-8), creating\n"
    "              its folders\n"
    "  --help      this text\n"
    "  --version   the program's version\n"
    "\n"
    "Exit codes: 0 success, 3010 success but a reboot is required, 1 failed, 2 bad\n"
    "arguments, 3 no matching device (also: the device was not connected, the\n"
    "driver was only stored for it), 5 preparation failed, 6 the log file cannot\n"
    "be written, 7 a matching device is not served (status), 740 administrator\n"
    "rights are needed, 1223 cancelled by the user, 1618 another installation is\n"
    "in progress (try again later).\n"
    "\n"
    "Examples:\n"
    "  corvane-cli list --json\n"
    "  corvane-cli install --vid C04A --pid 0C02 --mi 00\n"
    "  corvane-cli install --vid C04A --pid 0C02 --wait 60 --log install.log\n"
    "  corvane-cli install --instance \"USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000\"\n"
    "  corvane-cli extract C:\\drivers\\corvane\n"
    "  corvane-cli stage --vid C04A --pid 0C02 --mi 00\n"
    "  corvane-cli status --vid C04A --pid 0C02 --mi 00\n"
    "  corvane-cli uninstall --vid C04A --pid 0C02\n";

// The default device of `extract`: the placeholder the dialog shows too.
std::string default_device_text() {
    return "VID " + hex4_text(kPlaceholderVid) + ",\n            PID " +
           hex4_text(kPlaceholderPid) + ", interface " + std::to_string(kPlaceholderInterface) +
           ", \"" + kPlaceholderName + "\"";
}

}  // namespace

const char* usage_text() {
    static const std::string text = kUsageBefore + default_device_text() + kUsageAfter;
    return text.c_str();
}

}  // namespace cli

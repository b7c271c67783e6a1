// The console program's portable part: its command line, exit codes, lines and JSON. Which
// devices it lists and the log file's line are the front-end core's (tests/front_end/).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "arguments.h"
#include "device_rules.h"
#include "report.h"

namespace {

using cli::command;

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < line.size()) {
        size_t end = line.find(' ', at);
        if (end == std::string::npos)
            end = line.size();
        if (end > at)
            out.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

TEST(Arguments, Refused) {
    const struct {
        const char* line;
        const char* error;
    } rows[] = {
        {"", "no command given (list, install, extract, stage, status, uninstall or certificates)"},
        {"frobnicate", "unknown command 'frobnicate'"},
        {"--all",
         "option --all comes after a command (list, install, extract, stage, status, uninstall or "
         "certificates)"},
        {"list --vid C04A", "option --vid does not belong to this command"},
        {"list --json --json", "option --json given twice"},
        {"list extra", "unexpected argument 'extra'"},
        {"list --bogus", "unknown option '--bogus'"},
        {"install", "install needs either --vid and --pid or --instance"},
        {"install --vid C04A", "--vid and --pid go together"},
        {"install --pid 0C02", "--vid and --pid go together"},
        {"install --vid C04 --pid 0C02", "vid must be 4 hex characters, not 'C04'"},
        {"install --vid 0xC0 --pid 0C02", "vid must be 4 hex characters, not '0xC0'"},
        {"install --vid C04A --pid 0C02G", "pid must be 4 hex characters, not '0C02G'"},
        {"install --vid C04A --pid +C02", "pid must be 4 hex characters, not '+C02'"},
        {"install --vid C04A --pid", "option --pid needs a value"},
        {"install --vid C04A --pid 0C02 --mi 100", "--mi must be 1 or 2 hex characters, not '100'"},
        {"install --vid C04A --pid 0C02 --mi x", "--mi must be 1 or 2 hex characters, not 'x'"},
        {"install --mi 00 --instance X", "--mi needs --vid and --pid"},
        {"install --vid C04A --pid 0C02 --instance X",
         "install needs either --vid and --pid or --instance"},
        {"install --instance X --wait -1", "--wait takes whole seconds from 0 to 86400, not '-1'"},
        {"install --instance X --wait 86401",
         "--wait takes whole seconds from 0 to 86400, not '86401'"},
        {"install --instance X --wait 1.5",
         "--wait takes whole seconds from 0 to 86400, not '1.5'"},
        {"install --instance X --wait 99999999999",
         "--wait takes whole seconds from 0 to 86400, not '99999999999'"},
        {"install --instance X --all", "option --all does not belong to this command"},
        {"extract", "extract needs a folder"},
        {"extract a b", "unexpected argument 'b'"},
        {"extract a --wait 3", "option --wait does not belong to this command"},
        {"extract a --instance X", "option --instance does not belong to this command"},
        {"stage", "stage needs --vid and --pid"},
        {"stage --instance X", "option --instance does not belong to this command"},
        {"status", "status needs either --vid and --pid or --instance"},
        {"status --vid C04A --pid 0C02 --instance X",
         "status needs either --vid and --pid or --instance"},
        {"uninstall --mi 00", "--mi needs --vid and --pid"},
        {"uninstall --vid C04A --pid 0C02 --json", "option --json does not belong to this command"},
        {"certificates --vid C04A", "option --vid does not belong to this command"},
        {"install --vid C04A --pid 0C02 --remove",
         "option --remove does not belong to this command"},
        {"list --force", "option --force does not belong to this command"},
        {"install --vid C04A --pid 0C02 --force --force", "option --force given twice"},
        {"list --quiet --verbose", "--quiet and --verbose exclude each other"},
        {"list --quiet --quiet", "option --quiet given twice"},
        {"list --log", "option --log needs a value"},
    };
    for (const auto& r : rows) {
        cli::parse_result p = cli::parse_arguments(words(r.line));
        EXPECT_EQ(p.error, r.error) << r.line;
    }
}

TEST(Arguments, EmptyValuesAreRefused) {
    EXPECT_EQ(cli::parse_arguments({"install", "--instance", ""}).error,
              "--instance needs a device instance ID");
    EXPECT_EQ(cli::parse_arguments({"install", "--instance", "X", "--description", ""}).error,
              "--description needs a text");
    EXPECT_EQ(cli::parse_arguments({"list", "--log", ""}).error, "--log needs a file name");
}

TEST(Arguments, Understood) {
    cli::request r =
        cli::parse_arguments(words("--verbose install --vid c04a --pid 0C02 --mi 2 --wait 30 "
                                   "--log out.log --description Board"))
            .req;
    EXPECT_EQ(r.what, command::install);
    EXPECT_EQ(r.level, cli::verbosity::verbose);
    EXPECT_TRUE(r.has_ids);
    EXPECT_EQ(r.vid, 0xC04A);  // lower case reads as upper case
    EXPECT_EQ(r.pid, 0x0C02);
    EXPECT_TRUE(r.has_interface);
    EXPECT_EQ(r.interface_number, 2);
    EXPECT_EQ(r.wait_seconds, 30u);
    EXPECT_EQ(r.log_file, "out.log");
    EXPECT_EQ(r.description, "Board");

    r = cli::parse_arguments(words("list --all --json --quiet")).req;
    EXPECT_EQ(r.what, command::list);
    EXPECT_TRUE(r.all && r.json);
    EXPECT_EQ(r.level, cli::verbosity::quiet);

    r = cli::parse_arguments({"extract", "C:\\with space\\folder"}).req;
    EXPECT_EQ(r.what, command::extract);
    EXPECT_EQ(r.folder, "C:\\with space\\folder");
    EXPECT_FALSE(r.has_ids);

    cli::parse_result p = cli::parse_arguments(words("install --instance USB\\X --wait 0"));
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.req.instance_id, "USB\\X");

    // The commands of a driver's life on a machine.
    const struct {
        const char* line;
        command what;
        bool json, force, remove, has_ids, has_interface;
    } rows[] = {
        {"install --vid C04A --pid 0C02 --force --json", command::install, true, true, false, true,
         false},
        {"stage --vid C04A --pid 0C02 --mi 00", command::stage, false, false, false, true, true},
        {"status --instance USB\\X --json", command::status, true, false, false, false, false},
        {"uninstall --vid C04A --pid 0C02", command::uninstall, false, false, false, true, false},
        {"certificates --remove", command::certificates, false, false, true, false, false},
    };
    for (const auto& row : rows) {
        cli::parse_result parsed = cli::parse_arguments(words(row.line));
        EXPECT_EQ(parsed.error, "") << row.line;
        EXPECT_EQ(parsed.req.what, row.what) << row.line;
        EXPECT_EQ(parsed.req.json, row.json) << row.line;
        EXPECT_EQ(parsed.req.force, row.force) << row.line;
        EXPECT_EQ(parsed.req.remove, row.remove) << row.line;
        EXPECT_EQ(parsed.req.has_ids, row.has_ids) << row.line;
        EXPECT_EQ(parsed.req.has_interface, row.has_interface) << row.line;
    }
}

TEST(Arguments, HelpWinsWherever) {
    for (const char* line : {"--help", "list -h", "install --vid zz /?", "bogus --help"}) {
        cli::parse_result p = cli::parse_arguments(words(line));
        EXPECT_TRUE(p.req.help) << line;
    }
    std::string usage = cli::usage_text();
    EXPECT_NE(usage.find("Examples:"), std::string::npos);
    EXPECT_EQ(usage.back(), '\n');
}

// --version wherever it stands, even after a mistake; help, asked for too, wins.
TEST(Arguments, VersionWinsWhereverButBelowHelp) {
    const struct {
        const char* line;
        bool help, version;
    } rows[] = {
        {"--version", false, true},
        {"list --all --version", false, true},
        {"install --vid zz --version", false, true},
        {"bogus --version --log", false, true},
        {"--version --help", true, false},
        {"list --versions", false, false},
    };
    for (const auto& r : rows) {
        cli::parse_result p = cli::parse_arguments(words(r.line));
        EXPECT_EQ(p.req.help, r.help) << r.line;
        EXPECT_EQ(p.req.version, r.version) << r.line;
        if (r.help || r.version) {
            EXPECT_EQ(p.error, "") << r.line;
        }
    }
    EXPECT_NE(std::string(cli::usage_text()).find("--version"), std::string::npos);
}

// The arguments as the system hands them over: converted whole, or refused with the position of
// the first that is not valid UTF-16 (never with U+FFFD in its place).
TEST(Arguments, OneThatIsNotValidUtf16IsRefused) {
    const struct {
        std::vector<std::u16string> args;
        const char* error;
    } rows[] = {
        {{u"extract", u"out\xD800"},
         "argument 2 is not valid UTF-16: a lone surrogate U+D800 at position 4"},
        {{u"\xDC00list"}, "argument 1 is not valid UTF-16: a lone surrogate U+DC00 at position 1"},
        {{u"install", u"--instance", u"X", u"--description", u"Board \xDBFF"},
         "argument 5 is not valid UTF-16: a lone surrogate U+DBFF at position 7"},
        // Even beside --help, and before a mistake the parser would name.
        {{u"--help", u"\xDFFF"},
         "argument 2 is not valid UTF-16: a lone surrogate U+DFFF at position 1"},
        {{u"bogus", u"--log", u"\xD800\xD800\xDC00.log"},
         "argument 3 is not valid UTF-16: a lone surrogate U+D800 at position 1"},
    };
    for (const auto& r : rows) {
        cli::parse_result p = cli::parse_utf16_arguments(r.args);
        EXPECT_EQ(p.error, r.error);
        EXPECT_FALSE(p.req.help);
        EXPECT_TRUE(p.args.empty());
    }

    // Valid text arrives as typed, characters beyond the first 65,536 included.
    cli::parse_result p = cli::parse_utf16_arguments(
        {u"extract", u"C:\\驱动\\\xD83D\xDD0C", u"--description", u"串口 \"A\""});
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.req.folder, "C:\\驱动\\\xF0\x9F\x94\x8C");
    EXPECT_EQ(p.req.description, "串口 \"A\"");
    EXPECT_EQ(p.args.size(), 4u);
}

// Before anything is listed or prepared: a description the INF cannot hold whole.
TEST(Arguments, ADescriptionTheInfCannotHoldIsRefusedWithItsLimit) {
    const size_t max = USBDRV_DESCRIPTION_MAX;
    const std::string limit = "; it holds at most " + std::to_string(max);
    const struct {
        std::string description;
        std::string error;
    } rows[] = {
        {std::string(max, 'x'), ""},
        {std::string(max - 2, 'x') + "\"", ""},
        {std::string(max + 1, 'x'),
         "--description is 1024 bytes in the INF (UTF-8, each double quote counted twice)" + limit},
        {std::string(max - 1, 'x') + "\"",
         "--description is 1024 bytes in the INF (UTF-8, each double quote counted twice)" + limit},
        {std::string(30000, 'x'),
         "--description is 30000 bytes in the INF (UTF-8, each double quote counted twice)" +
             limit},
    };
    for (const char* command : {"install", "extract"}) {
        for (const auto& r : rows) {
            SCOPED_TRACE(std::string(command) + " " + std::to_string(r.description.size()));
            std::vector<std::string> args = {command, "--vid",         "C04A",       "--pid",
                                             "0C02",  "--description", r.description};
            if (std::string(command) == "extract")
                args.push_back("out");
            cli::parse_result p = cli::parse_arguments(args);
            EXPECT_EQ(p.error, r.error);
            EXPECT_EQ(p.req.description, r.error.empty() ? r.description : "");
        }
    }
}

TEST(ExitCodes, PerOutcome) {
    EXPECT_EQ(cli::exit_for_listing(USBDRV_OK), 0);
    EXPECT_EQ(cli::exit_for_listing(USBDRV_ERR_BUSY), 1618);
    EXPECT_EQ(cli::exit_for_listing(USBDRV_ERR_RESOURCE), 1);
    EXPECT_EQ(cli::exit_for_preparation(USBDRV_OK), 0);
    EXPECT_EQ(cli::exit_for_preparation(USBDRV_ERR_BUSY), 1618);
    EXPECT_EQ(cli::exit_for_preparation(USBDRV_ERR_ACCESS), 5);
    EXPECT_EQ(cli::exit_for_preparation(USBDRV_ERR_IO), 5);

    // Whether the node waits for a restart is the library's answer (usbdrv_get_device_state).
    const struct {
        usbdrv_result result;
        bool needs_restart;
        int code;
    } rows[] = {
        {USBDRV_OK, false, 0},
        {USBDRV_OK, true, 3010},
        {USBDRV_ERR_BUSY, false, 1618},
        {USBDRV_ERR_USER_CANCEL, false, 1223},
        {USBDRV_ERR_NO_DEVICE, false, 3},
        {USBDRV_ERR_OTHER, true, 1},
        {USBDRV_ERR_UNSIGNED, false, 1},
        {USBDRV_ERR_NEEDS_ADMIN, false, 1},
    };
    for (const auto& r : rows)
        EXPECT_EQ(cli::exit_for_installation(r.result, r.needs_restart), r.code) << r.result;
}

TEST(ExitCodes, TheWorseOutcomeWins) {
    // From worst to best; each beats every later one, from either side.
    const int order[] = {2, 740, 1, 5, 1618, 1223, 7, 3, 6, 3010, 0};
    for (size_t i = 0; i < std::size(order); i++) {
        EXPECT_EQ(cli::worse_exit(order[i], order[i]), order[i]);
        for (size_t k = i + 1; k < std::size(order); k++) {
            EXPECT_EQ(cli::worse_exit(order[i], order[k]), order[i]) << order[i] << " " << order[k];
            EXPECT_EQ(cli::worse_exit(order[k], order[i]), order[i]) << order[k] << " " << order[i];
        }
    }
}

usbdrv_device_entry entry(const char* id, const char* compatible, int is_interface, uint8_t mi) {
    usbdrv_device_entry e = {};
    e.vid = 0xC04A;
    e.pid = 0x0C02;
    e.is_interface = is_interface;
    e.interface_number = mi;
    e.device_id = const_cast<char*>(id);
    e.compatible_id = const_cast<char*>(compatible);
    return e;
}

TEST(Selection, TargetsByIdentifiersOrInstance) {
    cli::device_view mi2 = cli::view_of(entry("USB\\VID_C04A&PID_0C02&MI_02\\7&1", "", 1, 2));
    cli::device_view whole = cli::view_of(entry("USB\\VID_C04A&PID_0C02\\SER", "", 0, 0));
    const struct {
        const char* line;
        bool mi2, whole;
    } rows[] = {
        {"install --vid C04A --pid 0C02", true, true},
        {"install --vid C04A --pid 0C02 --mi 02", true, false},
        {"install --vid C04A --pid 0C02 --mi 0", false, false},
        {"install --vid C04B --pid 0C02", false, false},
        {"install --vid C04A --pid 0C03", false, false},
        {"install --instance usb\\vid_c04a&pid_0c02&mi_02\\7&1", true, false},
        {"install --instance USB\\VID_C04A&PID_0C02&MI_02\\7&", false, false},
    };
    for (const auto& r : rows) {
        cli::parse_result p = cli::parse_arguments(words(r.line));
        ASSERT_EQ(p.error, "") << r.line;
        EXPECT_EQ(cli::targets(p.req, mi2), r.mi2) << r.line;
        EXPECT_EQ(cli::targets(p.req, whole), r.whole) << r.line;
    }
}

TEST(Report, VersionsAndLines) {
    EXPECT_EQ(cli::version_text(0), "");
    EXPECT_EQ(cli::version_text(0x000A00004A610001ull), "10.0.19041.1");
    EXPECT_EQ(cli::version_text(0xFFFFFFFFFFFFFFFFull), "65535.65535.65535.65535");

    cli::device_view d;
    d.vid = 0xC04A;
    d.pid = 0x0C02;
    d.is_interface = true;
    d.interface_number = 2;
    d.instance_id = "USB\\VID_C04A&PID_0C02&MI_02\\7&1";
    d.description = "Corvane Serial B";
    EXPECT_EQ(cli::device_line(d),
              "C04A 0C02 02 - - - USB\\VID_C04A&PID_0C02&MI_02\\7&1 "
              "Corvane Serial B\n");
    d.driver = "usbser";
    d.version = "10.0.19041.1";
    d.port = "COM7";
    d.is_interface = false;
    EXPECT_EQ(cli::device_line(d),
              "C04A 0C02 -- usbser 10.0.19041.1 COM7 "
              "USB\\VID_C04A&PID_0C02&MI_02\\7&1 Corvane Serial B\n");
    EXPECT_EQ(words(cli::device_heads()).size(), 8u);
}

TEST(Report, JsonStrings) {
    const struct {
        std::string text;
        const char* json;
    } rows[] = {
        {"", "\"\""},
        {"USB\\VID_C04A&PID_0C02", "\"USB\\\\VID_C04A&PID_0C02\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},
        {"串口 é", "\"串口 é\""},
        {"\xF0\x9F\x94\x8C", "\"\xF0\x9F\x94\x8C\""},              // four bytes
        {"\xFF", "\"\\ufffd\""},                                   // never a lead byte
        {"\xC3", "\"\\ufffd\""},                                   // cut short at the end
        {"\xC3x", "\"\\ufffdx\""},                                 // continuation missing
        {"\xC0\xAF", "\"\\ufffd\\ufffd\""},                        // overlong
        {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},             // a surrogate
        {"\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
    };
    for (const auto& r : rows)
        EXPECT_EQ(cli::json_string(r.text), r.json) << r.text;
}

TEST(Report, JsonArray) {
    EXPECT_EQ(cli::devices_json({}), "[]\n");
    cli::device_view a;
    a.vid = 0xC04A;
    a.pid = 0x0C02;
    a.is_interface = true;
    a.interface_number = 0;
    a.instance_id = "I\\1";
    cli::device_view b = a;
    b.is_interface = false;
    b.description = "B";
    b.driver = "usbser";
    b.version = "1.2.3.4";
    b.port = "COM3";
    EXPECT_EQ(
        cli::devices_json({a, b}),
        "[\n"
        "  {\"vid\": \"C04A\", \"pid\": \"0C02\", \"interface\": 0, \"instance_id\": \"I\\\\1\"},\n"
        "  {\"vid\": \"C04A\", \"pid\": \"0C02\", \"instance_id\": \"I\\\\1\", "
        "\"description\": \"B\", \"driver\": \"usbser\", \"driver_version\": \"1.2.3.4\", "
        "\"port\": \"COM3\"}\n"
        "]\n");
}

// The lines a script reads, as the README's factory step reads them: the instance ID before
// ": ", the COM port between the parentheses.
TEST(Report, InstallationLines) {
    const std::string id = "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000";
    const struct {
        std::string line;
        std::string expected;
    } rows[] = {
        {cli::installed_line(id, "COM3", false), id + ": installed (COM3)\n"},
        {cli::installed_line(id, "COM12", true),
         id + ": installed (COM12), a reboot is required\n"},
        {cli::installed_line(id, "", false), id + ": installed\n"},
        {cli::stored_line(id), id + ": not connected - driver stored for when it is plugged in\n"},
        {cli::installation_failed_line(id, "Access denied"),
         id + ": installation failed: Access denied\n"},
        {cli::preparation_failed_line(id, "Access denied"),
         id + ": preparation failed: Access denied\n"},
        {cli::waiting_line(120), "Waiting up to 120 s for a matching device...\n"},
        {cli::extracted_line("C:\\drivers"), "The driver was extracted to C:\\drivers\n"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.line, r.expected);
}

// Why an installation has no package folder, in the words of its line on standard error: the
// variable it comes from and, for one too long, by how much.
TEST(Report, FolderErrors) {
    package_folder too_long;
    too_long.outcome = package_folder::too_long;
    too_long.path_bytes = 1035;
    package_folder temp_too_long = too_long;
    temp_too_long.from_fallback = true;
    package_folder not_text;
    not_text.outcome = package_folder::not_text;
    not_text.bad_at = 4;
    not_text.bad_unit = 0xD800;
    package_folder relative;
    relative.outcome = package_folder::not_full_path;
    package_folder none;
    none.outcome = package_folder::not_set;
    none.from_fallback = true;
    const struct {
        package_folder folder;
        std::string error;
    } rows[] = {
        {too_long,
         "the folder USERPROFILE names is too long for the driver package: with \\usb_driver its "
         "path is 1035 bytes of UTF-8, 776 over the limit of 259"},
        {temp_too_long,
         "the folder TEMP names is too long for the driver package: with \\usb_driver its path "
         "is 1035 bytes of UTF-8, 776 over the limit of 259"},
        {not_text, "USERPROFILE is not valid UTF-16: a lone surrogate U+D800 at position 5"},
        {relative,
         "USERPROFILE is not a full path: the driver package would land below the current "
         "directory"},
        {none, "neither USERPROFILE nor TEMP names a folder for the driver package"},
        {package_folder{}, ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(cli::folder_error(r.folder), r.error);
}

// The log file's first line: the run's arguments on one line, each readable as given.
TEST(Report, StartLine) {
    const struct {
        std::vector<std::string> args;
        std::string line;
    } rows[] = {
        {{"install", "--vid", "C04A", "--pid", "0C02", "--log", "C:\\f\\c.log"},
         "corvane-cli: started: install --vid C04A --pid 0C02 --log C:\\f\\c.log"},
        {{"extract", "C:\\with space", "--description", ""},
         "corvane-cli: started: extract \"C:\\with space\" --description \"\""},
        {{"extract", "out", "--description", "say \"hi\""},
         "corvane-cli: started: extract out --description \"say \\\"hi\\\"\""},
        // A line break or an escape sequence would forge a line or drive a terminal.
        {{"extract", "out", "--description",
          "x\r\n2026-12-10 07:41:43.123 usbdrv:info [x] installed OK\x1B[2J"},
         "corvane-cli: started: extract out --description \"x\\x0D\\x0A2026-12-10 07:41:43.123 "
         "usbdrv:info [x] installed OK\\x1B[2J\""},
        {{"list", "串口"}, "corvane-cli: started: list 串口"},
        {{}, "corvane-cli: started:"},
    };
    for (const auto& r : rows) {
        std::string line = cli::start_line(r.args);
        EXPECT_EQ(line, r.line);
        for (char c : line)
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << "a control character in " << line;
    }
}

TEST(Report, LogFailures) {
    const struct {
        bool opening;
        unsigned long error;
        const char* line;
    } rows[] = {
        {false, 112,
         "the log file 'S:\\c.log' cannot be written: the disk is full (Windows error 112)"},
        {false, 39,
         "the log file 'S:\\c.log' cannot be written: the disk is full (Windows error 39)"},
        // Its folders are made: what is missing then is the drive or the share.
        {true, 3,
         "the log file 'S:\\c.log' cannot be opened: its drive or share does not exist (Windows "
         "error 3)"},
        {true, 267,
         "the log file 'S:\\c.log' cannot be opened: a part of its path is a file, not a folder "
         "(Windows error 267)"},
        {true, 5, "the log file 'S:\\c.log' cannot be opened: access is denied (Windows error 5)"},
        {true, 1234,
         "the log file 'S:\\c.log' cannot be opened: the system refused (Windows error 1234)"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(cli::log_failure("S:\\c.log", r.opening, r.error), r.line);
}

// Why --instance refuses a device: the device, the reason of its kind, and the way round it.
TEST(Report, NotCdcRefusals) {
    const std::string id = "USB\\VID_C04A&PID_0C02&MI_01\\7&2F1C3A5&0&0001";
    const struct {
        cdc_check why;
        const char* compatible_id;
        const char* reason;
    } rows[] = {
        {cdc_check::not_an_interface, "USB\\COMPOSITE", "a whole USB device"},
        {cdc_check::data_interface, "USB\\Class_0A", "a CDC data interface (class 0A)"},
        {cdc_check::other_class, "USB\\Class_08&SubClass_06",
         "its first compatible ID is USB\\Class_08&SubClass_06, not of the CDC class"},
        {cdc_check::other_class, nullptr, "it reports no compatible ID"},
        {cdc_check::other_class, "", "it reports no compatible ID"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reason);
        std::string line = cli::not_cdc_refusal(id, r.why, r.compatible_id);
        EXPECT_EQ(line.rfind(id + " is not a CDC serial interface: ", 0), 0u) << line;
        EXPECT_NE(line.find(r.reason), std::string::npos) << line;
        EXPECT_NE(line.find("give --any-device"), std::string::npos) << line;
    }
    EXPECT_EQ(cli::not_cdc_refusal(id, cdc_check::cdc, "USB\\Class_02"), "");
}

}  // namespace

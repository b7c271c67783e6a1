// corvane-cli.exe end to end on the simulated machine: the real program as a child process, with
// its standard output and error kept apart, its exit code, and what it left on disk.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "device_rules.h"
#include "report.h"
#include "simulated_machine.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/handles.h"

namespace {

using namespace cli_test;
namespace fs = std::filesystem;

TEST_F(Cli, BadArgumentsGetOneLineAndTheUsageAndChangeNothing) {
    test::simulated_machine machine(shipped("one-board.scn"));
    ASSERT_NE(usage().find("Usage:"), std::string::npos);
    const std::wstring longest(USBDRV_DESCRIPTION_MAX, L'd');
    const struct {
        std::wstring arguments;
        std::string error;
    } rows[] = {
        // Not valid UTF-16: refused, never used with U+FFFD in place of the lone surrogate (which
        // would name another folder), wherever it stands and even beside --help.
        {L"extract out\xD800 --log cli.log",
         "argument 2 is not valid UTF-16: a lone surrogate U+D800 at position 4"},
        {L"install --vid C04A --pid 0C02 --description \"Board \xDC00\" --log cli.log",
         "argument 7 is not valid UTF-16: a lone surrogate U+DC00 at position 7"},
        {L"--help extract \xDBFF\xDBFF\xDC00",
         "argument 3 is not valid UTF-16: a lone surrogate U+DBFF at position 1"},
        // A description the INF cannot hold whole, refused before the listing.
        {L"install --vid C04A --pid 0C02 --log cli.log --description " + longest + L"d",
         description_refused(USBDRV_DESCRIPTION_MAX + 1)},
        {L"install --vid C04A --pid 0C02 --description \"" + longest.substr(1) + L"\\\"\"",
         description_refused(USBDRV_DESCRIPTION_MAX + 1)},
        {L"extract out --log cli.log --description " + std::wstring(30000, L'd'),
         description_refused(30000)},
        {L"",
         "no command given (list, install, extract, stage, status, uninstall or certificates)"},
        {L"remove", "unknown command 'remove'"},
        {L"install --vid C04A --pid 0C2 --log cli.log", "pid must be 4 hex characters, not '0C2'"},
        {L"install --vid C04A --pid 0C02 --instance X --log cli.log",
         "install needs either --vid and --pid or --instance"},
        {L"install --vid C04A --pid 0C02 --wait soon",
         "--wait takes whole seconds from 0 to 86400, not 'soon'"},
        {L"extract", "extract needs a folder"},
        {L"extract out extra", "unexpected argument 'extra'"},
        {L"list --json --log", "option --log needs a value"},
        {L"list --quiet --verbose", "--quiet and --verbose exclude each other"},
        {L"install --vid C04A --pid 0C02 --description \"\"", "--description needs a text"},
        {L"install --vid C04A --pid 0C02 --any-device", "--any-device goes with --instance"},
        {L"list --any-device", "option --any-device does not belong to this command"},
    };
    for (const auto& r : rows) {
        // The arguments as far as they are ASCII: some are no text the trace could convert.
        std::string shown;
        for (wchar_t c : r.arguments.substr(0, 80))
            shown += c < 0x80 ? static_cast<char>(c) : '?';
        SCOPED_TRACE("arguments: " + shown);
        run_result result = run(r.arguments);
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, cli::kErrorPrefix + r.error + "\n" + usage());
        EXPECT_TRUE(fs::is_empty(work())) << "nothing is written, not even the log";
        EXPECT_FALSE(fs::exists(package())) << "nothing is prepared";
    }
}

// An environment variable for the programs started in a scope, then as it was.
class scoped_variable {
public:
    scoped_variable(const wchar_t* name, const wchar_t* value) : name_(name) {
        DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
        if (length) {
            saved_.resize(length);
            was_set_ = GetEnvironmentVariableW(name, &saved_[0], length) == length - 1;
            saved_.resize(length - 1);
        }
        SetEnvironmentVariableW(name, value);
    }
    ~scoped_variable() {
        SetEnvironmentVariableW(name_.c_str(), was_set_ ? saved_.c_str() : nullptr);
    }

private:
    std::wstring name_;
    std::wstring saved_;
    bool was_set_ = false;
};

// Every file and folder below a folder, relative to it.
std::vector<std::string> contents_of(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.push_back(test::utf8(fs::relative(entry.path(), folder)));
    return names;
}

// A profile that is set names the package's folder or the run is refused: never the fallback.
// The refusal comes before the listing (so before a --wait: no "Waiting" line) and nothing is
// written anywhere.
TEST_F(Cli, AProfileThatNamesNoUsableFolderIsRefusedBeforeTheListing) {
    test::simulated_machine machine(shipped("no-device.scn"));
    fs::path temp = root_.path() / "temp";
    fs::create_directories(temp);
    scoped_variable temp_variable(L"TEMP", temp.c_str());
    const std::wstring with_surrogate = profile().wstring() + L"\\\xD800";
    auto too_long = [](size_t length) {
        package_folder folder;
        folder.outcome = package_folder::too_long;
        folder.path_bytes = length + 1 + std::string(kPackageFolderName).size();
        return folder;
    };
    package_folder relative;
    relative.outcome = package_folder::not_full_path;
    package_folder not_text;
    not_text.outcome = package_folder::not_text;
    not_text.bad_at = with_surrogate.size() - 1;
    not_text.bad_unit = 0xD800;
    const struct {
        std::wstring profile;
        package_folder refused;
    } rows[] = {
        {L"C:\\" + std::wstring(246, L'p'), too_long(249)},  // just too long for the folder
        {L"C:\\" + std::wstring(1021, L'p'), too_long(1024)},
        {L"C:\\" + std::wstring(4997, L'p'), too_long(5000)},
        {L"profile", relative},
        {with_surrogate, not_text},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.profile.size() << " characters");
        scoped_variable profile_variable(L"USERPROFILE", r.profile.c_str());
        run_result result = run(L"install --vid C04A --pid 0C02 --wait 30");
        EXPECT_EQ(result.exit_code, 5u);
        EXPECT_EQ(result.out, "") << "no waiting";
        EXPECT_EQ(result.err, cli::kErrorPrefix + cli::folder_error(r.refused) + "\n");
        EXPECT_EQ(contents_of(temp), std::vector<std::string>{}) << "nothing in TEMP";
        EXPECT_EQ(contents_of(root_.path() / "work"), std::vector<std::string>{});
        EXPECT_EQ(contents_of(profile()), std::vector<std::string>{});
    }
}

// Only a profile that is not set at all is replaced by TEMP (a service's account may have none).
TEST_F(Cli, WithoutAProfileThePackageGoesToTemp) {
    test::simulated_machine machine(shipped("one-board.scn"));
    fs::path temp = root_.path() / "temp";
    fs::create_directories(temp);
    scoped_variable temp_variable(L"TEMP", temp.c_str());
    scoped_variable profile_variable(L"USERPROFILE", nullptr);
    run_result r = run(L"install --vid C04A --pid 0C02 --mi 00");
    EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    EXPECT_TRUE(fs::is_regular_file(temp / kPackageFolderName / kInfName));
}

// A log that cannot be opened ends the run at once with its own exit code, before anything is
// listed or prepared; nothing is created on the way, not even the folders made for it.
TEST_F(Cli, ALogFileThatCannotBeOpenedEndsTheRunAtOnce) {
    test::simulated_machine machine(shipped("one-board.scn"));
    fs::create_directories(work() / "logs");
    std::ofstream(work() / "a-file") << "not a folder";
    // A drive letter the prefix does not map.
    std::wstring no_drive = L"Q:\\corvane\\logs\\cli.log";
    ASSERT_EQ(GetDriveTypeW(L"Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    const struct {
        std::wstring arguments;
        std::string path;
        unsigned long error;
    } rows[] = {
        {L"install --vid C04A --pid 0C02 --mi 00 --log a-file\\cli.log", "a-file\\cli.log",
         ERROR_DIRECTORY},
        {L"list --log new\\a-file\\..\\..\\a-file\\cli.log", "new\\a-file\\..\\..\\a-file\\cli.log",
         ERROR_DIRECTORY},
        {L"list --log " + no_drive, test::utf8(no_drive), ERROR_PATH_NOT_FOUND},
        {L"extract out --log logs", "logs", ERROR_ACCESS_DENIED},  // a folder, not a file
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(test::utf8(r.arguments));
        run_result result = run(r.arguments);
        EXPECT_EQ(result.exit_code, static_cast<DWORD>(cli::kExitLogFailed));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, cli::kErrorPrefix + cli::log_failure(r.path, true, r.error) + "\n");
        EXPECT_EQ(contents_of(work()), (std::vector<std::string>{"a-file", "logs"}));
        EXPECT_FALSE(fs::exists(package())) << "nothing is prepared";
    }
}

// A log in folders that do not exist yet (a factory machine's first run): every missing level is
// made. The file is the record of each board: the command line first, each device's line with
// its port, and the exit code last; the next run appends its own.
TEST_F(Cli, TheLogMakesItsFoldersAndRecordsEachRun) {
    test::simulated_machine machine(shipped("one-board.scn"));
    const std::wstring log = L"factory/line 1\\boards.log";
    run_result first = run(L"install --vid C04A --pid 0C02 --mi 00 --log \"" + log + L"\"");
    EXPECT_EQ(first.exit_code, 0u) << first.out << first.err;
    machine.set(shipped("one-board.scn") + "\n[install]\nupdate = 0xE000020B\n");
    run_result second = run(L"install --vid C04A --pid 0C02 --mi 02 --log \"" + log + L"\"");
    EXPECT_EQ(second.exit_code, 3u) << second.out << second.err;

    std::vector<std::string> own;  // the program's lines, time stamps left out
    for (const std::string& line :
         lines_of(read_file(work() / "factory" / "line 1" / "boards.log"))) {
        if (line.compare(24, std::strlen(cli::kErrorPrefix), cli::kErrorPrefix) == 0)
            own.push_back(line.substr(24));
    }
    const std::string logged = test::utf8(log);
    EXPECT_EQ(own, (std::vector<std::string>{
                       cli::start_line({"install", "--vid", "C04A", "--pid", "0C02", "--mi", "00",
                                        "--log", logged}),
                       cli::result_log_line(cli::installed_line(kSerialA, "COM3", false)),
                       cli::exit_log_line(0),
                       cli::start_line({"install", "--vid", "C04A", "--pid", "0C02", "--mi", "02",
                                        "--log", logged}),
                       cli::result_log_line(cli::stored_line(kSerialB)),
                       cli::exit_log_line(3),
                   }));
    EXPECT_EQ(cli::exit_log_line(3), std::string(cli::kErrorPrefix) + "exit code 3");
}

TEST_F(Cli, ListShowsTheCdcInterfacesOneLineEach) {
    test::simulated_machine machine(shipped("one-board.scn"));
    run_result r = run(L"list");
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], one_line(cli::device_heads()));
    EXPECT_EQ(lines[1],
              std::string("C04A 0C02 00 - - - ") + kSerialA + " Corvane Serial A (Interface 0)");
    EXPECT_EQ(lines[2],
              std::string("C04A 0C02 02 - - - ") + kSerialB + " Corvane Serial B (Interface 2)");
    EXPECT_EQ(r.err, "") << "a listing logs nothing at the normal level";

    run_result all = run(L"list --all");
    EXPECT_EQ(all.exit_code, 0u);
    EXPECT_EQ(lines_of(all.out).size(), 6u) << "the composite parent and all four interfaces\n"
                                            << all.out;
    EXPECT_NE(all.out.find("C04A 0C02 -- usbccgp 10.0.19041.1 - USB\\VID_C04A&PID_0C02\\CRV00001"),
              std::string::npos)
        << all.out;

    test::simulated_machine nothing(shipped("no-device.scn"));
    run_result none = run(L"list --json");
    EXPECT_EQ(none.exit_code, 0u);
    EXPECT_EQ(none.out, "[]\n");
}

TEST_F(Cli, ExtractWritesThePackageIntoTheFolder) {
    test::simulated_machine machine(shipped("no-device.scn"));
    run_result r = run(L"extract \"drivers\\cdc pkg\" --vid ab12 --pid 0C02 --mi 2");
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    fs::path folder = work() / "drivers" / "cdc pkg";
    EXPECT_EQ(r.out, cli::extracted_line(test::utf8(folder)));
    std::string inf = read_file(folder / kInfName);
    EXPECT_NE(inf.size(), 0u);
    // The INF is UTF-16: look for the hardware ID's letters one unit each.
    std::string id;
    for (char c : std::string("VID_AB12&PID_0C02&MI_02")) {
        id += c;
        id += '\0';
    }
    EXPECT_NE(inf.find(id), std::string::npos) << "the INF names the typed identifiers";
    for (const char* carried : {"installer_x64.exe", "installer_x86.exe", "amd64", "x86"})
        EXPECT_TRUE(fs::exists(folder / carried)) << carried;
    EXPECT_FALSE(fs::exists(package())) << "nothing installed";
}

// The folder as a user types it: forward slashes, relative, with "..". The library gets the
// system's form, the full path with backslashes, which the line names.
TEST_F(Cli, ExtractTakesTheFolderAsTyped) {
    test::simulated_machine machine(shipped("no-device.scn"));
    fs::create_directories(work() / "here");
    const struct {
        const wchar_t* folder;
        fs::path written;
    } rows[] = {
        {L"sub/dir", work() / "sub" / "dir"},
        {L"./a/b/../c/", work() / "a" / "c"},
        {L"..\\beside", root_.path() / "beside"},
        {L"here/../there", work() / "there"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(test::utf8(r.folder));
        run_result result = run(std::wstring(L"extract ") + r.folder);
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        // The full path as the system makes it, without a trailing separator.
        EXPECT_EQ(result.out, cli::extracted_line(test::utf8(r.written)));
        EXPECT_TRUE(fs::is_regular_file(r.written / kInfName)) << test::utf8(r.written);
    }
    EXPECT_FALSE(fs::exists(work() / "sub" / "dir" / "sub")) << "no folder named as typed";
}

// A folder on a drive that does not exist: the library's result with the Windows error behind it,
// and what to check.
TEST_F(Cli, ExtractToAFolderThatCannotBeMadeSaysWhy) {
    test::simulated_machine machine(shipped("no-device.scn"));
    ASSERT_EQ(GetDriveTypeW(L"Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    run_result r = run(L"extract Q:\\drivers\\corvane --log extract.log");
    EXPECT_EQ(r.exit_code, 5u);
    EXPECT_EQ(r.out, "");
    const std::string said = std::string(cli::kErrorPrefix) + "preparation failed: ";
    std::string line;
    for (const std::string& l : lines_of(r.err)) {
        if (l.compare(0, said.size(), said) == 0)
            line = l.substr(said.size());
    }
    EXPECT_TRUE(is_library_failure(line)) << r.err;
    for (const std::string& part :
         {std::string(", Windows error "), std::string("Q:\\drivers\\corvane"),
          std::string("drive and folders exist"),
          "The log file " + test::utf8(work()) + "\\extract.log"}) {
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    }
    EXPECT_EQ(lines_of(read_file(work() / "extract.log")).back().substr(24), cli::exit_log_line(5));
}

TEST_F(Cli, NoMatchingDevice) {
    test::simulated_machine machine(shipped("one-board.scn"));
    for (const wchar_t* arguments :
         {L"install --vid C04A --pid 0C03", L"install --vid C04A --pid 0C02 --mi 01",
          L"install --instance USB\\VID_C04A&PID_0C02&MI_00\\NOT-THERE"}) {
        SCOPED_TRACE(test::utf8(arguments));
        run_result r = run(arguments);
        EXPECT_EQ(r.exit_code, 3u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, no_matching_device());
        EXPECT_FALSE(fs::exists(package())) << "nothing prepared";
    }
}

// --instance names a device of its own choosing; unless --any-device widens it, it must be one
// `install` installs on by identifiers too, a CDC serial interface (the front-end core's rule).
// Otherwise the run says why and ends with "no matching device", having prepared nothing.
TEST_F(Cli, AnInstanceThatIsNoCdcSerialInterfaceIsRefusedWithoutAnyDevice) {
    const char* const parent = "USB\\VID_C04A&PID_0C02\\CRV00001";
    const char* const data = "USB\\VID_C04A&PID_0C02&MI_01\\7&2F1C3A5&0&0001";
    const char* const storage = "USB\\VID_C04A&PID_0D00&MI_00\\7&5E6F7A8&0&0000";
    const char* const storage_class = "USB\\Class_08&SubClass_06&Prot_50";
    test::simulated_machine machine(
        shipped("one-board.scn") +
        test::scenario_of({{storage,
                            "hardware_id = USB\\VID_C04A&PID_0D00&REV_0100&MI_00\n"
                            "compatible_id = " +
                                std::string(storage_class) + "\n"}}));
    const struct {
        const char* instance;
        cdc_check why;
        const char* compatible_id;
    } rows[] = {
        {parent, cdc_check::not_an_interface, "USB\\DevClass_00&SubClass_00&Prot_00"},
        {data, cdc_check::data_interface, "USB\\Class_0A&SubClass_00&Prot_00"},
        {storage, cdc_check::other_class, storage_class},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.instance);
        run_result result =
            run(L"install --wait 30 --instance " + test::from_utf8(r.instance).wstring());
        EXPECT_EQ(result.exit_code, 3u);
        EXPECT_LT(result.seconds, 20.0) << "the device is there: no waiting for another";
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, cli::kErrorPrefix +
                                  cli::not_cdc_refusal(r.instance, r.why, r.compatible_id) + "\n");
        EXPECT_FALSE(fs::exists(package())) << "nothing prepared";
    }
    // Widened, the serial driver goes where it is asked to.
    run_result widened = run(L"install --any-device --instance " + test::from_utf8(data).wstring());
    EXPECT_EQ(widened.exit_code, 0u) << widened.out << widened.err;
    EXPECT_EQ(widened.out, installed_line(data, "COM3") + "\n");
}

TEST_F(Cli, AWaitThatRunsOutIsNoMatchingDevice) {
    test::simulated_machine machine(shipped("no-device.scn"));
    run_result r = run(L"install --vid C04A --pid 0C02 --wait 1");
    EXPECT_EQ(r.exit_code, 3u);
    EXPECT_GE(r.seconds, 1.0);
    EXPECT_EQ(r.out, cli::waiting_line(1));
    EXPECT_EQ(r.err, no_matching_device());
}

// The line an installation prints for a device.
std::string line_for(const std::string& out, const std::string& instance) {
    for (const std::string& line : lines_of(out)) {
        if (line.compare(0, instance.size() + 2, instance + ": ") == 0)
            return line;
    }
    return "(no line for " + instance + ")";
}

// What follows ": " on that line.
std::string outcome_of(const std::string& out, const std::string& instance) {
    for (const std::string& line : lines_of(out)) {
        if (line.compare(0, instance.size() + 2, instance + ": ") == 0)
            return line.substr(instance.size() + 2);
    }
    return "(no line for " + instance + ")";
}

// The machine refuses the driver as unsigned: the whole chain runs, host and helper, and the
// library's text for the helper's result is printed.
TEST_F(Cli, AFailedInstallationPrintsTheLibrarysText) {
    test::simulated_machine machine(shipped("one-board.scn") + kUpdateUnsigned);
    fs::path log = work() / "install.log";
    run_result r = run(L"install --vid C04A --pid 0C02 --mi 00 --log install.log");
    EXPECT_EQ(r.exit_code, 1u) << r.out << r.err;
    EXPECT_TRUE(same_line(line_for(r.out, kSerialA), failed_line(kSerialA, USBDRV_ERR_UNSIGNED)))
        << r.out;
    // What refused it, where Windows says more, and where the run's log is.
    for (const std::string& part :
         {std::string("driver installation policy"), std::string("\\INF\\setupapi.dev.log"),
          "The log file " + test::utf8(log) + " has the detail."}) {
        EXPECT_NE(line_for(r.out, kSerialA).find(part), std::string::npos) << part;
    }
    EXPECT_EQ(line_for(r.out, kSerialB), "(no line for " + std::string(kSerialB) + ")");
    EXPECT_TRUE(fs::exists(package() / kInfName)) << "prepared in the profile's usb_driver";

    // The log file has every level with a time stamp, one CR LF line each (as the dialog's log);
    // standard error has info and above.
    const std::string file = read_file(log);
    for (size_t at = file.find('\n'); at != std::string::npos; at = file.find('\n', at + 1))
        ASSERT_TRUE(at > 0 && file[at - 1] == '\r') << "a line feed without its CR at " << at;
    std::vector<std::string> logged = lines_of(file);
    ASSERT_FALSE(logged.empty());
    // First the run's own line with its arguments, written before anything was done.
    EXPECT_TRUE(
        std::regex_match(logged[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} .*)")));
    EXPECT_EQ(logged[0].substr(24), cli::start_line({"install", "--vid", "C04A", "--pid", "0C02",
                                                     "--mi", "00", "--log", "install.log"}));
    logged.erase(logged.begin());
    // Last the exit code, after the device's line; each as the program's own line.
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged.back().substr(24), cli::exit_log_line(1));
    EXPECT_EQ(logged[logged.size() - 2].substr(24),
              cli::result_log_line(line_for(r.out, kSerialA)));
    logged.resize(logged.size() - 2);
    std::regex stamped(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} usbdrv:(debug|info|warning|error) \[.+\] .*)");
    bool debug = false;
    for (const std::string& line : logged) {
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
        debug |= line.find(" usbdrv:debug ") != std::string::npos;
    }
    EXPECT_TRUE(debug) << "the file keeps the debug lines";
    EXPECT_EQ(r.err.find("usbdrv:debug"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usbdrv:"), std::string::npos) << "the library's lines as they come";
}

TEST_F(Cli, QuietAndVerbose) {
    // A failing installation, which has the most to say.
    test::simulated_machine machine(shipped("one-board.scn") + kUpdateUnsigned);
    run_result quiet = run(L"--quiet install --instance " + test::from_utf8(kSerialA).wstring());
    new_profile();
    run_result verbose =
        run(L"install --verbose --instance " + test::from_utf8(kSerialA).wstring());
    EXPECT_EQ(quiet.exit_code, 1u);
    EXPECT_EQ(verbose.exit_code, 1u);
    for (const std::string& line : lines_of(quiet.err))
        EXPECT_NE(line.find(":error "), std::string::npos) << "quiet: errors only: " << line;
    EXPECT_NE(verbose.err.find("usbdrv:debug ["), std::string::npos) << verbose.err;
    EXPECT_EQ(quiet.out, verbose.out) << "the outcome lines do not depend on the log level";
}

TEST_F(Cli, BusyWhileAnotherInstallationOrPreparationRuns) {
    test::simulated_machine machine(shipped("one-board.scn"));
    for (const char* marker : {kInstallationMarker, kPreparationMarker}) {
        SCOPED_TRACE(marker);
        // Held the way a running call holds it: the mutex exists.
        unique_mutex held(CreateMutexA(nullptr, TRUE, busy_marker_name(marker).text));
        ASSERT_TRUE(held);
        run_result r = run(L"install --vid C04A --pid 0C02 --mi 0");
        EXPECT_EQ(r.exit_code, static_cast<DWORD>(cli::kExitBusy)) << r.out << r.err;
        std::string outcome = outcome_of(r.out, kSerialA);
        EXPECT_NE(outcome.find(usbdrv_strerror(USBDRV_ERR_BUSY)), std::string::npos) << outcome;
    }
}

TEST_F(Cli, APreparationThatCannotCreateItsFolderInstallsNothing) {
    test::simulated_machine machine(shipped("one-board.scn"));
    fs::path file = root_.path() / "a-file";
    std::ofstream(file) << "not a folder";
    SetEnvironmentVariableW(L"USERPROFILE", file.c_str());
    test::temp_dir journal_dir;
    fs::path journal = journal_dir.path() / "journal.txt";
    SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", journal.c_str());
    run_result r = run(L"install --vid C04A --pid 0C02");
    SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", nullptr);
    EXPECT_EQ(r.exit_code, 5u) << r.out << r.err;
    std::string line = line_for(r.out, kSerialA);
    const std::string failed = one_line(cli::preparation_failed_line(kSerialA, ""));
    ASSERT_EQ(line.compare(0, failed.size(), failed), 0) << line;
    EXPECT_TRUE(is_library_failure(line.substr(failed.size()))) << line;
    EXPECT_NE(line.find(test::utf8(file)), std::string::npos) << "names the folder: " << line;
    EXPECT_TRUE(test::journal_calls(journal, "CMP_WaitNoPendingInstallEvents").empty())
        << "the installation host never ran";
}

TEST_F(Cli, AWaitNoticesADevicePluggedInMeanwhile) {
    test::simulated_machine machine(shipped("no-device.scn"));
    cli_run child(L"install --vid C04A --pid 0C02 --mi 02 --wait 30", work());
    ASSERT_TRUE(child.started());
    const std::string waiting = cli::waiting_line(30);
    for (int i = 0; i < 200 && child.out_so_far().find(waiting) == std::string::npos; i++)
        Sleep(50);
    ASSERT_NE(child.out_so_far().find(waiting), std::string::npos);
    Sleep(300);  // a listing or two of the empty machine
    machine.set(shipped("one-board.scn"));
    run_result r = child.finish();
    EXPECT_LT(r.seconds, 25.0) << "it went on when the board appeared";
    EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    EXPECT_EQ(r.out, waiting + installed_line(kSerialB, "COM3") + "\n");
}

// Installations on the simulated machine through the real host and installer helper: what is
// printed per device and the exit code, and what `list` shows afterwards.
TEST_F(Cli, InstallationOutcomes) {
    const std::string board = shipped("one-board.scn");
    const struct {
        const char* what;
        std::string scenario;
        const wchar_t* arguments;
        DWORD exit_code;
        std::vector<std::string> lines;   // standard output, in order
        std::vector<std::string> listed;  // `list` afterwards, heads left out; unchecked if empty
        // The machine from the moment the first device's driver update has begun, if any.
        std::string then_scenario;
    } rows[] = {
        {"success: the COM port is printed",
         board,
         L"install --vid C04A --pid 0C02 --mi 00",
         0,
         {installed_line(kSerialA, "COM3")},
         {std::string("C04A 0C02 00 usbser 1.0.0.0 COM3 ") + kSerialA +
              " Corvane Serial A (Interface 0)",
          std::string("C04A 0C02 02 - - - ") + kSerialB + " Corvane Serial B (Interface 2)"},
         ""},
        {"success, the device waits for a restart",
         board + "\n[install]\nupdate = 3010\n",
         L"install --vid C04A --pid 0C02 --mi 00",
         3010,
         {installed_line(kSerialA, "COM3", true)},
         {},
         ""},
        {"two boards of one kind in one call: a line and a port each",
         two_boards(),
         L"install --vid C04A --pid 0C02 --mi 0",
         0,
         {installed_line(kSerialA, "COM3"), installed_line(kOtherSerialA, "COM4")},
         {std::string("C04A 0C02 00 usbser 1.0.0.0 COM3 ") + kSerialA +
              " Corvane Serial A (Interface 0)",
          std::string("C04A 0C02 02 - - - ") + kSerialB + " Corvane Serial B (Interface 2)",
          std::string("C04A 0C02 00 usbser 1.0.0.0 COM4 ") + kOtherSerialA +
              " Corvane Serial A (Interface 0)",
          std::string("C04A 0C02 02 - - - USB\\VID_C04A&PID_0C02&MI_02\\7&3B2D4E6&0&0002 "
                      "Corvane Serial B (Interface 2)")},
         ""},
        // The first board's update serves the second too (it binds every device with the
        // hardware ID): --force has the second installed anew.
        {"one board of two fails: the worse outcome wins",
         two_boards() + "\n[install]\nduration_ms = 1000\n",
         L"install --vid C04A --pid 0C02 --mi 0 --force",
         1,
         {installed_line(kSerialA, "COM3"), failed_line(kOtherSerialA, USBDRV_ERR_UNSIGNED)},
         {},
         two_boards() + kUpdateUnsigned},
        // Nothing was bound: no installed board for a script that checks the exit code.
        {"the board is gone by its update: the driver is stored for its next plugging in",
         board + "\n[install]\nupdate = 0xE000020B\n",
         L"install --vid C04A --pid 0C02 --mi 00",
         3,
         {one_line(cli::stored_line(kSerialA))},
         {},
         ""},
        {"the board is unplugged during its update",
         board + "\n[install]\nduration_ms = 1000\n",
         L"install --vid C04A --pid 0C02 --mi 00",
         3,
         {one_line(cli::stored_line(kSerialA))},
         {std::string("C04A 0C02 02 - - - ") + kSerialB + " Corvane Serial B (Interface 2)"},
         unplugged(board, kSerialA)},
        {"one board of two installed, the other stored: the stored one decides",
         two_boards() + "\n[install]\nduration_ms = 1000\n",
         L"install --vid C04A --pid 0C02 --mi 0",
         3,
         {installed_line(kSerialA, "COM3"), one_line(cli::stored_line(kOtherSerialA))},
         {},
         unplugged(two_boards(), kOtherSerialA)},
        {"unsigned driver",
         board + kUpdateUnsigned,
         L"install --vid C04A --pid 0C02 --mi 00",
         1,
         {failed_line(kSerialA, USBDRV_ERR_UNSIGNED)},
         {},
         ""},
        {"a 32-bit installer on a 64-bit machine",
         board + "\n[install]\nupdate = 0xE0000235\n",
         L"install --vid C04A --pid 0C02 --mi 00",
         1,
         {failed_line(kSerialA, USBDRV_ERR_WOW64)},
         {},
         ""},
        {"an error the library has no text of its own for",
         board + "\n[install]\nupdate = 122\n",
         L"install --vid C04A --pid 0C02 --mi 00",
         1,
         {failed_line(kSerialA, USBDRV_ERR_OTHER)},
         {},
         ""},
        {"the user cancels: the other board is not asked for",
         two_boards() + "\n[install]\nupdate = 0xE000023F\n",
         L"install --vid C04A --pid 0C02 --mi 00",
         1223,
         {failed_line(kSerialA, USBDRV_ERR_USER_CANCEL)},
         {},
         ""},
    };
    own_windows();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        new_profile();
        test::simulated_machine machine(r.scenario);
        size_t log_size = read_file(setup_log()).size();
        cli_run child(r.arguments, work());
        ASSERT_TRUE(child.started());
        if (!r.then_scenario.empty()) {
            EXPECT_TRUE(wait_for_update(kSerialAHardwareId, log_size));
            machine.set(r.then_scenario);
        }
        run_result result = child.finish();
        EXPECT_EQ(result.exit_code, r.exit_code) << result.out << result.err;
        EXPECT_TRUE(same_lines(lines_of(result.out), r.lines)) << result.err;
        if (r.listed.empty())
            continue;
        run_result list = run(L"list");
        std::vector<std::string> listed = lines_of(list.out);
        ASSERT_FALSE(listed.empty()) << list.err;
        listed.erase(listed.begin());
        EXPECT_EQ(listed, r.listed);
    }
}

// A second installation while the first is in its driver update finds the machine busy, and
// leaves the package the first installs from alone; the first goes on undisturbed.
TEST_F(Cli, BusyWhileAnotherInstallationIsInItsUpdate) {
    test::simulated_machine machine(shipped("one-board.scn") + "\n[install]\nduration_ms = 4000\n");
    own_windows();
    cli_run first(L"install --vid C04A --pid 0C02 --mi 00", work());
    ASSERT_TRUE(first.started());
    EXPECT_TRUE(wait_for_update(kSerialAHardwareId));
    run_result second = run(L"install --vid C04A --pid 0C02 --mi 02");
    run_result r = first.finish();
    EXPECT_EQ(second.exit_code, static_cast<DWORD>(cli::kExitBusy)) << second.out << second.err;
    EXPECT_TRUE(same_lines(lines_of(second.out), {failed_line(kSerialB, USBDRV_ERR_BUSY)}))
        << second.err;
    EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    EXPECT_EQ(r.out, installed_line(kSerialA, "COM3") + "\n");
}

// What a folder holds: each file below it with its size and last write time.
std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> state_of(const fs::path& folder) {
    std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> state;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            state[test::utf8(fs::relative(entry.path(), folder))] = {entry.file_size(),
                                                                     entry.last_write_time()};
        }
    }
    return state;
}

// Ended from outside in the middle of the driver update (a script's time limit, the task
// manager), the program leaves its helper to finish: the helper holds the installation's busy
// marker for its whole run, so until it has ended a second installation finds the machine busy
// and leaves the package folder the helper installs from as it was. Then the board has its
// driver, and the next installation works.
TEST_F(Cli, AProgramEndedInTheUpdateLeavesTheMachineBusyUntilItsHelperHasEnded) {
    test::simulated_machine machine(shipped("one-board.scn") + "\n[install]\nduration_ms = 6000\n");
    own_windows();
    cli_run first(L"install --vid C04A --pid 0C02 --mi 00", work());
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(wait_for_update(kSerialAHardwareId));
    const auto before = state_of(package());
    ASSERT_FALSE(before.empty());
    first.end_from_outside();

    run_result second = run(L"install --vid C04A --pid 0C02 --mi 02");
    EXPECT_EQ(second.exit_code, static_cast<DWORD>(cli::kExitBusy)) << second.out << second.err;
    EXPECT_TRUE(same_lines(lines_of(second.out), {failed_line(kSerialB, USBDRV_ERR_BUSY)}))
        << second.err;
    EXPECT_EQ(state_of(package()), before);

    // The helper finishes the update on its own and ends.
    bool ended = false;
    for (int i = 0; i < 600 && !ended; i++) {
        ended = !busy_marker::held(kInstallationMarker);
        if (!ended)
            Sleep(50);
    }
    ASSERT_TRUE(ended) << "the helper still holds the installation's marker";
    EXPECT_EQ(state_of(package()), before);
    run_result listed = run(L"list");
    EXPECT_NE(listed.out.find("usbser"), std::string::npos) << listed.out;

    machine.set(shipped("one-board.scn"));
    run_result third = run(L"install --vid C04A --pid 0C02 --mi 02");
    EXPECT_EQ(third.exit_code, 0u) << third.out << third.err;
}

// A --log on a drive that is full (a small drive mapped as S: by tests/wine/with-small-drive.sh,
// which sets CORVANE_SMALL_DRIVE): the run learns it at the first line it cannot write. At the
// start that ends the run before anything is listed, prepared or installed; later the run goes
// on, says so once, and ends with the log's exit code. The log is never left with part of a line.
class CliSmallDrive : public Cli {
protected:
    void SetUp() override {
        Cli::SetUp();
        const char* drive = getenv("CORVANE_SMALL_DRIVE");
        if (!drive || !*drive)
            GTEST_SKIP() << "no small drive (tests/wine/with-small-drive.sh)";
        // A folder of its own on the drive: the drive's root is no directory to the file
        // system library's iterator.
        drive_ = fs::path(std::string(drive) + "\\corvane-cli-test");
        empty_drive();
    }
    void TearDown() override {
        if (!drive_.empty())
            fs::remove_all(drive_);
        Cli::TearDown();
    }

    fs::path log() const { return drive_ / "cli.log"; }

    void empty_drive() {
        fs::remove_all(drive_);
        fs::create_directory(drive_);
    }

    // Takes up every byte the drive has left, in a file of its own.
    void fill_drive() {
        unique_file_handle file(CreateFileW((drive_ / "filler").c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        const std::string block(4096, 'f');
        for (size_t size : {block.size(), size_t{1}}) {
            DWORD written = 0;
            while (
                WriteFile(file.get(), block.data(), static_cast<DWORD>(size), &written, nullptr) &&
                written == size) {
            }
        }
        // The drive is full now: not a byte more goes into a new file.
        unique_file_handle probe(CreateFileW((drive_ / "probe").c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(probe);
        EXPECT_FALSE(WriteFile(probe.get(), "x", 1, &written, nullptr) && written == 1);
        probe.reset();
        DeleteFileW((drive_ / "probe").c_str());
    }

    fs::path drive_;
};

// An earlier run's log of `bytes` bytes, whole lines each ending in CR LF.
std::string earlier_log(size_t bytes) {
    const std::string line =
        "2026-12-10 07:41:43.123 usbdrv:info [earlier] a line of an earlier run\r\n";
    std::string text;
    while (text.size() + line.size() <= bytes)
        text += line;
    text += std::string(bytes - text.size() - 2, '.') + "\r\n";
    return text;
}

TEST_F(CliSmallDrive, AFullDiskEndsTheRunAtTheLogsFirstLineAndAtALaterOneOnlyTheLog) {
    test::simulated_machine machine(shipped("one-board.scn"));
    const std::wstring arguments =
        L"install --vid C04A --pid 0C02 --mi 00 --log " + log().wstring();
    const std::string disk_full =
        cli::kErrorPrefix + cli::log_failure(test::utf8(log()), false, ERROR_DISK_FULL);
    // A drive's space comes in blocks of 4 KiB: an earlier log leaves the rest of its last block.
    const size_t block = 4096;
    const struct {
        const char* what;
        bool earlier;  // an earlier run's log is there
        size_t room;   // the bytes its last block has left
        bool started;  // the run's first line fits: the run goes on
    } rows[] = {
        {"a new log on a full disk", false, 0, false},
        {"an earlier log whose block is full", true, 0, false},
        {"an earlier log with room for part of the first line", true, 40, false},
        {"an earlier log with room for the first line and a few more", true, 600, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        new_profile();
        empty_drive();
        const std::string before = r.earlier ? earlier_log(block - r.room) : "";
        if (r.earlier)
            std::ofstream(log(), std::ios::binary) << before;
        fill_drive();

        run_result result = run(arguments);
        const std::string after = read_file(log());
        if (!r.started) {
            EXPECT_EQ(result.exit_code, static_cast<DWORD>(cli::kExitLogFailed));
            EXPECT_EQ(result.out, "") << "nothing listed or installed";
            EXPECT_EQ(result.err, disk_full + "\n");
            EXPECT_FALSE(fs::exists(package())) << "nothing prepared";
            EXPECT_EQ(fs::exists(log()), r.earlier) << "a log this run made is not left behind";
            EXPECT_TRUE(after == before)
                << "the earlier log as it was: " << before.size() << " bytes before, "
                << after.size() << " after, ending "
                << after.substr(after.size() - std::min<size_t>(after.size(), 40));
            continue;
        }
        // The installation went on to its end; the log's failure is said once and is the
        // run's exit code.
        EXPECT_EQ(result.exit_code, static_cast<DWORD>(cli::kExitLogFailed)) << result.err;
        EXPECT_EQ(lines_of(result.out), std::vector<std::string>{installed_line(kSerialA, "COM3")});
        size_t said = 0;
        for (const std::string& line : lines_of(result.err))
            said += line == disk_full + cli::kLogGoesOnWithout;
        EXPECT_EQ(said, 1u) << result.err;
        ASSERT_TRUE(after.compare(0, before.size(), before) == 0) << "the earlier lines kept";
        std::vector<std::string> added = lines_of(after.substr(before.size()));
        ASSERT_FALSE(added.empty());
        EXPECT_EQ(added[0].substr(24), cli::start_line({"install", "--vid", "C04A", "--pid", "0C02",
                                                        "--mi", "00", "--log", test::utf8(log())}));
        EXPECT_EQ(after.substr(after.size() - 2), "\r\n") << "no part of a line at the end";
        EXPECT_LE(after.size(), block);
    }
}

}  // namespace

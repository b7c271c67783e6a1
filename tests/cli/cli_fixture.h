// What the console program's end-to-end tests share: a run of the real program as a child
// process, with its standard output and error kept apart, its exit code and what it left on
// disk; the fixture that gives each test a profile and a Windows folder of its own; and the
// comparison of output lines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device_rules.h"
#include "report.h"
#include "simulated_machine.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"

namespace cli_test {

namespace fs = std::filesystem;

inline const char* const kSerialA = "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000";
inline const char* const kSerialB = "USB\\VID_C04A&PID_0C02&MI_02\\7&2F1C3A5&0&0002";
inline const char* const kSerialAHardwareId = "USB\\VID_C04A&PID_0C02&REV_0100&MI_00";
// The same kind of board with another serial number: its interface 0.
inline const char* const kOtherSerialA = "USB\\VID_C04A&PID_0C02&MI_00\\7&3B2D4E6&0&0000";

// The machine's answer to the driver update (tests/sim/README.md).
inline const char* const kUpdateUnsigned = "\n[install]\nupdate = 0xE000022F\n";

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string shipped(const char* name) {
    return read_file(test::from_utf8(test::shipped_scenario(name)));
}

// An inheritable file the child writes one of its streams into.
inline unique_file_handle output_file(const fs::path& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return unique_file_handle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, 0, nullptr));
}

struct run_result {
    DWORD exit_code = 0;
    std::string out, err;
    double seconds = 0;
};

// One run of the program, started in `dir` (its current directory), with `profile` as
// USERPROFILE, so that an installation's package folder is the test's own.
class cli_run {
public:
    // With a token, the program runs with it (limited_token: without administrator rights).
    cli_run(const std::wstring& arguments, const fs::path& dir, HANDLE token = nullptr)
        : dir_(dir), number_(next_number()) {
        unique_file_handle out = output_file(out_path());
        unique_file_handle err = output_file(err_path());
        started_ = std::chrono::steady_clock::now();
        test::start_program(program(), arguments, out.get(), child_, err.get(), dir, token);
    }

    static fs::path program() { return test::path_from_environment("CORVANE_CLI"); }
    bool started() const { return child_.started(); }
    // Ends the program from outside, as a script's time limit or the task manager does.
    void end_from_outside() { child_.end(); }
    std::string out_so_far() const { return read_file(out_path()); }

    run_result finish(DWORD timeout_ms = 60000) {
        run_result r;
        EXPECT_TRUE(child_.wait(timeout_ms)) << "the program did not end";
        r.exit_code = child_.exit_code(0xDEAD);
        r.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        child_.end();
        r.out = read_file(out_path());
        r.err = read_file(err_path());
        return r;
    }

private:
    // Beside the current directory, a pair of files for each run: no run reads another's.
    static unsigned next_number() {
        static unsigned count = 0;
        return ++count;
    }
    fs::path stream_path(const wchar_t* kind) const {
        return dir_.parent_path() /
               (dir_.filename().wstring() + L"." + std::to_wstring(number_) + kind);
    }
    fs::path out_path() const { return stream_path(L".out"); }
    fs::path err_path() const { return stream_path(L".err"); }

    fs::path dir_;
    unsigned number_;
    child_process_guard child_;
    std::chrono::steady_clock::time_point started_;
};

class Cli : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(cli_run::program())) << "CORVANE_CLI";
        fs::create_directories(work());
        new_profile();
        GetEnvironmentVariableW(L"WINDIR", system_windows_, MAX_PATH);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"USERPROFILE", nullptr);
        SetEnvironmentVariableW(L"WINDIR", system_windows_);
    }

    fs::path work() const { return root_.path() / "work"; }
    fs::path profile() const { return root_.path() / ("profile" + std::to_string(profiles_)); }
    fs::path package() const { return profile() / kPackageFolderName; }

    // A profile no earlier run has prepared a package in, so that what a row finds in its package
    // folder is its own run's.
    void new_profile() {
        profiles_++;
        fs::create_directories(profile());
        SetEnvironmentVariableW(L"USERPROFILE", profile().c_str());
    }

    // The programs started from now on write the setup log into a WINDIR of the test's own.
    void own_windows() {
        fs::create_directories(root_.path() / "windows");
        SetEnvironmentVariableW(L"WINDIR", (root_.path() / "windows").c_str());
    }
    fs::path setup_log() const { return root_.path() / "windows" / "inf" / "setupapi.dev.log"; }
    // Waits until a driver update for the hardware ID has begun: its section is in the setup log
    // after the offset `from`.
    bool wait_for_update(const std::string& hardware_id, size_t from = 0) {
        const std::string section =
            "[Device Install (UpdateDriverForPlugAndPlayDevices) - " + hardware_id + "]";
        for (int i = 0; i < 400; i++) {
            if (read_file(setup_log()).find(section, from) != std::string::npos)
                return true;
            Sleep(50);
        }
        return false;
    }

    run_result run(const std::wstring& arguments) {
        cli_run child(arguments, work());
        EXPECT_TRUE(child.started());
        return child.finish();
    }

    wchar_t system_windows_[MAX_PATH] = {};
    int profiles_ = 0;
    test::temp_dir root_;
};

// The program's own line (report.h) as lines_of gives it: without its line end.
inline std::string one_line(const std::string& line) {
    return line.substr(0, line.find_first_of("\r\n"));
}

inline std::string installed_line(const char* instance, const char* port, bool reboot = false) {
    return one_line(cli::installed_line(instance, port, reboot));
}

// The start of a failed installation's line: the library's text and its code. The Windows error
// and the next step follow; "..." marks the expectation as a line's start (same_lines).
inline std::string failed_line(const char* instance, usbdrv_result result) {
    return one_line(cli::installation_failed_line(instance, usbdrv_strerror(result))) +
           " (library error " + std::to_string(result) + "...";
}

inline bool same_line(const std::string& line, const std::string& expected) {
    const std::string marker = "...";
    if (expected.size() < marker.size() ||
        expected.compare(expected.size() - marker.size(), marker.size(), marker) != 0)
        return line == expected;
    return line.compare(0, expected.size() - marker.size(), expected, 0,
                        expected.size() - marker.size()) == 0;
}

// Lines as expected, each whole or, when it ends in "...", its start.
inline testing::AssertionResult same_lines(const std::vector<std::string>& lines,
                                           const std::vector<std::string>& expected) {
    bool same = lines.size() == expected.size();
    for (size_t i = 0; same && i < lines.size(); i++)
        same = same_line(lines[i], expected[i]);
    if (same)
        return testing::AssertionSuccess();
    testing::AssertionResult failure = testing::AssertionFailure();
    failure << "lines:";
    for (const std::string& line : lines)
        failure << "\n  " << line;
    failure << "\nexpected:";
    for (const std::string& line : expected)
        failure << "\n  " << line;
    return failure;
}

inline std::string no_matching_device() {
    return cli::kErrorPrefix + std::string(cli::kNoMatchingDevice) + "\n";
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines = test::split(text, '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    for (std::string& line : lines) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    }
    return lines;
}

// Whether `text` is the library's message for one of its result codes, with that code after it.
inline bool is_library_failure(const std::string& text) {
    for (int code = -1; code >= -99; code--) {
        const std::string start =
            std::string(usbdrv_strerror(code)) + " (library error " + std::to_string(code);
        if (text.compare(0, start.size(), start) == 0)
            return true;
    }
    return false;
}

inline std::string usage() {
    static std::string text;
    if (text.empty()) {
        test::temp_dir dir;
        text = cli_run(L"--help", dir.path()).finish().out;
    }
    return text;
}

// The refusal of a description too long for the INF, as the parser words it.
inline std::string description_refused(size_t bytes) {
    return "--description is " + std::to_string(bytes) +
           " bytes in the INF (UTF-8, each double quote counted twice); it holds at most " +
           std::to_string(USBDRV_DESCRIPTION_MAX);
}

// Two boards of the same kind, the second a copy of the first with its own serial number.
inline std::string two_boards() {
    std::string board = shipped("one-board.scn");
    std::string copy = board;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"CRV00001", "CRV00002"},
                                   {"7&2F1C3A5", "7&3B2D4E6"}}) {
        for (size_t at = copy.find(from); at != std::string::npos; at = copy.find(from, at))
            copy.replace(at, from.size(), to);
    }
    return board + copy;
}

// The machine of `scenario` with the device `instance` unplugged.
inline std::string unplugged(const std::string& scenario, const std::string& instance) {
    const std::string line = "instance = " + instance + "\n";
    std::string machine = scenario;
    size_t at = machine.find(line);
    EXPECT_NE(at, std::string::npos) << instance;
    if (at != std::string::npos)
        machine.insert(at + line.size(), "present = no\n");
    return machine;
}

}  // namespace cli_test

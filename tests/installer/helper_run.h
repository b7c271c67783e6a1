// Running the real installer helper for a test. Two ways:
//
// - run_helper: the test program plays the tool itself. It creates the installer pipe, starts
//   installer_x64.exe from a package folder (so the pipe's server is the helper's parent, as the
//   helper demands), answers the identifier requests as told and records every message in order,
//   with the helper's console output and exit code.
// - install_with_helper: the library's own host (usbdrv_install_driver) starts the helper, as the
//   dialog's install command does; the result, the host's log and, on the simulated machine,
//   the journal of what was asked of it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"

namespace test {

// A package folder with the helper in it as installer_x64.exe and, unless told otherwise, an INF
// named Corvane.inf.
class helper_folder {
public:
    explicit helper_folder(bool with_inf = true);
    const std::filesystem::path& path() const { return dir_.path(); }
    std::string dir() const { return dir_.utf8(); }
    std::string inf_path() const { return dir() + "\\Corvane.inf"; }

private:
    temp_dir dir_;
};

struct helper_message {
    uint8_t code;
    std::string text;  // the text of a log or setup-log message; the status byte of a status
};

struct helper_run {
    DWORD exit_code = 0;
    std::string console;
    std::vector<helper_message> messages;
    bool finished = false;  // the helper ended within the run's time limit

    // The texts of its log messages (code 0), or of its setup-log lines, in order.
    std::vector<std::string> logs() const { return texts(0); }
    std::vector<std::string> syslog_lines() const { return texts(1); }
    std::vector<std::string> texts(uint8_t code) const;
    // The codes of all messages, in order.
    std::vector<int> codes() const;
    // Index of the first log message that equals text (or begins with it), or -1.
    int log_index(const std::string& text, bool prefix = false) const;
    int code_index(int code) const;
    std::string dump() const;
};

// The tool's answer to a request; nullopt: one zero byte (no such identifier).
struct tool_answers {
    std::optional<std::string> device_id = std::string(kDeviceId);
    std::optional<std::string> hardware_id = std::string(kHardwareId);
    std::optional<std::string> user_sid = std::string("S-1-5-21-1-2-3-1000");
    // How long the tool waits before it answers the device-ID request.
    DWORD device_id_delay_ms = 0;
    // Called for every log message as it arrives, from the reading thread.
    std::function<void(const std::string&)> on_log;
};

// Starts the helper in `folder` with `arguments` after its quoted program name (the tool passes
// the quoted INF name) and serves it until it closes the pipe and ends.
helper_run run_helper(const helper_folder& folder, const std::wstring& arguments,
                      const tool_answers& answers = {});

// Starts the helper with no pipe there: as a user would from a command line.
helper_run run_helper_without_tool(const helper_folder& folder);

struct installation : install_outcome {
    std::vector<std::vector<std::string>> journal;  // on the simulated machine, when it journals

    size_t position(const std::string& text) const { return log.find(text); }
};

// One usbdrv_install_driver of `device` from `folder` in standard mode (host_fixture.h's
// install), with the simulation's journal of the installation.
installation install_with_helper(const helper_folder& folder, const usbdrv_device_entry& device);

// An environment variable set for a scope (inherited by the programs started in it).
class scoped_environment {
public:
    scoped_environment(const char* name, const std::string& value);
    ~scoped_environment();
    scoped_environment(const scoped_environment&) = delete;
    scoped_environment& operator=(const scoped_environment&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

}  // namespace test

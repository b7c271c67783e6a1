// What the end-to-end installation tests share: a CDC package prepared once, the shipped
// two-function board on a machine state of a test's own, the board's first serial function as
// the dialog hands it to the host, the restore-point setting and its record, the tool's log
// lines as a sink takes them, and the running helper.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "helper_run.h"
#include "host_fixture.h"
#include "simulated_machine.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"

namespace e2e {

using strings = std::vector<std::string>;

extern const char kSerialA[];
// The first of its hardware IDs: the one the device list gives and the tool sends.
extern const char kSerialAHardwareId[];

std::string read_text(const std::filesystem::path& path);

// A line the helper sent, as the host logs it.
inline std::string helper_line(const std::string& text) {
    return "[installer process] " + text;
}
inline std::string setup_log_line(const std::string& text) {
    return "[syslog] " + text;
}

// Each text of `in_order` is in the log after the one before it.
testing::AssertionResult logged_in_order(const std::string& log, const strings& in_order);

// A CDC package for the board's first serial function, prepared once, as the install command
// prepares it: with its catalog, signed with a certificate of the Windows version's algorithm,
// which the machine's trust stores hold until the program ends.
class prepared_package {
public:
    static const prepared_package& get();
    ~prepared_package();
    std::string dir() const { return dir_.utf8(); }
    std::filesystem::path path() const { return dir_.path(); }
    std::filesystem::path inf() const { return dir_.path() / "Corvane.inf"; }
    bool ok() const { return result_ == USBDRV_OK; }
    // The package's catalog has its signature; what the first preparation logged.
    bool catalog_signed() const;
    const std::string& log() const { return log_; }
    // Prepares it again, as a retry does.
    usbdrv_result prepare_again() const;

private:
    prepared_package();

    test::temp_dir dir_;
    std::string log_;
    usbdrv_result result_ = USBDRV_ERR_OTHER;
};

// The shipped two-function board with a test's sections, on a machine state of its own, with a
// journal of what the simulation was asked.
class board_machine {
public:
    explicit board_machine(const std::string& name);
    ~board_machine();

    void use(const std::string& sections);
    // The restart: the machine as its file has it.
    void reset();
    std::string state_key() const;
    std::string settings_key() const;
    std::filesystem::path journal_path() const { return journal_dir_.path() / "journal.txt"; }
    std::vector<strings> calls(const char* function) const;
    void forget_journal();

    // The restore-point setting in the machine's local group-policy object, read directly.
    std::optional<DWORD> restore_setting() const;
    void preset_restore_setting(std::optional<DWORD> value) const;

    // The device as a fresh listing of this process shows it: its driver and version, or
    // nullopt when it is not listed.
    struct listed {
        std::string driver;
        uint64_t version = 0;
    };
    static std::optional<listed> list_entry(const char* instance);

private:
    test::temp_dir journal_dir_;
    std::string state_name_;
    test::scoped_environment state_;
    test::scoped_environment journal_;
    test::simulated_machine machine_;
};

// The board's first serial function as the installation gets it from the dialog.
struct serial_a {
    std::string device_id = kSerialA;
    std::string hardware_id = kSerialAHardwareId;
    usbdrv_device_entry entry = {};
    serial_a();
};

test::install_outcome install_serial_a(const usbdrv_install_options* options = nullptr);

// The record of the restore-point setting that a helper keeps while it has changed it
// (HKLM\SOFTWARE\Corvane\Installer): the recorded value, kNoRecordedValue for "there was none",
// or nullopt without a record.
constexpr DWORD kNoRecordedValue = 0xFFFFFFFF;
std::optional<DWORD> restore_record();
// Removes a record a failed test may have left, so that it does not reach the next test's
// machine.
void forget_restore_record();

// The tool's log lines as a program's sink takes them: every line under a lock that is held for
// a moment, as the dialog's log file holds its own, so that a thread that stops inside the sink
// keeps it taken.
class locked_log {
public:
    locked_log();
    ~locked_log();
    locked_log(const locked_log&) = delete;
    locked_log& operator=(const locked_log&) = delete;

    std::string text() const;
    bool has(const std::string& text) const { return this->text().find(text) != std::string::npos; }
    // Waits up to timeout_ms for a line that holds text.
    bool wait_for(const std::string& text, DWORD timeout_ms) const;
    size_t lines() const;

private:
    static void take(int level, const char* line, void* context);

    mutable critical_section lock_;
    std::vector<std::string> lines_;
    int saved_threshold_;
};

// The helper that runs now (one installer_x64.exe), for a test that ends it from outside.
unique_process running_helper();

// Appends lines to the machine's setup log (%WINDIR%\inf\setupapi.dev.log) as fast as it can
// while it lives, so that the helper relays, and the host logs, all the time.
class setup_log_flood {
public:
    setup_log_flood();
    ~setup_log_flood();
    setup_log_flood(const setup_log_flood&) = delete;
    setup_log_flood& operator=(const setup_log_flood&) = delete;

private:
    std::atomic<bool> running_{true};
    unique_thread thread_;
};

// Ends this test program with a word on its output when `done` is not true within timeout_ms:
// a wait that hangs would otherwise stall the whole run.
class hang_guard {
public:
    hang_guard(const char* what, DWORD timeout_ms);
    ~hang_guard();
    hang_guard(const hang_guard&) = delete;
    hang_guard& operator=(const hang_guard&) = delete;

private:
    static DWORD WINAPI watch(void* guard);

    unique_event done_;
    std::string what_;
    DWORD timeout_ms_;
    unique_thread thread_;
};

}  // namespace e2e

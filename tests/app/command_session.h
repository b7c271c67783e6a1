// A run of Corvane.exe for its commands on the simulated machine: a folder of its own that is
// both its current directory (where "Extract driver" writes "usb_driver") and holds its
// USERPROFILE (where "Install driver" does) and LOCALAPPDATA (where its log file goes), a journal
// of what it asked the simulation, and the message boxes it shows.
#pragma once

#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device_rules.h"
#include "gui_driver.h"
#include "log_file_rules.h"
#include "simulated_machine.h"
#include "test_support.h"

namespace gui {

// A box of the commands ("Driver Installation") as the user sees it.
struct message_box {
    HWND window = nullptr;
    std::wstring text;
    HWND owner = nullptr;
    // "error", "warning", "information" or "other": which system icon the screen shows in it, as
    // read by wait_for_box (empty from boxes()).
    std::string icon;
};

// An environment variable set for a scope (not set when the value is null), then as it was.
class environment_variable {
public:
    environment_variable(const wchar_t* name, const wchar_t* value);
    ~environment_variable();
    environment_variable(const environment_variable&) = delete;
    environment_variable& operator=(const environment_variable&) = delete;

private:
    std::wstring name_;
    std::wstring saved_;
    bool was_set_ = false;
};

class command_session {
public:
    // Starts Corvane on a machine with `scenario`, with the session's folders "profile" as its
    // USERPROFILE and "local" as its LOCALAPPDATA.
    explicit command_session(const std::string& scenario = "");
    // The same with USERPROFILE set to `profile`, or not set when it is null.
    command_session(const std::string& scenario, const wchar_t* profile);
    // The same with the session's own USERPROFILE and LOCALAPPDATA set to `local_app_data`.
    static std::unique_ptr<command_session> with_local_app_data(const std::string& scenario,
                                                                const std::wstring& local_app_data);
    ~command_session();
    command_session(const command_session&) = delete;
    command_session& operator=(const command_session&) = delete;

    corvane& program() { return *program_; }
    HWND dialog() { return program_->dialog(); }
    test::simulated_machine& machine() { return machine_; }
    const std::filesystem::path& folder() const { return dir_.path(); }
    std::filesystem::path extracted() const { return folder() / kPackageFolderName; }
    // The box of an "Extract driver" that wrote its package there.
    std::wstring extracted_text() const;
    std::filesystem::path profile() const { return folder() / "profile"; }
    std::filesystem::path installed() const { return profile() / kPackageFolderName; }
    std::filesystem::path journal() const { return folder() / "journal.txt"; }
    std::filesystem::path local_app_data() const { return folder() / "local"; }
    // The program's log file, and the older one, in its LOCALAPPDATA.
    std::filesystem::path log() const { return local_app_data() / kLogFolderName / kLogFileName; }
    std::filesystem::path old_log() const {
        return local_app_data() / kLogFolderName / kOldLogFileName;
    }
    std::vector<std::vector<std::string>> calls(const std::string& function) const {
        return test::journal_calls(journal(), function);
    }

    // Clicks a button of the dialog as the user does, without waiting for what follows.
    void press(int id);
    // The boxes the program shows now, oldest first.
    std::vector<message_box> boxes();
    // Waits for a box with `text` (any box when null); its window is null when none came.
    message_box wait_for_box(const wchar_t* text = nullptr, DWORD timeout_ms = 60000);
    // Closes a box with its OK button and waits until it is gone.
    bool close(const message_box& box);
    // Presses a button and waits for the box that ends the command, which it closes; the dialog
    // is idle again afterwards.
    message_box run(int id, DWORD timeout_ms = 60000);

private:
    command_session(const std::string& scenario, bool own_profile, const wchar_t* profile,
                    const wchar_t* local_app_data);

    test::temp_dir dir_;
    test::simulated_machine machine_;
    std::unique_ptr<environment_variable> journal_variable_;
    std::unique_ptr<environment_variable> profile_variable_;
    std::unique_ptr<environment_variable> local_app_data_variable_;
    std::unique_ptr<test::current_dir> current_;
    std::unique_ptr<corvane> program_;
};

// What a box must show: its text, the icon, and the session's dialog as its owner.
void expect_box(command_session& session, const message_box& box, const std::wstring& text,
                const char* icon);

// A file's bytes (empty when it cannot be read).
std::string read_text(const std::filesystem::path& file);
// An INF as written: UTF-16 little-endian after its byte-order mark.
std::wstring read_inf(const std::filesystem::path& file);
// The library's message for a result code, as the boxes show it.
std::wstring library_text(int result);
// Whether a text is the library's message for some failure.
bool is_library_failure_text(const std::wstring& text);

}  // namespace gui

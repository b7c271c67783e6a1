// A run of Corvane.exe for its commands on the simulated machine: a folder of its own that is
// both its current directory (where "Extract driver" writes "usb_driver") and its USERPROFILE
// (where "Install driver" does), a journal of what it asked the simulation, and the message boxes
// it shows.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gui_driver.h"
#include "simulated_machine.h"
#include "test_support.h"

namespace gui {

// A box of the commands ("Driver Installation") as the user sees it.
struct message_box {
    HWND window = nullptr;
    std::wstring text;
    HWND owner = nullptr;
    // "error", "information" or "other": which system icon the screen shows in it, as read by
    // wait_for_box (empty from boxes()).
    std::string icon;
};

class command_session {
public:
    // Starts Corvane on a machine with `scenario`, with the session's folder "profile" as its
    // USERPROFILE.
    explicit command_session(const std::string& scenario = "");
    // The same with USERPROFILE set to `profile`, or not set when it is null.
    command_session(const std::string& scenario, const wchar_t* profile);
    ~command_session();
    command_session(const command_session&) = delete;
    command_session& operator=(const command_session&) = delete;

    corvane& program() { return *program_; }
    HWND dialog() { return program_->dialog(); }
    test::simulated_machine& machine() { return machine_; }
    const std::filesystem::path& folder() const { return dir_.path(); }
    std::filesystem::path extracted() const { return folder() / "usb_driver"; }
    std::filesystem::path profile() const { return folder() / "profile"; }
    std::filesystem::path installed() const { return profile() / "usb_driver"; }
    std::filesystem::path journal() const { return folder() / "journal.txt"; }
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
    command_session(const std::string& scenario, bool own_profile, const wchar_t* profile);

    test::temp_dir dir_;
    test::simulated_machine machine_;
    std::unique_ptr<test::current_dir> current_;
    std::unique_ptr<corvane> program_;
    std::wstring saved_profile_;
    bool had_profile_ = false;
};

// The library's message for a result code, as the boxes show it.
std::wstring library_text(int result);
// Whether a text is the library's message for some failure.
bool is_library_failure_text(const std::wstring& text);

}  // namespace gui

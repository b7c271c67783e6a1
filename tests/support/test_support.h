// Shared pieces of the Windows test programs.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "win/handles.h"

namespace test {

std::string utf8(const std::filesystem::path& path);

// A path named by an environment variable, as a Windows path: CTest passes the build's Unix paths,
// which Wine reaches through the Z: drive. Empty when the variable is not set.
std::filesystem::path path_from_environment(const char* variable);
std::filesystem::path from_utf8(const std::string& text);

// The parts of text between separators (one more than there are separators).
std::vector<std::string> split(const std::string& text, char separator);

// A fresh directory below the temporary folder, removed with everything in it at the end.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string utf8() const { return test::utf8(path_); }

private:
    std::filesystem::path path_;
};

// Changes the current directory for a scope.
class current_dir {
public:
    explicit current_dir(const std::filesystem::path& path);
    ~current_dir();

private:
    std::filesystem::path saved_;
};

// What the library logged on both streams while the object lived.
class log_capture {
public:
    log_capture();
    ~log_capture();
    // Ends the capture (once) and returns both streams, standard output first.
    std::string text();

private:
    bool done_ = false;
    std::string text_;
};

// A program built beside the test program (for example "exit_with.exe").
std::filesystem::path beside_me(const char* name);

// Starts program with arguments (appended to its quoted name on the command line), without a
// window. With output, an inheritable handle, the child's standard output and error go to it;
// with errors too, its standard error goes there instead. A directory given is the child's
// current directory. With a token, the child runs with it (CreateProcessAsUser). False when it
// cannot be started.
bool start_program(const std::filesystem::path& program, const std::wstring& arguments,
                   HANDLE output, child_process_guard& child, HANDLE errors = nullptr,
                   const std::filesystem::path& directory = {}, HANDLE token = nullptr);

// The test's own user without administrator rights: the limited token linked to the process's
// elevated one, as a console that was not run as administrator has it. Null when the system
// has none.
unique_token limited_token();

// Waits up to timeout_ms until a named mutex exists: another process holds its busy marker.
bool wait_for_mutex(const char* name, DWORD timeout_ms);

// The current user's SID in its text form, read from the process token.
std::string current_user_sid();
// The owner of a file or directory in its text form, read back from its security descriptor.
std::string owner_of(const std::filesystem::path& path);

}  // namespace test

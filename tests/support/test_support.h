// Shared pieces of the Windows test programs.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace test {

std::string utf8(const std::filesystem::path& path);

// A path named by an environment variable, as a Windows path: CTest passes the build's Unix paths,
// which Wine reaches through the Z: drive. Empty when the variable is not set.
std::filesystem::path path_from_environment(const char* variable);
std::filesystem::path from_utf8(const std::string& text);

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

// The current user's SID in its text form, read from the process token.
std::string current_user_sid();
// The owner of a file or directory in its text form, read back from its security descriptor.
std::string owner_of(const std::filesystem::path& path);

}  // namespace test

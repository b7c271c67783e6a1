// Running other programs on the installer pipe from a test: pipe_squatter.cpp, which holds the
// pipe's name before the tool creates it, and pipe_intruder.cpp, which connects to the tool's
// pipe before the helper does. Header only, for the host's tests and the helper end's tests.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "test_support.h"
#include "win/handles.h"

namespace test {

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class pipe_squatter {
public:
    // Starts it with at most `instances` instances of the pipe, for `lifetime_ms`; true once its
    // pipe exists.
    bool start(int instances, DWORD lifetime_ms) {
        const std::string event_name = "corvane-squatter-" + std::to_string(GetCurrentProcessId());
        unique_event ready(CreateEventA(nullptr, TRUE, FALSE, event_name.c_str()));
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        output_.reset(CreateFileW(output_path().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                  CREATE_ALWAYS, 0, nullptr));
        const std::string arguments =
            std::to_string(instances) + " " + event_name + " " + std::to_string(lifetime_ms);
        return ready && output_ &&
               start_program(beside_me("pipe_squatter.exe"),
                             std::wstring(arguments.begin(), arguments.end()), output_.get(),
                             process_) &&
               WaitForSingleObject(ready.get(), 5000) == WAIT_OBJECT_0;
    }

    DWORD id() const { return process_.id(); }
    // Once it has ended (within 10 seconds): the number of bytes it received, else STILL_ACTIVE.
    DWORD bytes_received() {
        process_.wait(10000);
        return process_.exit_code(STILL_ACTIVE);
    }
    // What it printed: "connected" when a client connected, then each message in hexadecimal.
    std::string output() {
        bytes_received();
        output_.reset();
        return read_file(output_path());
    }

private:
    std::filesystem::path output_path() const { return dir_.path() / "squatter.txt"; }

    temp_dir dir_;
    unique_file_handle output_;
    child_process_guard process_;
};

class pipe_intruder {
public:
    // Starts it with a behaviour of pipe_intruder.cpp ("ask", "status-0", "cancel", "hold",
    // "flood", "reconnect") for at most `lifetime_ms`; it polls for the pipe from now on.
    bool start(const std::string& behaviour, DWORD lifetime_ms) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        output_.reset(CreateFileW(output_path().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                  CREATE_ALWAYS, 0, nullptr));
        const std::string arguments = behaviour + " " + std::to_string(lifetime_ms);
        return output_ && start_program(beside_me("pipe_intruder.exe"),
                                        std::wstring(arguments.begin(), arguments.end()),
                                        output_.get(), process_);
    }

    DWORD id() const { return process_.id(); }
    // Once it has ended (within 15 seconds): the number of bytes it received, else STILL_ACTIVE.
    DWORD bytes_received() {
        process_.wait(15000);
        return process_.exit_code(STILL_ACTIVE);
    }
    // What it printed once it has ended: "connected" and "dropped" for each connection, and
    // every answer it received in hexadecimal.
    std::string output() {
        bytes_received();
        output_.reset();
        return read_file(output_path());
    }

private:
    std::filesystem::path output_path() const { return dir_.path() / "intruder.txt"; }

    temp_dir dir_;
    unique_file_handle output_;
    child_process_guard process_;
};

}  // namespace test

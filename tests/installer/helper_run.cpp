#include "helper_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/installer_protocol.h"
#include "simulated_machine.h"
#include "win/handles.h"
#include "win/overlapped_io.h"

namespace test {

namespace {

// Longer than any step of the helper takes here, and than the host's own time limit.
constexpr DWORD kMessageWaitMs = 20000;
constexpr size_t kReceiveBytes = 1 << 16;

std::filesystem::path helper_program() {
    return path_from_environment("CORVANE_INSTALLER_X64");
}

// A file the INF copy can take: the version section alone.
constexpr char kInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\n"
    "ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\r\nProvider=%Maker%\r\n"
    "DriverVer=12/10/2026,1.0.0.0\r\n\r\n[Strings]\r\nMaker=\"Corvane\"\r\n";

void write_all(HANDLE pipe, const void* bytes, DWORD length) {
    overlapped_io write(pipe);
    if (write.write(bytes, length) == overlapped_io::state::pending)
        write.wait(INFINITE);
}

void answer(HANDLE pipe, const std::optional<std::string>& value) {
    static const uint8_t kNone = 0;
    if (value)
        write_all(pipe, value->data(), static_cast<DWORD>(value->size()));
    else
        write_all(pipe, &kNone, 1);
}

// What the helper, which has ended by now, wrote to its console: what is in the pipe, not up to
// the pipe's end. A process the helper started may hold the writing end long after: Wine starts
// its desktop process from the first process of a session that loads user32, and that process
// inherits the helper's console.
std::string read_console(HANDLE output) {
    std::string text;
    char chunk[512];
    DWORD available = 0;
    while (PeekNamedPipe(output, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        DWORD got = 0;
        if (!ReadFile(output, chunk, std::min<DWORD>(available, sizeof chunk), &got, nullptr) ||
            got == 0)
            break;
        text.append(chunk, got);
    }
    return text;
}

// Starts the helper with its standard output into a pipe whose reading end is returned.
bool start_helper(const helper_folder& folder, const std::wstring& arguments,
                  child_process_guard& child, unique_pipe& console) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return false;
    console.reset(read_end);
    unique_pipe output(write_end);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    std::filesystem::path program = folder.path() / "installer_x64.exe";
    std::wstring command = L"\"" + program.wstring() + L"\"";
    if (!arguments.empty())
        command += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, folder.path().c_str(), &startup, &info)) {
        return false;
    }
    child.adopt(info);
    return true;
}

void record(const uint8_t* message, DWORD length, helper_run& run, HANDLE pipe,
            const tool_answers& answers) {
    if (length == 0)
        return;
    helper_message m = {message[0], {}};
    switch (m.code) {
        case MSG_PRINT_MESSAGE:
        case MSG_SYSLOG_MESSAGE: {
            const char* text = reinterpret_cast<const char*>(message + 1);
            m.text.assign(text, strnlen(text, length - 1));
            break;
        }
        case MSG_SET_STATUS:
            if (length > 1)
                m.text.assign(1, static_cast<char>(message[1]));
            break;
        default:
            break;
    }
    run.messages.push_back(m);
    if (m.code == MSG_PRINT_MESSAGE && answers.on_log)
        answers.on_log(m.text);
    if (m.code == MSG_GET_DEVICE_ID) {
        Sleep(answers.device_id_delay_ms);
        answer(pipe, answers.device_id);
    } else if (m.code == MSG_GET_HARDWARE_ID) {
        answer(pipe, answers.hardware_id);
    } else if (m.code == MSG_GET_USER_SID) {
        answer(pipe, answers.user_sid);
    }
}

// Reads messages until the helper closes its end (or ends before it connected).
void serve(HANDLE pipe, const child_process_guard& child, helper_run& run,
           const tool_answers& answers) {
    std::vector<uint8_t> buffer(kReceiveBytes);
    for (;;) {
        overlapped_io read(pipe);
        overlapped_io::state state = read.read(buffer.data(), kReceiveBytes);
        if (state == overlapped_io::state::failed && read.error() == ERROR_PIPE_LISTENING) {
            if (child.wait(10))
                return;
            continue;
        }
        if (state == overlapped_io::state::pending) {
            if (!read.wait(kMessageWaitMs))
                return;  // the read is cancelled as it goes
            state = read.take();
        }
        if (state != overlapped_io::state::complete)
            return;
        record(buffer.data(), read.bytes(), run, pipe, answers);
    }
}

}  // namespace

helper_folder::helper_folder(bool with_inf) {
    std::filesystem::copy_file(helper_program(), path() / "installer_x64.exe");
    if (with_inf)
        std::ofstream(path() / "Corvane.inf", std::ios::binary) << kInf;
}

std::vector<std::string> helper_run::texts(uint8_t code) const {
    std::vector<std::string> texts;
    for (const helper_message& m : messages) {
        if (m.code == code)
            texts.push_back(m.text);
    }
    return texts;
}

std::vector<int> helper_run::codes() const {
    std::vector<int> codes;
    for (const helper_message& m : messages)
        codes.push_back(m.code);
    return codes;
}

int helper_run::log_index(const std::string& text, bool prefix) const {
    for (size_t i = 0; i < messages.size(); i++) {
        const helper_message& m = messages[i];
        if (m.code == MSG_PRINT_MESSAGE && (prefix ? m.text.rfind(text, 0) == 0 : m.text == text))
            return static_cast<int>(i);
    }
    return -1;
}

int helper_run::code_index(int code) const {
    for (size_t i = 0; i < messages.size(); i++) {
        if (messages[i].code == code)
            return static_cast<int>(i);
    }
    return -1;
}

std::string helper_run::dump() const {
    std::ostringstream out;
    out << "exit code " << static_cast<int>(exit_code) << (finished ? "" : " (did not finish)")
        << "\nconsole: " << console;
    for (const helper_message& m : messages) {
        out << "\n  " << static_cast<int>(m.code);
        if (m.code == MSG_SET_STATUS && !m.text.empty())
            out << " status " << static_cast<int>(static_cast<int8_t>(m.text[0]));
        else if (!m.text.empty())
            out << " '" << m.text << "'";
    }
    return out.str();
}

helper_run run_helper(const helper_folder& folder, const std::wstring& arguments,
                      const tool_answers& answers) {
    helper_run run;
    unique_pipe pipe(CreateNamedPipeA(kInstallerPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                      4096, 4096, 0, nullptr));
    if (!pipe) {
        ADD_FAILURE() << "could not create the installer pipe: " << GetLastError();
        return run;
    }
    child_process_guard child;
    unique_pipe console;
    if (!start_helper(folder, arguments, child, console)) {
        ADD_FAILURE() << "could not start the helper: " << GetLastError();
        return run;
    }
    serve(pipe.get(), child, run, answers);
    run.finished = child.wait(kMessageWaitMs);
    run.exit_code = child.exit_code(STILL_ACTIVE);
    child.end();
    run.console = read_console(console.get());
    return run;
}

helper_run run_helper_without_tool(const helper_folder& folder) {
    helper_run run;
    child_process_guard child;
    unique_pipe console;
    if (!start_helper(folder, L"\"Corvane.inf\"", child, console)) {
        ADD_FAILURE() << "could not start the helper: " << GetLastError();
        return run;
    }
    run.finished = child.wait(kMessageWaitMs);
    run.exit_code = child.exit_code(STILL_ACTIVE);
    child.end();
    run.console = read_console(console.get());
    return run;
}

installation install_with_helper(const helper_folder& folder, const usbdrv_device_entry& device) {
    temp_dir journal_dir;
    const std::filesystem::path journal = journal_dir.path() / "journal.txt";
    scoped_environment journaled("CORVANE_SIM_JOURNAL", utf8(journal));
    installation outcome;
    static_cast<install_outcome&>(outcome) = install(folder.dir().c_str(), &device, nullptr);
    outcome.journal = journal_lines(journal);
    return outcome;
}

scoped_environment::scoped_environment(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name))
        saved_ = old;
    _putenv_s(name, value.c_str());
    SetEnvironmentVariableA(name, value.c_str());
}

scoped_environment::~scoped_environment() {
    _putenv_s(name_.c_str(), saved_ ? saved_->c_str() : "");
    SetEnvironmentVariableA(name_.c_str(), saved_ ? saved_->c_str() : nullptr);
}

}  // namespace test

#include "test_support.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <system_error>

#include "win/handles.h"
#include "z_drive_path.h"

namespace test {

std::string utf8(const std::filesystem::path& path) {
    return path.u8string();
}

std::filesystem::path from_utf8(const std::string& text) {
    return std::filesystem::u8path(text);
}

std::filesystem::path path_from_environment(const char* variable) {
    const char* value = getenv(variable);
    if (!value || !*value)
        return {};
    return from_utf8(z_drive_path(std::string(value)));
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (size_t end; (end = text.find(separator, at)) != std::string::npos; at = end + 1)
        parts.push_back(text.substr(at, end - at));
    parts.push_back(text.substr(at));
    return parts;
}

temp_dir::temp_dir() {
    static std::atomic<unsigned> counter{0};
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("corvane-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                        std::to_string(counter++));
        if (std::filesystem::create_directory(path_))
            break;
    }
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

current_dir::current_dir(const std::filesystem::path& path)
    : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
}

current_dir::~current_dir() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
}

log_capture::log_capture() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

log_capture::~log_capture() {
    text();
}

std::string log_capture::text() {
    if (!done_) {
        done_ = true;
        text_ = testing::internal::GetCapturedStdout();
        text_ += testing::internal::GetCapturedStderr();
    }
    return text_;
}

std::filesystem::path beside_me(const char* name) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::filesystem::path(self).parent_path() / name;
}

bool start_program(const std::filesystem::path& program, const std::wstring& arguments,
                   HANDLE output, child_process_guard& child, HANDLE errors,
                   const std::filesystem::path& directory, HANDLE token) {
    std::wstring command = L"\"" + program.wstring() + L"\"";
    if (!arguments.empty())
        command += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = errors ? errors : output;
    }
    PROCESS_INFORMATION info = {};
    const wchar_t* folder = directory.empty() ? nullptr : directory.c_str();
    bool started =
        token ? CreateProcessAsUserW(token, program.c_str(), &command[0], nullptr, nullptr,
                                     output != nullptr, CREATE_NO_WINDOW, nullptr, folder, &startup,
                                     &info)
              : CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, output != nullptr,
                               CREATE_NO_WINDOW, nullptr, folder, &startup, &info);
    if (!started)
        return false;
    child.adopt(info);
    return true;
}

unique_token limited_token() {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own))
        return unique_token();
    unique_token process(own);
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    if (!GetTokenInformation(process.get(), TokenElevationType, &type, sizeof type, &size) ||
        type != TokenElevationTypeFull ||
        !GetTokenInformation(process.get(), TokenLinkedToken, &linked, sizeof linked, &size))
        return unique_token();
    return unique_token(linked.LinkedToken);
}

bool wait_for_mutex(const char* name, DWORD timeout_ms) {
    for (DWORD waited = 0;; waited += 10) {
        unique_mutex seen(OpenMutexA(SYNCHRONIZE, FALSE, name));
        if (seen)
            return true;
        if (waited >= timeout_ms)
            return false;
        Sleep(10);
    }
}

namespace {
std::string sid_text(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "(unreadable SID)";
    unique_local<char> owned(text);
    return text;
}
}  // namespace

std::string current_user_sid() {
    unique_token token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return "(no token)";
    std::vector<BYTE> buffer(512);
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), (DWORD)buffer.size(), &size))
        return "(no user)";
    return sid_text(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

std::string owner_of(const std::filesystem::path& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                        &owner, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return "(error " + std::to_string(error) + ")";
    unique_local<void> owned(descriptor);
    return sid_text(owner);
}

}  // namespace test
